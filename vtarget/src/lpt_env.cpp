// Parallel-port settings from VT_* environment variables.
#include <cstdlib>
#include <stdexcept>

#include "vtarget/virtual_lpt.h"

namespace vt {
namespace {

const char *env(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v ? v : nullptr;
}

bool env_flag(const char *name, bool fallback)
{
    const char *v = env(name);
    if (!v)
        return fallback;
    std::string s = v;
    if (s == "1" || s == "yes" || s == "on" || s == "true")
        return true;
    if (s == "0" || s == "no" || s == "off" || s == "false")
        return false;
    throw std::invalid_argument(std::string(name) + ": expected 0 or 1, got '" + s + "'");
}

}  // namespace

lpt_config lpt_config_from_env()
{
    lpt_config c;
    if (const char *cable = env("VT_CABLE")) {
        std::string text = cable;
        if (text.find('=') != std::string::npos) {
            c.cable = cable_kind::custom;
            c.wiring = text;
        } else if (!parse_cable_kind(text, c.cable)) {
            throw std::invalid_argument("VT_CABLE: unknown cable '" + text + "'");
        }
    }
    c.power_from_port = env_flag("VT_PORT_POWER", false);
    c.bidirectional = env_flag("VT_BIDIR", true);
    // A real port's cycle is fixed by its bus; a host-speed port would make the timing
    // depend on the host's clock speed of the moment.
    c.write_cycle_ns = 250;
    if (const char *cycle = env("VT_PORT_CYCLE_NS")) {
        char *end = nullptr;
        unsigned long v = std::strtoul(cycle, &end, 10);
        if (*end || v > 100000000ul)
            throw std::invalid_argument(std::string("VT_PORT_CYCLE_NS: bad value '") + cycle + "'");
        c.write_cycle_ns = static_cast<uint32_t>(v);
    }
    return c;
}

}  // namespace vt
