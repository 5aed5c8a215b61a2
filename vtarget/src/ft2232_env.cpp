// FTDI devices from VT_* environment variables.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "ftdi_chips.h"
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

std::string upper(const std::string &text)
{
    std::string s;
    for (char c : text)
        s += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

unsigned channel_set(const std::string &letters, const std::string &entry)
{
    if (letters.empty())
        return 0xF;
    unsigned set = 0;
    for (char c : upper(letters)) {
        if (c < 'A' || c > 'D')
            throw std::invalid_argument("VT_FTDI_DEVICES: bad channel letter in '" + entry + "'");
        set |= 1u << (c - 'A');
    }
    return set;
}

struct entry_options {
    unsigned opened = 0, sio = 0;
    bool denied = false;
    bool id_given = false;
    uint16_t vid = 0, pid = 0;
    bool description_given = false;
    std::string description;
};

void parse_option(const std::string &item, const std::string &entry, bool whole_chip, entry_options &o)
{
    size_t eq = item.find('=');
    std::string key = item.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    if (key == "opened") {
        o.opened |= channel_set(value, entry);
    } else if (key == "sio") {
        o.sio |= channel_set(value, entry);
    } else if (key == "denied" && eq == std::string::npos) {
        o.denied = true;
    } else if (key == "id") {
        size_t colon = value.find(':');
        if (colon == std::string::npos)
            throw std::invalid_argument("VT_FTDI_DEVICES: expected id=VID:PID in '" + entry + "'");
        o.vid = static_cast<uint16_t>(number("0x" + value.substr(0, colon), "VT_FTDI_DEVICES vendor id", 0xFFFF));
        o.pid = static_cast<uint16_t>(number("0x" + value.substr(colon + 1), "VT_FTDI_DEVICES product id", 0xFFFF));
        o.id_given = true;
    } else if (key == "description" && whole_chip) {
        o.description = value;
        o.description_given = true;
    } else {
        throw std::invalid_argument("VT_FTDI_DEVICES: unknown option '" + item + "' in '" + entry + "'");
    }
}

void check_lengths(const ft2232_config &c, const std::string &entry)
{
    if (c.description.size() > 63 || c.serial_number.size() > 15 || c.usb_product.size() > 63 ||
        c.usb_serial.size() > 15)
        throw std::invalid_argument("VT_FTDI_DEVICES: description or serial number too long in '" + entry + "'");
}

// A channel listed on its own: "type/description/serial[/state...]". A description ending in
// " A".." D" names the channel of a multi-channel chip.
ft2232_config single_channel(const std::vector<std::string> &f, const std::string &entry, const ft2232_config &base,
                             size_t usb_device)
{
    ft2232_config c = base;
    c.usb_device = usb_device;
    c.device_type = number(f[0], "VT_FTDI_DEVICES type", 0xFFFFFFFFu);
    c.description = c.usb_product = f[1];
    c.serial_number = c.usb_serial = f[2];
    c.channels = 1;
    c.channel = 0;
    size_t n = c.description.size();
    if (n >= 2 && c.description[n - 2] == ' ' && c.description[n - 1] >= 'A' && c.description[n - 1] <= 'D')
        c.channel = c.description[n - 1] - 'A';
    entry_options o;
    for (size_t i = 3; i < f.size(); i++)
        parse_option(f[i], entry, false, o);
    c.opened_elsewhere = o.opened != 0;
    c.kernel_driver = o.sio != 0;
    c.access_denied = o.denied;
    c.vendor_id = o.id_given ? o.vid : 0x0403;
    c.product_id = o.id_given ? o.pid : ftdi_default_product_id(c.device_type);
    check_lengths(c, entry);
    return c;
}

// A whole chip: "CHIP[/serial][/option...]", one channel per interface, strings as D2XX
// shows them (" A" after the description, "A" after the serial number on multi-channel chips).
void whole_chip(const chip_model &m, const std::vector<std::string> &f, const std::string &entry,
                const ft2232_config &base, size_t usb_device, std::vector<ft2232_config> &out)
{
    char serial[16];
    std::snprintf(serial, sizeof serial, "VT%06u", static_cast<unsigned>(usb_device + 1));
    size_t first_option = 1;
    std::string usb_serial = serial;
    if (f.size() > 1 && f[1].find('=') == std::string::npos && f[1] != "opened" && f[1] != "sio" &&
        f[1] != "denied") {
        usb_serial = f[1];
        first_option = 2;
    }
    entry_options o;
    for (size_t i = first_option; i < f.size(); i++)
        parse_option(f[i], entry, true, o);
    for (int ch = 0; ch < m.channels; ch++) {
        ft2232_config c = base;
        c.device_type = m.type;
        c.usb_device = usb_device;
        c.usb_product = o.description_given ? o.description : m.product;
        c.usb_serial = usb_serial;
        c.channel = ch;
        c.channels = m.channels;
        c.description = c.usb_product;
        c.serial_number = c.usb_serial;
        if (m.channels > 1) {
            c.description += std::string(" ") + static_cast<char>('A' + ch);
            c.serial_number += static_cast<char>('A' + ch);
        }
        c.opened_elsewhere = (o.opened >> ch) & 1;
        c.kernel_driver = (o.sio >> ch) & 1;
        c.access_denied = o.denied;
        c.vendor_id = o.id_given ? o.vid : 0x0403;
        c.product_id = o.id_given ? o.pid : ftdi_default_product_id(m.type);
        check_lengths(c, entry);
        out.push_back(c);
    }
}

// MPSSE settings an earlier program can leave on an H-series channel, and the value each leaves.
struct left_setting {
    const char *name;
    bool ft2232_config::*setting;
    bool value;
};

const left_setting left_settings[] = {
    {"adaptive", &ft2232_config::adaptive_clocking, true},
    {"three_phase", &ft2232_config::three_phase, true},
    {"no_divide_by_5", &ft2232_config::divide_by_5, false},
};

}  // namespace

std::vector<ft2232_config> parse_ftdi_devices(const std::string &text, const ft2232_config &base)
{
    std::vector<ft2232_config> devices;
    size_t usb_device = 0;
    for (const std::string &entry : split(text, ';')) {
        if (entry.find_first_not_of(" \t") == std::string::npos)
            continue;
        std::vector<std::string> f = split(entry, '/');
        if (const chip_model *m = find_ftdi_chip(f[0])) {
            whole_chip(*m, f, entry, base, usb_device, devices);
        } else {
            if (f.size() < 3)
                throw std::invalid_argument("VT_FTDI_DEVICES: expected type/description/serial[/opened] or a chip name in '" +
                                            entry + "'");
            devices.push_back(single_channel(f, entry, base, usb_device));
        }
        usb_device++;
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
            else if (name == "usb_short_read_after")
                base.short_read_after = n;
            else if (name == "usb_write_error")
                base.write_error_at = n;
        }
    }
    if (const char *v = env("VT_FTDI_LEFT")) {
        for (const std::string &item : split(v, ',')) {
            const left_setting *found = nullptr;
            for (const left_setting &l : left_settings)
                if (item == l.name)
                    found = &l;
            if (found)
                base.*found->setting = found->value;
            else if (!item.empty())
                throw std::invalid_argument("VT_FTDI_LEFT: unknown setting '" + item + "'");
        }
    }
    const char *latency = env("VT_USB_LATENCY_US");
    std::vector<ft2232_config> devices{base};
    if (const char *v = env("VT_FTDI_DEVICES"))
        devices = parse_ftdi_devices(v, base);
    for (ft2232_config &c : devices)
        if (!latency && ftdi_high_speed(c.device_type))
            c.usb_latency_us = 125;  // high-speed USB: 125 us micro-frames
    return devices;
}

}  // namespace vt
