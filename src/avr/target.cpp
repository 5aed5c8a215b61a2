#include "avr/target.h"

#include "base/messages.h"

namespace {

// Stands in for the device when none is known, so callers never index
// outside the table.
const avr_device_t no_device = {.name = "unknown",
                                .signature = 0,
                                .erase_ms = 0,
                                .memory = {{.size = 0, .page_size = 0, .write_ms = 0, .poll_kind = poll_none},
                                           {.size = 0, .page_size = 0, .write_ms = 0, .poll_kind = poll_none}},
                                .osccal_count = 0,
                                .flags = 0,
                                .lock_kind = lock_write_only,
                                .fuse_kind = fuses_none,
                                .fuse_bytes = 0,
                                .fuses = nullptr};

}  // namespace

spi_t &avr_target_t::spi() const
{
    if (!adapter)
        fail(EXIT_USAGE, "No programming adapter\n");
    return *adapter;
}

int32_t avr_target_t::device_index() const
{
    if (detected >= 0)
        return detected;
    return find_device(settings.chip_name);
}

void avr_target_t::set_device(int32_t index)
{
    detected = (index >= 0 && index < avr_device_count) ? index : -1;
}

const avr_device_t &avr_target_t::device() const
{
    int32_t index = device_index();
    return index >= 0 ? avr_devices[index] : no_device;
}
