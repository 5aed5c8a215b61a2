// Port registers through the Linux parallel-port device.
#include "adapters/lpt.h"

#include "os/os.h"
#include "base/messages.h"

lpt_ppdev_t::lpt_ppdev_t(os::ppdev_port *device, const std::string &device_name)
    : device(device), device_name(device_name)
{
    msg_print(msg_out, MSG_DEBUG, "\t%% ppdev interface %s activated\n", device_name.c_str());
    try {
        init_port();
    } catch (...) {
        os::ppdev_close(device);
        throw;
    }
}

lpt_ppdev_t::~lpt_ppdev_t()
{
    os::ppdev_close(device);
}

uint8_t lpt_ppdev_t::read_reg(uint8_t offset)
{
    return os::ppdev_read(device, offset);
}

void lpt_ppdev_t::write_reg(uint8_t offset, uint8_t value)
{
    os::ppdev_write(device, offset, value);
}

void lpt_ppdev_t::write_data_block(const uint8_t *bytes, uint32_t count)
{
    os::ppdev_write_data_block(device, bytes, count);
}
