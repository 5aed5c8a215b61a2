// The FTDI chips the virtual target knows: D2XX type codes, channels, USB IDs, factory
// strings and buffer sizes.
#include "ftdi_chips.h"

#include <cctype>

namespace vt {

// The chips, with the factory strings their datasheets give when no EEPROM says otherwise
// ("default descriptor" / "default EEPROM configuration" tables of the FT232BM, FT2232D,
// FT232R, FT2232H, FT4232H, FT232H, FT230X and FT231X datasheets).
const chip_model chip_models[] = {
    {"FT232AM", ftdi_type_am, "USB <-> Serial", 1},
    {"FT232BM", ftdi_type_bm, "USB <-> Serial", 1},
    {"FT2232C", ftdi_type_2232c, "Dual RS232", 2},
    {"FT2232D", ftdi_type_2232c, "Dual RS232", 2},
    {"FT232R", ftdi_type_232r, "FT232R USB UART", 1},
    {"FT2232H", ftdi_type_2232h, "Dual RS232-HS", 2},
    {"FT4232H", ftdi_type_4232h, "Quad RS232-HS", 4},
    {"FT232H", ftdi_type_232h, "Single RS232-HS", 1},
    {"FT230X", ftdi_type_x_series, "FT230X Basic UART", 1},
    {"FT231X", ftdi_type_x_series, "FT231X USB UART", 1},
};

const chip_model *find_ftdi_chip(const std::string &name)
{
    std::string upper;
    for (char c : name)
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const chip_model &m : chip_models)
        if (upper == m.name)
            return &m;
    return nullptr;
}

bool ftdi_high_speed(uint32_t device_type)
{
    return device_type == ftdi_type_2232h || device_type == ftdi_type_4232h || device_type == ftdi_type_232h;
}

bool ftdi_has_mpsse(uint32_t device_type, int channel)
{
    switch (device_type) {
    case ftdi_type_2232c:
    case ftdi_type_2232h:
        return channel < 2;
    case ftdi_type_4232h:
        return channel < 2;  // channels C and D are UART and bit-bang only
    case ftdi_type_232h:
        return channel == 0;
    default:
        return false;
    }
}

uint16_t ftdi_default_product_id(uint32_t device_type)
{
    switch (device_type) {
    case ftdi_type_100ax:
        return 0x8372;
    case ftdi_type_2232c:
    case ftdi_type_2232h:
        return 0x6010;
    case ftdi_type_4232h:
        return 0x6011;
    case ftdi_type_232h:
        return 0x6014;
    case ftdi_type_x_series:
        return 0x6015;
    default:
        return 0x6001;  // AM, BM, 232R
    }
}

// Receive buffers (host to chip) from the datasheets: FT2232D 384 bytes, FT2232H 4 KiB per
// channel, FT4232H 2 KiB, FT232H 1 KiB.
uint32_t ftdi_rx_buffer_bytes(uint32_t device_type)
{
    switch (device_type) {
    case ftdi_type_2232h:
        return 4096;
    case ftdi_type_4232h:
        return 2048;
    case ftdi_type_232h:
        return 1024;
    default:
        return 384;
    }
}

}  // namespace vt
