// An adapter whose pins, supply and enable do nothing: test doubles derive from it
// and supply only the byte traffic they care about.
#pragma once

#include "adapters/spi.h"

class quiet_adapter : public spi_t {
public:
    void set_reset(bool) override {}
    void pulse_reset() override {}
    void pulse_sck() override {}
    void delay_ms(float) override {}
    bool has_power() override { return false; }
    void power_on() override {}
    void power_off() override {}
    bool has_enable() override { return false; }
    void enable_adapter() override {}
    void disable_adapter() override {}
    long double spi_frequency() override { return 1.0L; }
    const char *adapter_name() override { return "fake"; }
};
