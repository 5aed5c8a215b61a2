// Parallel-port cable adapters.
#pragma once

#include <cstdint>
#include <memory>

#include "adapters/spi.h"

class lpt_t;

std::unique_ptr<spi_t> create_lpt_adapter(const char *adapter_spec, const char *port_spec);

// The cable kinds of the -a letters.
enum class cable_kind_t { fbprg, byteblaster, stk, automatic, xilinx, pinmap };

struct lpt_cable_options_t {
    cable_kind_t kind = cable_kind_t::fbprg;
    bool tristate = false;       // Z: outputs to high impedance when disabled
    bool reverse_reset = false;  // R: RESET driven high while active
    bool power = false;          // P: target supplied from free data lines
};

// Reads the -a letters (null or empty: the default cable); letter I sets the
// run's inactive reset time.
lpt_cable_options_t parse_lpt_letters(const char *adapter_spec);

enum class byteblaster_t { none, plain, mv, ii };
byteblaster_t detect_byteblaster(lpt_t &port);

// Bit set of the STK cables that fit the port's answers.
enum : uint8_t { STK200_FOUND = 1, STK300_FOUND = 2 };
uint8_t detect_stk(lpt_t &port);
