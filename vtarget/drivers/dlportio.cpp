// DLPortIO-compatible port access: the three byte calls reach the virtual parallel port.
// The port answers at any base address (registers at base+0..2) unless VT_LPT_BASE names one.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "driver_target.h"
#include "vtarget/virtual_lpt.h"

namespace {

struct port_state {
    vtd::spin_lock lock;
    std::unique_ptr<vt::virtual_lpt> port;
    bool any_base = true;
    uint32_t base = 0;
    port_state() { vtd::target_first(); }
    // Unload: the accesses go into the counters, after the chip's own lines.
    ~port_state()
    {
        if (port)
            vtd::add_port_accesses(port->accesses());
    }
};

port_state &state()
{
    static port_state s;
    return s;
}

vt::virtual_lpt &port(port_state &s)
{
    if (!s.port) {
        vt::lpt_config config;
        try {
            config = vt::lpt_config_from_env();
            if (const char *b = std::getenv("VT_LPT_BASE")) {
                char *end = nullptr;
                unsigned long v = std::strtoul(b, &end, 16);
                if (!*b || *end)
                    throw std::invalid_argument(std::string("VT_LPT_BASE: bad address '") + b + "'");
                s.any_base = false;
                s.base = static_cast<uint32_t>(v);
            }
            s.port = vt::make_virtual_lpt(config, vtd::target_chip());
        } catch (const std::exception &e) {
            vtd::report_config_error(e.what());
            config = vt::lpt_config();
            config.cable = vt::cable_kind::none;
            s.port = vt::make_virtual_lpt(config, nullptr);
        }
    }
    return *s.port;
}

// Register offset of an I/O address, or -1 when no register of the port lives there.
int offset(const port_state &s, uint32_t address)
{
    if (s.any_base)
        return (address & 3) == 3 ? -1 : static_cast<int>(address & 3);
    if (address < s.base || address > s.base + 2)
        return -1;
    return static_cast<int>(address - s.base);
}

}  // namespace

VT_EXPORT void VT_WINAPI DlPortWritePortUchar(uint32_t address, uint8_t value)
{
    port_state &s = state();
    vtd::guard held(s.lock);
    vt::virtual_lpt &p = port(s);
    int reg = offset(s, address);
    if (reg >= 0)
        p.write_reg(static_cast<uint8_t>(reg), value);
}

VT_EXPORT uint8_t VT_WINAPI DlPortReadPortUchar(uint32_t address)
{
    port_state &s = state();
    vtd::guard held(s.lock);
    vt::virtual_lpt &p = port(s);
    int reg = offset(s, address);
    return reg >= 0 ? p.read_reg(static_cast<uint8_t>(reg)) : 0xFF;
}

VT_EXPORT void VT_WINAPI DlPortWritePortBufferUchar(uint32_t address, uint8_t *buffer, uint32_t count)
{
    port_state &s = state();
    vtd::guard held(s.lock);
    vt::virtual_lpt &p = port(s);
    int reg = offset(s, address);
    if (reg == 0) {
        p.write_data_block(buffer, count);
    } else if (reg > 0) {
        for (uint32_t i = 0; i < count; i++)
            p.write_reg(static_cast<uint8_t>(reg), buffer[i]);
    }
}
