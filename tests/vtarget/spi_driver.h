// A tiny bit-level SPI master for driving the virtual chip in tests, with synthetic time.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "vtarget/avr_chip.h"

namespace vttest {

using reply = std::array<uint8_t, 4>;

struct spi_driver {
    std::shared_ptr<vt::avr_chip> chip;
    uint64_t t = 1000;
    uint64_t low_ns = 1000, high_ns = 1000;  // SCK phases
    vt::chip_inputs in;
    bool drive_xtal = false;                  // toggle XTAL through each phase
    unsigned xtal_per_phase = 4;

    explicit spi_driver(std::shared_ptr<vt::avr_chip> c) : chip(std::move(c)) {}

    void apply() { chip->set_inputs(in, t); }
    void advance(uint64_t ns)
    {
        if (!drive_xtal) {
            t += ns;
            return;
        }
        uint64_t step = ns / (2 * xtal_per_phase);
        for (unsigned i = 0; i < xtal_per_phase; i++) {
            t += step;
            in.xtal = true;
            apply();
            t += step;
            in.xtal = false;
            apply();
        }
    }
    void wait_ms(double ms) { advance((uint64_t)(ms * 1e6)); }
    // Sets one of the inputs (a field of in) and keeps them so for ns.
    void hold(bool &input, bool level, uint64_t ns)
    {
        input = level;
        apply();
        advance(ns);
    }
    // Power up with RESET low and wait the 20 ms the chip needs before Programming Enable.
    void start()
    {
        in = vt::chip_inputs();
        in.powered = true;
        pulse_reset();
    }
    void power_off() { hold(in.powered, false, 1000000); }
    // RESET high for 1 ms, then low for the 20 ms before Programming Enable.
    void pulse_reset()
    {
        hold(in.reset, true, 1000000);
        hold(in.reset, false, 21000000);
    }
    void pulse_sck()
    {
        hold(in.sck, true, high_ns);
        hold(in.sck, false, low_ns);
    }
    uint8_t byte(uint8_t out)
    {
        uint8_t got = 0;
        for (int i = 7; i >= 0; i--) {
            hold(in.mosi, out >> i & 1, low_ns);
            hold(in.sck, true, high_ns);
            got = (uint8_t)(got << 1 | (chip->miso() ? 1 : 0));
            in.sck = false;
            apply();
        }
        return got;
    }
    reply cmd(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
    {
        reply r;
        r[0] = byte(a);
        r[1] = byte(b);
        r[2] = byte(c);
        r[3] = byte(d);
        advance(low_ns);
        return r;
    }
    bool enable() { return cmd(0xAC, 0x53, 0, 0)[2] == 0x53; }
    uint8_t signature(uint8_t i) { return cmd(0x30, 0, i, 0)[3]; }
    uint8_t read_flash(uint32_t a)
    {
        return cmd(a & 1 ? 0x28 : 0x20, (uint8_t)(a >> 9), (uint8_t)(a >> 1), 0)[3];
    }
    void load_flash(uint32_t a, uint8_t v) { cmd(a & 1 ? 0x48 : 0x40, (uint8_t)(a >> 9), (uint8_t)(a >> 1), v); }
    void write_page(uint32_t a) { cmd(0x4C, (uint8_t)(a >> 9), (uint8_t)(a >> 1), 0); }
    uint8_t read_eeprom(uint32_t a) { return cmd(0xA0, (uint8_t)(a >> 8), (uint8_t)a, 0)[3]; }
    void write_eeprom(uint32_t a, uint8_t v) { cmd(0xC0, (uint8_t)(a >> 8), (uint8_t)a, v); }
    bool poll_busy() { return cmd(0xF0, 0, 0xFF, 0)[3] & 1; }
    void erase() { cmd(0xAC, 0x80, 0, 0); }
};

inline vt::chip_config config(const char *chip)
{
    vt::chip_config c;
    c.chip = chip;
    return c;
}

}  // namespace vttest
