// FT2232 devices from VT_* environment variables.
#include <cctype>
#include <cstdlib>
#include <stdexcept>

#include "vtarget/virtual_ft2232.h"

namespace vt {
namespace {

const char *env(const char *name)
{
    const char *v = std::getenv(name);
    return v && *v ? v : nullptr;
}

std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> parts;
    size_t pos = 0;
    for (;;) {
        size_t end = text.find(sep, pos);
        parts.push_back(text.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
        if (end == std::string::npos)
            return parts;
        pos = end + 1;
    }
}

uint32_t number(const std::string &text, const char *what, uint32_t max)
{
    char *end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 0);
    if (text.empty() || *end || v > max)
        throw std::invalid_argument(std::string(what) + ": bad number '" + text + "'");
    return static_cast<uint32_t>(v);
}

// adbus0..7 -> 0..7, acbus0..7 -> 8..15.
int pin_number(const std::string &text, const char *what)
{
    std::string s;
    for (char c : text)
        s += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (s.size() == 6 && (s.compare(0, 5, "adbus") == 0 || s.compare(0, 5, "acbus") == 0) && s[5] >= '0' &&
        s[5] <= '7')
        return (s[1] == 'c' ? 8 : 0) + (s[5] - '0');
    throw std::invalid_argument(std::string(what) + ": unknown pin '" + text + "'");
}

}  // namespace

std::vector<ft2232_config> parse_ftdi_devices(const std::string &text, const ft2232_config &base)
{
    std::vector<ft2232_config> devices;
    for (const std::string &entry : split(text, ';')) {
        if (entry.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::vector<std::string> f = split(entry, '/');
        if (f.size() < 3 || f.size() > 4)
            throw std::invalid_argument("VT_FTDI_DEVICES: expected type/description/serial[/opened] in '" + entry + "'");
        ft2232_config c = base;
        c.device_type = number(f[0], "VT_FTDI_DEVICES type", 0xFFFFFFFFu);
        c.description = f[1];
        c.serial_number = f[2];
        if (c.description.size() > 63 || c.serial_number.size() > 15)
            throw std::invalid_argument("VT_FTDI_DEVICES: description or serial number too long in '" + entry + "'");
        if (f.size() == 4) {
            if (f[3] != "opened")
                throw std::invalid_argument("VT_FTDI_DEVICES: expected 'opened' in '" + entry + "'");
            c.opened_elsewhere = true;
        }
        devices.push_back(c);
    }
    return devices;
}

std::vector<ft2232_config> ft2232_devices_from_env()
{
    ft2232_config base;
    if (const char *v = env("VT_USB_LATENCY_US"))
        base.usb_latency_us = number(v, "VT_USB_LATENCY_US", 10000000u);
    if (const char *v = env("VT_FTDI_RESET"))
        base.reset_pin = pin_number(v, "VT_FTDI_RESET");
    if (const char *v = env("VT_FTDI_ENABLE"))
        base.enable_pin = pin_number(v, "VT_FTDI_ENABLE");
    if (const char *v = env("VT_TRACE"))
        base.trace_path = v;
    if (const char *v = env("VT_FAULT")) {
        for (const std::string &item : split(v, ',')) {
            size_t eq = item.find('=');
            std::string name = item.substr(0, eq);
            uint32_t n = eq == std::string::npos ? 1 : number(item.substr(eq + 1), name.c_str(), 0xFFFFFFFFu);
            if (name == "usb_short_read")
                base.short_read_at = n;
            else if (name == "usb_write_error")
                base.write_error_at = n;
        }
    }
    if (const char *v = env("VT_FTDI_DEVICES"))
        return parse_ftdi_devices(v, base);
    return {base};
}

}  // namespace vt
