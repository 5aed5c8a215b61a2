// Parallel-port cable adapters.
#pragma once

#include <optional>

#include "adapters/adapter_settings.h"

// The adapter on a parallel-port cable, from the -a letters and the -p port.
built_adapter_t create_lpt_adapter(const adapter_settings_t &settings);

// The cable kinds of the -a letters.
enum class cable_kind_t { fbprg, byteblaster, stk, automatic, xilinx, pinmap };

struct lpt_cable_options_t {
    cable_kind_t kind = cable_kind_t::fbprg;
    bool tristate = false;       // Z: outputs to high impedance when disabled
    bool reverse_reset = false;  // R: RESET driven high while active
    bool power = false;          // P: target supplied from free data lines
    std::optional<float> inactive_reset_ms;  // I#: RESET released after Chip Erase
};

// Reads the -a letters (null or empty: the default cable).
lpt_cable_options_t parse_lpt_letters(const char *adapter_spec);
