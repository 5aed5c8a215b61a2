#include "ftdi/spi_ftdi_mpsse.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/messages.h"
#include "base/timer.h"

namespace {

// MPSSE commands.
enum : uint8_t {
    MPSSE_BYTES_OUT = 0x11,     // clock bytes out on the falling edge, MSB first
    MPSSE_BITS_OUT = 0x13,      // clock bits out on the falling edge, MSB first
    MPSSE_BYTES_IN = 0x21,      // clock bytes in on the rising edge, MSB first
    MPSSE_BYTES_IN_OUT = 0x31,  // out on the falling, in on the rising edge
    MPSSE_SET_LOW_PINS = 0x80,
    MPSSE_SET_HIGH_PINS = 0x82,
    MPSSE_SET_DIVISOR = 0x86,
    MPSSE_SEND_IMMEDIATE = 0x87,
};

constexpr uint32_t SCK_MOSI_PINS = 0x0003;  // adbus0, adbus1
constexpr float MPSSE_CLOCK_MHZ = 6.0f;     // FT2232C: 12 MHz / 2
constexpr uint32_t MAX_DIVISOR = 0xFFFF;
constexpr uint32_t MAX_RESET_COMMANDS = 2000;

void wait_ms(float ms)
{
    os_timer_t timer;
    timer.set_wait(ms);
    timer.wait();
}

}  // namespace

spi_ftdi_mpsse_t::spi_ftdi_mpsse_t(std::unique_ptr<ftdi_chip_t> chip_, const pin_map_t &map, float t_low,
                                   float t_high)
    : sck_mhz(0), clock_divisor(0), chip(std::move(chip_)), pins(map)
{
    // The largest command: a transfer block with its header and the send-immediate.
    buffer.resize(MPSSE_MAX_TRANSFER_BLOCK + 4);

    chip->set_bit_mode(0x00, FTDI_BITMODE_MPSSE);
    chip->set_timeouts(5000, 5000);

    // The shortest SCK period allowed, in MPSSE clock cycles, rounded up.
    float period_us = 2.0f * std::max(t_low, t_high);
    float cycles = std::ceil(MPSSE_CLOCK_MHZ * period_us);
    uint32_t divisor;
    if (!(cycles <= MAX_DIVISOR + 1.0f)) {
        divisor = MAX_DIVISOR;
        msg_print(msg_out, MSG_DEBUG, "\t%% SCK divisor %.0f does not fit, the slowest clock (divisor 0x%04X) is used\n",
                  static_cast<double>(cycles) - 1, MAX_DIVISOR);
    } else if (cycles > 0) {
        divisor = static_cast<uint32_t>(cycles) - 1;
    } else {
        divisor = 0;
    }
    clock_divisor = static_cast<uint16_t>(divisor);
    sck_mhz = MPSSE_CLOCK_MHZ / static_cast<float>(divisor + 1);

    const uint8_t set_divisor[] = {MPSSE_SET_DIVISOR, static_cast<uint8_t>(divisor & 0xFF),
                                   static_cast<uint8_t>(divisor >> 8), MPSSE_SEND_IMMEDIATE};
    chip->write(set_divisor, sizeof set_divisor);
    wait_ms(20);
    chip->purge(FTDI_PURGE_RX);
}

spi_ftdi_mpsse_t::~spi_ftdi_mpsse_t()
{
    // Leave MPSSE mode: every pin an input. A failure has been reported already
    // and must not leave the destructor.
    try {
        chip->set_bit_mode(0x00, FTDI_BITMODE_RESET);
    } catch (const app_error &) {
    }
}

uint32_t spi_ftdi_mpsse_t::driven_pins() const
{
    return pins.signals[SIG_RESET].high_mask | pins.signals[SIG_ENABLE].high_mask | SCK_MOSI_PINS;
}

void spi_ftdi_mpsse_t::check_count(const char *operation, uint32_t count, uint32_t limit)
{
    if (count > limit)
        fail(EXIT_USAGE, "FT2232 %s of %lu bytes is longer than %lu bytes\n", operation, (unsigned long)count,
             (unsigned long)limit);
}

uint8_t spi_ftdi_mpsse_t::transfer_byte(uint8_t value)
{
    uint8_t byte = value;
    transfer_block(&byte, &byte, 1);
    return byte;
}

void spi_ftdi_mpsse_t::write_byte(uint8_t value)
{
    write_block(&value, 1);
}

uint8_t spi_ftdi_mpsse_t::read_byte()
{
    uint8_t byte = 0;
    read_block(&byte, 1);
    return byte;
}

void spi_ftdi_mpsse_t::transfer_block(const uint8_t *out, uint8_t *in, uint32_t count)
{
    if (count == 0)
        return;
    check_count("transfer block", count, MPSSE_MAX_TRANSFER_BLOCK);
    uint32_t length = count - 1;
    buffer[0] = MPSSE_BYTES_IN_OUT;
    buffer[1] = static_cast<uint8_t>(length & 0xFF);
    buffer[2] = static_cast<uint8_t>(length >> 8);
    memcpy(&buffer[3], out, count);
    buffer[3 + count] = MPSSE_SEND_IMMEDIATE;
    chip->write(buffer.data(), count + 4);
    chip->read(in, count);
}

void spi_ftdi_mpsse_t::write_block(const uint8_t *data, uint32_t count)
{
    if (count == 0)
        return;
    check_count("write block", count, MPSSE_MAX_WRITE_BLOCK);
    uint32_t length = count - 1;
    buffer[0] = MPSSE_BYTES_OUT;
    buffer[1] = static_cast<uint8_t>(length & 0xFF);
    buffer[2] = static_cast<uint8_t>(length >> 8);
    memcpy(&buffer[3], data, count);
    chip->write(buffer.data(), count + 3);
}

void spi_ftdi_mpsse_t::read_block(uint8_t *in, uint32_t count)
{
    if (count == 0)
        return;
    check_count("read block", count, MPSSE_MAX_READ_BLOCK);
    uint32_t length = count - 1;
    const uint8_t command[] = {MPSSE_BYTES_IN, static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>(length >> 8),
                               MPSSE_SEND_IMMEDIATE};
    chip->write(command, sizeof command);
    chip->read(in, count);
}

void spi_ftdi_mpsse_t::set_pins(uint32_t direction, uint32_t value)
{
    const uint8_t command[] = {
        MPSSE_SET_LOW_PINS,  static_cast<uint8_t>(value & 0xFF),        static_cast<uint8_t>(direction & 0xFF),
        MPSSE_SET_HIGH_PINS, static_cast<uint8_t>((value >> 8) & 0xFF), static_cast<uint8_t>((direction >> 8) & 0xFF),
    };
    chip->write(command, sizeof command);
}

void spi_ftdi_mpsse_t::set_reset(bool active)
{
    set_pins(driven_pins(), active ? 0 : pins.signals[SIG_RESET].high_mask);
}

void spi_ftdi_mpsse_t::enable_adapter()
{
    set_pins(driven_pins(), pins.signals[SIG_RESET].high_mask);
}

void spi_ftdi_mpsse_t::disable_adapter()
{
    set_pins(0, 0);
}

// RESET high for n pin commands, then low again; n grows with the SCK period.
void spi_ftdi_mpsse_t::pulse_reset()
{
    long double n_real = std::ceil(static_cast<long double>(0.6f) / spi_frequency());
    uint32_t n = 1;
    if (n_real > MAX_RESET_COMMANDS)
        n = MAX_RESET_COMMANDS;
    else if (n_real > 1)
        n = static_cast<uint32_t>(n_real);

    uint32_t reset = pins.signals[SIG_RESET].high_mask;
    uint32_t enable = pins.signals[SIG_ENABLE].high_mask;
    uint8_t command, value, direction;
    if (reset & 0xFF) {
        command = MPSSE_SET_LOW_PINS;
        value = static_cast<uint8_t>(reset & 0xFF);
        direction = static_cast<uint8_t>((reset | enable | SCK_MOSI_PINS) & 0xFF);
    } else {
        command = MPSSE_SET_HIGH_PINS;
        value = static_cast<uint8_t>((reset >> 8) & 0xFF);
        direction = static_cast<uint8_t>(((reset | enable) >> 8) & 0xFF);
    }
    uint32_t length = 0;
    for (uint32_t i = 0; i < n; i++) {
        buffer[length++] = command;
        buffer[length++] = value;
        buffer[length++] = direction;
    }
    buffer[length++] = command;
    buffer[length++] = 0;
    buffer[length++] = direction;
    chip->write(buffer.data(), length);
}

void spi_ftdi_mpsse_t::pulse_sck()
{
    const uint8_t command[] = {MPSSE_BITS_OUT, 0x01, 0x00};
    chip->write(command, sizeof command);
}

void spi_ftdi_mpsse_t::delay_ms(float ms)
{
    wait_ms(ms);
}
