// The FTDI chips a VT_FTDI_DEVICES entry can name as a whole.
#pragma once

#include <cstdint>
#include <string>

#include "vtarget/virtual_ft2232.h"

namespace vt {

struct chip_model {
    const char *name;      // FT2232H ...
    uint32_t type;         // D2XX type code
    const char *product;   // USB product string without an EEPROM
    int channels;
};

// The chip of that name (any case), or null.
const chip_model *find_ftdi_chip(const std::string &name);

}  // namespace vt
