// Fuse writes after which the chip no longer enters serial programming.
#include "avr/fuse_lockout.h"

#include "base/messages.h"

namespace {

bool locks_out(const fuse_field_t &field, uint32_t value)
{
    switch (field.info->lockout) {
    case lockout_if_programmed:
        return value == 0;
    case lockout_if_unprogrammed:
        return value != 0;
    case lockout_clock_values:
        return value < 16 && ((field.external_clock >> value) & 1) != 0;
    case lockout_none:
        break;
    }
    return false;
}

}  // namespace

std::vector<lockout_write_t> find_lockout_writes(const avr_device_t &device, const uint8_t request_value[4],
                                                 const uint8_t request_mask[4], const uint8_t read_value[4])
{
    std::vector<lockout_write_t> found;
    if (device.fuses == nullptr)
        return found;
    for (int slot = 0; slot < 4 && device.fuses[slot] != nullptr; slot++) {
        for (const fuse_field_t *f = device.fuses[slot]; f->info != nullptr; f++) {
            const uint32_t mask = (1u << f->width) - 1;
            if (((request_mask[slot] >> f->shift) & mask) == 0)
                continue;
            const uint32_t value = (uint32_t(request_value[slot]) >> f->shift) & mask;
            const uint32_t now = (uint32_t(read_value[slot]) >> f->shift) & mask;
            if (value != now && locks_out(*f, value))
                found.push_back({f, value});
        }
    }
    return found;
}

void print_lockout_warning(const lockout_write_t &write)
{
    msg_print(msg_out, MSG_WARNING, "Warning: %s=%X %s\n", write.field->info->name, unsigned(write.value),
              write.field->info->lockout_loss);
}
