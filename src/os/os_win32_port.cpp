// Parallel ports on Windows: direct port I/O where the system allows it
// (the 9x family, 32-bit x86 code only). There is no ppdev here.
#include "os/os.h"

#include <windows.h>

namespace os {

bool windows_9x_direct_io()
{
#if defined(__i386__) || defined(_M_IX86)
    return (GetVersion() & 0x80000000u) != 0;
#else
    return false;
#endif
}

#if defined(__i386__) && defined(__GNUC__)

uint8_t port_in(uint32_t address)
{
    uint8_t value;
    uint16_t port = static_cast<uint16_t>(address);
    __asm__ __volatile__("inb %w1, %b0" : "=a"(value) : "Nd"(port));
    return value;
}

void port_out(uint32_t address, uint8_t value)
{
    uint16_t port = static_cast<uint16_t>(address);
    __asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(port));
}

void port_out_block(uint32_t address, const uint8_t *bytes, uint32_t count)
{
    uint16_t port = static_cast<uint16_t>(address);
    __asm__ __volatile__("cld\n\trep outsb"
                         : "+S"(bytes), "+c"(count)
                         : "d"(port)
                         : "memory", "cc");
}

#else

uint8_t port_in(uint32_t)
{
    return 0xFF;
}

void port_out(uint32_t, uint8_t) {}

void port_out_block(uint32_t, const uint8_t *, uint32_t) {}

#endif

struct ppdev_port {
    int unused;
};

int ppdev_number_for_base(uint32_t)
{
    return -1;
}

ppdev_port *ppdev_open(int)
{
    return nullptr;
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

const char *ppdev_last_error()
{
    return "not available on Windows";
}

void set_ppdev_dirs(const char *, const char *) {}

}  // namespace os
