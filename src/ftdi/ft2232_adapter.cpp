#include "ftdi/ft2232_adapter.h"

#include <cstdlib>
#include <cstring>

#include "adapters/pin_map.h"
#include "ftdi/ftdi_driver.h"
#include "ftdi/spi_ftdi_mpsse.h"
#include "base/messages.h"
#include "base/timer.h"

namespace {

constexpr size_t max_option_length = 66;
constexpr size_t max_serial_item_length = 18;

void default_pin_map(pin_map_t &map)
{
    clear_pin_map(map);
    strcpy(map.name, "FT2232 MPSSE");
    map.signals[SIG_RESET].high_mask = 0x0008;  // adbus3
}

// A USB ID item: 1 to 4 hexadecimal digits, "0x" allowed, not 0.
bool parse_usb_id(const char *text, uint16_t &id)
{
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text += 2;
    size_t n = strlen(text);
    if (n == 0 || n > 4 || strspn(text, "0123456789abcdefABCDEF") != n)
        return false;
    id = static_cast<uint16_t>(strtoul(text, nullptr, 16));
    return id != 0;
}

// The -p value: comma-separated d=description, s=serial number, v=vendor ID and
// p=product ID items; an item "?" asks for the device list. Returns true for the list.
bool parse_port_options(const char *text, ftdi_device_attributes_t &attributes)
{
    bool listing = false;
    const char *p = text;
    while (*p) {
        const char *end = strchr(p, ',');
        size_t length = end ? static_cast<size_t>(end - p) : strlen(p);
        if (length > max_option_length)
            fail(EXIT_USAGE, "Option too long: '%.*s'\n", static_cast<int>(length), p);
        char item[max_option_length + 1];
        memcpy(item, p, length);
        item[length] = 0;
        if (strcmp(item, "?") == 0) {
            listing = true;
        } else if (length < 3 || item[0] == '=' || item[1] != '=') {
            fail(EXIT_USAGE, "Invalid FT2232 option '%s'\n", item);
        } else if (item[0] == 'd') {
            ftdi_copy_text(attributes.description, item + 2, sizeof attributes.description);
        } else if (item[0] == 's') {
            if (length > max_serial_item_length)
                fail(EXIT_USAGE, "Serial number too long: '%s'\n", item);
            ftdi_copy_text(attributes.serial_number, item + 2, sizeof attributes.serial_number);
        } else if (item[0] == 'v' || item[0] == 'p') {
            uint16_t &id = item[0] == 'v' ? attributes.vendor_id : attributes.product_id;
            if (!parse_usb_id(item + 2, id))
                fail(EXIT_USAGE, "Invalid FT2232 option '%s' (a USB ID is 1 to 4 hexadecimal digits)\n", item);
        } else {
            fail(EXIT_USAGE, "Invalid FT2232 option '%s'\n", item);
        }
        p += length;
        if (*p == ',')
            p++;
    }
    return listing;
}

}  // namespace

built_adapter_t create_ft2232_adapter(const adapter_settings_t &settings)
{
    return create_ft2232_adapter(settings, ftdi_library_t());
}

built_adapter_t create_ft2232_adapter(const adapter_settings_t &settings, const ftdi_library_t &library)
{
    const char *adapter_spec = settings.adapter_text;
    const char *port_spec = settings.port_text;
    if (settings.osc_khz == 0)
        fail(EXIT_USAGE, "FT2232 hardware SPI adapter can't generate XTAL\n");

    pin_map_t map;
    clear_pin_map(map);
    if (adapter_spec)
        parse_pin_map(map, adapter_spec, ft2232_pin_table);
    pin_map_t defaults;
    default_pin_map(defaults);
    merge_pin_map(map, defaults);

    ftdi_device_attributes_t requested;
    if (!port_spec) {
        requested.first_mpsse = true;
        msg_print(msg_out, MSG_DEBUG,
                  "No FT2232 \"port\" switch found\nthe first FTDI channel with an MPSSE engine will be used\n");
    } else if (port_spec[0] == '?') {
        list_ftdi_devices(library);
        throw app_error(EXIT_OK);
    } else {
        if (parse_port_options(port_spec, requested)) {
            list_ftdi_devices(library, requested);
            throw app_error(EXIT_OK);
        }
        // USB IDs alone: the first MPSSE channel among those devices.
        requested.first_mpsse = requested.vendor_id || requested.product_id;
    }

    ftdi_device_attributes_t found;
    std::unique_ptr<ftdi_chip_t> chip = open_ftdi_chip(library, requested, &found);

    // 1050 rather than 1000: a 5 % margin on the target's clock
    float osc = static_cast<float>(settings.osc_khz);
    float t_low = static_cast<float>(settings.sck_low_periods) * 1050.0f / osc;
    float t_high = static_cast<float>(settings.sck_high_periods) * 1050.0f / osc;

    std::unique_ptr<spi_t> adapter(
        new spi_ftdi_mpsse_t(std::move(chip), map, t_low, t_high, ftdi_high_speed(found.device_type)));
    msg_print(msg_out, MSG_DEBUG, "\t%% %s SPI adapter created, SCK frequency %s\n", adapter->adapter_name(),
              format_frequency(adapter->spi_frequency(), 1));
    return {std::move(adapter), {}};
}
