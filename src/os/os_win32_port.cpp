// Parallel ports on Windows: direct port I/O where the system allows it
// (the 9x family, 32-bit x86 code only), else the DLPortIO driver library.
#include "os/os.h"

#include <windows.h>

namespace os {

port_access parallel_port_access()
{
#if defined(__i386__) || defined(_M_IX86)
    // the 9x family lets a program use the port instructions
    if (GetVersion() & 0x80000000u)
        return port_access::direct_io;
#endif
    return port_access::driver_library;
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

}  // namespace os
