// SPI adapter on the MPSSE engine of an FTDI channel (FT2232C/D, FT2232H, FT4232H
// channels A and B, FT232H): SCK on adbus0, MOSI on adbus1, MISO on adbus2; RESET and
// ENABLE from the pin map.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "adapters/pin_map.h"
#include "adapters/spi.h"
#include "ftdi/ftdi_chip.h"

// Largest counts of one call (one USB write each; blocks are never split).
enum : uint32_t {
    MPSSE_MAX_TRANSFER_BLOCK = 16384,
    MPSSE_MAX_WRITE_BLOCK = 4096,
    MPSSE_MAX_READ_BLOCK = 65536,
};

class spi_ftdi_mpsse_t : public spi_t {
public:
    // t_low, t_high: the shortest SCK low and high times, microseconds. high_speed: an
    // FT2232H, FT4232H or FT232H (60 MHz clock with divide-by-5, adaptive and three-phase
    // clocking), set up explicitly.
    spi_ftdi_mpsse_t(std::unique_ptr<ftdi_chip_t> chip, const pin_map_t &map, float t_low, float t_high,
                     bool high_speed = false);
    ~spi_ftdi_mpsse_t() override;

    bool is_block_mode() override { return true; }
    uint8_t transfer_byte(uint8_t value) override;
    void write_byte(uint8_t value) override;
    uint8_t read_byte() override;
    void transfer_block(const uint8_t *out, uint8_t *in, uint32_t count) override;
    void write_block(const uint8_t *data, uint32_t count) override;
    void read_block(uint8_t *buffer, uint32_t count) override;
    void queue_transfer(const uint8_t *out, uint8_t *in, uint32_t count) override;
    void collect_transfer(uint8_t *in) override;
    void set_reset(bool active) override;
    void pulse_reset() override;
    void pulse_sck() override;
    void delay_ms(float ms) override;
    bool has_power() override { return false; }
    void power_on() override {}
    void power_off() override {}
    bool has_enable() override { return true; }
    void enable_adapter() override;
    void disable_adapter() override;
    long double spi_frequency() override { return sck_mhz; }
    const char *adapter_name() override { return pins.name; }

    uint16_t divisor() const { return clock_divisor; }
    // The 60 MHz clock (divide-by-5 off) is in use.
    bool fast_clock() const { return clock_60mhz; }

private:
    struct queued_t {
        uint8_t *in;
        uint32_t count;
    };

    void choose_clock(float period_us, bool high_speed);
    void write_command(const uint8_t *bytes, uint32_t count);
    void collect_all();
    void set_pins(uint32_t direction, uint32_t value);
    uint32_t put_block_command(const char *operation, uint32_t limit, uint8_t command, const uint8_t *out,
                               uint32_t count);
    uint32_t driven_pins() const;

    float sck_mhz;
    uint16_t clock_divisor;
    bool clock_60mhz = false;
    std::deque<queued_t> queued;
    // Declared in this order so that the map goes before the chip.
    std::unique_ptr<ftdi_chip_t> chip;
    pin_map_t pins;
    std::vector<uint8_t> buffer;
};
