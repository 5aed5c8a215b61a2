// What an adapter factory is given, and what it hands back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "adapters/lpt_access.h"
#include "adapters/spi.h"

struct adapter_settings_t {
    const char *adapter_text = nullptr;  // the -a value; null without -a
    const char *port_text = nullptr;     // the -p value; null without -p
    int32_t osc_khz = 800;               // target clock; 0: the adapter generates it
    // Minimum SCK low and high times in periods of the target clock, the SCK
    // divider already applied.
    int32_t sck_low_periods = 2;
    int32_t sck_high_periods = 2;
    bool force = false;                  // -!: go on when a buffered cable is not detected
    lpt_access_t lpt;                    // how the parallel-port cable reaches its port
};

struct built_adapter_t {
    std::unique_ptr<spi_t> spi;
    // How long RESET stays released after Chip Erase, ms, when the -a text
    // sets it (-ai#); empty: the run's default.
    std::optional<float> inactive_reset_ms;
};
