// Systems without the Linux ppdev interface (Windows, other POSIX systems): no
// parport devices, so the port is reached another way.
#include "os/os.h"

#if !defined(__linux__)

namespace os {

struct ppdev_port {
    int unused;
};

std::vector<parport_t> list_parports(const ppdev_dirs_t &)
{
    return {};
}

std::string parport_device(const ppdev_dirs_t &, int)
{
    return "";
}

ppdev_open_t ppdev_open(const ppdev_dirs_t &, const std::string &)
{
    ppdev_open_t result;
    result.failure = ppdev_failure::no_device;
    result.reason = "no parallel port devices on this system";
    return result;
}

void ppdev_close(ppdev_port *port)
{
    delete port;
}

uint8_t ppdev_read(ppdev_port *, uint8_t)
{
    return 0xFF;
}

void ppdev_write(ppdev_port *, uint8_t, uint8_t) {}

void ppdev_write_data_block(ppdev_port *, const uint8_t *, uint32_t) {}

}  // namespace os

#endif
