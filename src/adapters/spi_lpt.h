// Bit-banged SPI on a PC parallel port.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "adapters/lpt.h"
#include "adapters/pin_map.h"
#include "adapters/spi.h"

class spi_lpt_t : public spi_t {
public:
    // SCK low and high phases in microseconds (the target runs on its own clock).
    struct timing_t {
        float setup_us;
        float hold_us;
    };
    // SCK low and high phases in periods of the XTAL clock generated on the port.
    struct xtal_periods_t {
        int32_t low;
        int32_t high;
    };

    spi_lpt_t(std::unique_ptr<lpt_t> port, const pin_map_t &pins, timing_t timing);
    spi_lpt_t(std::unique_ptr<lpt_t> port, const pin_map_t &pins, xtal_periods_t periods);
    ~spi_lpt_t() override;

    bool is_block_mode() override { return false; }
    uint8_t transfer_byte(uint8_t value) override;
    void write_byte(uint8_t value) override;
    uint8_t read_byte() override;
    void set_reset(bool active) override;
    void pulse_reset() override;
    void pulse_sck() override;
    void delay_ms(float ms) override;
    bool has_power() override { return pins.signals[SIG_POWER].defined(); }
    void power_on() override { assert_signal(SIG_POWER); }
    void power_off() override { deassert_signal(SIG_POWER); }
    bool has_enable() override { return pins.signals[SIG_ENABLE].defined(); }
    void enable_adapter() override { assert_signal(SIG_ENABLE); }
    void disable_adapter() override { deassert_signal(SIG_ENABLE); }
    long double spi_frequency() override;
    const char *adapter_name() override { return "LPT soft SPI"; }

    void assert_signal(int signal);
    void deassert_signal(int signal);

    // For inspection.
    const pin_map_t &pin_map() const { return pins; }
    const lpt_t &lpt() const { return *port; }
    bool xtal_generated() const { return xtal_on; }
    const std::vector<uint8_t> &bit_wave(int bit) const { return bit ? wave1 : wave0; }
    const std::vector<uint8_t> &reset_wave() const { return reset_pulse; }
    int32_t bit_length() const { return bit_len; }

private:
    void build_waveforms(int32_t low, int32_t high);
    void write_shadow();
    bool read_miso();
    uint8_t finish_byte(uint8_t received);
    float cycle_us() const;

    std::unique_ptr<lpt_t> port;
    pin_map_t pins;
    bool xtal_on = false;
    uint32_t shadow = 0;
    std::vector<uint8_t> wave0;
    std::vector<uint8_t> wave1;
    std::vector<uint8_t> reset_pulse;
    int32_t bit_len = 0;
    int32_t pulse_len = 0;
};
