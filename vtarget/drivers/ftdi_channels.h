// What the USB drop-ins (D2XX and libftdi1) share about the FTDI channels they present.
#pragma once

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "driver_target.h"
#include "vtarget/virtual_ft2232.h"

namespace vtd {

// FTDI's vendor ID with one of its standard product IDs (FT232AM/BM/R, FT2232, FT4232H, FT232H,
// FT-X): the devices both libraries look for when not told other IDs.
inline bool ftdi_standard_id(uint16_t vid, uint16_t pid)
{
    return vid == 0x0403 && (pid == 0x6001 || pid == 0x6010 || pid == 0x6011 || pid == 0x6014 || pid == 0x6015);
}

// The channels the VT_* variables describe; false, with the problem reported, when they are bad.
inline bool ftdi_channels_from_env(std::vector<vt::ft2232_config> &channels)
{
    try {
        channels = vt::ft2232_devices_from_env();
        return true;
    } catch (const std::exception &e) {
        report_config_error(e.what());
        return false;
    }
}

// A channel's string into a caller's buffer of size bytes, cut to fit and always terminated;
// nothing for a null buffer.
inline void copy_text(char *dest, long size, const std::string &text)
{
    if (!dest || size <= 0)
        return;
    std::strncpy(dest, text.c_str(), static_cast<size_t>(size) - 1);
    dest[size - 1] = 0;
}

}  // namespace vtd
