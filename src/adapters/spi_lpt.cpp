// Bit-banged SPI: every bit is one run of precomputed data-register states.
#include "adapters/spi_lpt.h"

#include <cmath>
#include <cstdint>

#include "base/messages.h"
#include "base/timer.h"

namespace {

uint8_t low_byte(uint32_t value)
{
    return static_cast<uint8_t>(value & 0xFF);
}

uint8_t control_bits(uint32_t value)
{
    return static_cast<uint8_t>((value >> 16) & 0xFF);
}

uint8_t data_bits(const signal_pins_t &pins)
{
    return low_byte(pins.high_mask | pins.low_mask);
}

// Port writes for a phase of `us` microseconds, at least one.
int32_t writes_for(float us, float cycle_us)
{
    double writes = std::ceil(static_cast<double>(us) / cycle_us);
    if (!(writes >= 1.0))
        return 1;
    if (writes > INT32_MAX / 4)
        return INT32_MAX / 4;
    return static_cast<int32_t>(writes);
}

}  // namespace

spi_lpt_t::spi_lpt_t(std::unique_ptr<lpt_t> port, const pin_map_t &pins, timing_t timing)
    : port(std::move(port)), pins(pins)
{
    float cycle = cycle_us();
    build_waveforms(writes_for(timing.setup_us, cycle), writes_for(timing.hold_us, cycle));
}

spi_lpt_t::spi_lpt_t(std::unique_ptr<lpt_t> port, const pin_map_t &pins, xtal_periods_t periods)
    : port(std::move(port)), pins(pins), xtal_on(true)
{
    build_waveforms(2 * periods.low, 2 * periods.high);
    // XTAL toggles on every write: one XTAL period is two writes.
    uint8_t x = data_bits(this->pins.signals[SIG_XTAL]);
    for (auto *wave : {&wave0, &wave1, &reset_pulse})
        for (size_t i = 1; i < wave->size(); i += 2)
            (*wave)[i] ^= x;
    msg_print(msg_out, MSG_DEBUG, "\t%% %s XTAL will be generated\n",
              format_frequency(500.0L / cycle_us(), 2));
}

spi_lpt_t::~spi_lpt_t()
{
    if (pins.signals[SIG_ENABLE].defined())
        deassert_signal(SIG_ENABLE);
    if (pins.signals[SIG_POWER].defined())
        deassert_signal(SIG_POWER);
}

float spi_lpt_t::cycle_us() const
{
    return port->write_cycle_us > 0.0f ? port->write_cycle_us : LPT_FALLBACK_CYCLE_US;
}

void spi_lpt_t::build_waveforms(int32_t low, int32_t high)
{
    shadow = port->read_reg(LPT_DATA);
    for (int signal : {SIG_MOSI, SIG_SCK, SIG_RESET, SIG_POWER, SIG_ENABLE})
        deassert_signal(signal);
    assert_signal(SIG_SET);

    const signal_pins_t &reset = pins.signals[SIG_RESET];
    const signal_pins_t &power = pins.signals[SIG_POWER];
    const signal_pins_t &enable = pins.signals[SIG_ENABLE];
    // Data lines with RESET, power and enable active, MOSI and SCK inactive.
    uint8_t idle = low_byte((shadow | reset.high_mask | power.high_mask | enable.high_mask) &
                            ~(reset.low_mask | power.low_mask | enable.low_mask));
    uint8_t m = data_bits(pins.signals[SIG_MOSI]);
    uint8_t k = data_bits(pins.signals[SIG_SCK]);
    uint8_t r = data_bits(reset);

    bit_len = low + high;
    wave0.assign(bit_len, idle);
    wave1.assign(bit_len, static_cast<uint8_t>(idle ^ m));
    for (int32_t i = low; i < bit_len; i++) {
        wave0[i] ^= k;
        wave1[i] ^= k;
    }
    pulse_len = bit_len;
    reset_pulse.assign(pulse_len, static_cast<uint8_t>(idle ^ r));
    reset_pulse[pulse_len - 1] = idle;
}

void spi_lpt_t::assert_signal(int signal)
{
    uint32_t h = pins.signals[signal].high_mask;
    uint32_t l = pins.signals[signal].low_mask;
    uint8_t control = port->read_reg(LPT_CONTROL);
    shadow = h | (shadow & ~l);
    port->write_reg(LPT_DATA, low_byte(shadow));
    port->write_reg(LPT_CONTROL,
                    static_cast<uint8_t>((control & ~control_bits(l)) | control_bits(h)));
}

void spi_lpt_t::deassert_signal(int signal)
{
    uint32_t h = pins.signals[signal].high_mask;
    uint32_t l = pins.signals[signal].low_mask;
    uint8_t control = port->read_reg(LPT_CONTROL);
    shadow = (shadow | l) & ~h;
    port->write_reg(LPT_DATA, low_byte(shadow));
    port->write_reg(LPT_CONTROL,
                    static_cast<uint8_t>((control | control_bits(l)) & ~control_bits(h)));
}

void spi_lpt_t::write_shadow()
{
    port->write_reg(LPT_DATA, low_byte(shadow));
}

bool spi_lpt_t::read_miso()
{
    const signal_pins_t &miso = pins.signals[SIG_MISO];
    uint8_t status_bits = static_cast<uint8_t>(((miso.high_mask | miso.low_mask) >> 8) & 0xFF);
    return (port->read_reg(LPT_STATUS) & status_bits) != 0;
}

uint8_t spi_lpt_t::finish_byte(uint8_t received)
{
    write_shadow();
    if (pins.signals[SIG_MISO].low_mask)
        received = static_cast<uint8_t>(~received);
    return received;
}

uint8_t spi_lpt_t::transfer_byte(uint8_t value)
{
    uint8_t received = 0;
    for (int bit = 7; bit >= 0; bit--) {
        const std::vector<uint8_t> &wave = (value >> bit) & 1 ? wave1 : wave0;
        port->write_data_block(wave.data(), bit_len);
        received = static_cast<uint8_t>((received << 1) | (read_miso() ? 1 : 0));
    }
    return finish_byte(received);
}

void spi_lpt_t::write_byte(uint8_t value)
{
    for (int bit = 7; bit >= 0; bit--) {
        const std::vector<uint8_t> &wave = (value >> bit) & 1 ? wave1 : wave0;
        port->write_data_block(wave.data(), bit_len);
    }
    write_shadow();
}

uint8_t spi_lpt_t::read_byte()
{
    uint8_t received = 0;
    for (int bit = 0; bit < 8; bit++) {
        port->write_data_block(wave0.data(), bit_len);
        received = static_cast<uint8_t>((received << 1) | (read_miso() ? 1 : 0));
    }
    return finish_byte(received);
}

void spi_lpt_t::set_reset(bool active)
{
    if (active)
        assert_signal(SIG_RESET);
    else
        deassert_signal(SIG_RESET);
}

void spi_lpt_t::pulse_reset()
{
    port->write_data_block(reset_pulse.data(), pulse_len);
    write_shadow();
}

void spi_lpt_t::pulse_sck()
{
    port->write_data_block(wave0.data(), bit_len);
    write_shadow();
}

void spi_lpt_t::delay_ms(float ms)
{
    os_timer_t timer;
    timer.set_wait(ms);
    if (!xtal_on) {
        timer.wait();
        return;
    }
    // Keep the target's clock running: XTAL period of four writes.
    uint8_t b = port->read_reg(LPT_DATA);
    uint8_t x = data_bits(pins.signals[SIG_XTAL]);
    const uint8_t toggle[4] = {static_cast<uint8_t>(b ^ x), static_cast<uint8_t>(b ^ x), b, b};
    while (!timer.expired())
        port->write_data_block(toggle, 4);
}

long double spi_lpt_t::spi_frequency()
{
    return 1.0L / cycle_us() / (bit_len + 1);
}
