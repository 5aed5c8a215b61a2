// Bit-banged SPI on a recording port: waveforms, timing, signals, clock generation.
#include <gtest/gtest.h>

#include <chrono>

#include "adapters/lpt_adapter.h"
#include "adapters/spi_lpt.h"
#include "fake_lpt.h"

namespace {

// Data lines of the default cable.
constexpr uint8_t MOSI = 0x20, SCK = 0x40, RESET = 0x10, XTAL = 0x08;

class spi_lpt : public adapter_test {
protected:
    // The default cable (or the one -a names) on a fake port.
    std::unique_ptr<spi_lpt_t> make(const char *letters = nullptr, float cycle_us = 1.0f)
    {
        port = attach_fake(cycle_us);
        std::unique_ptr<spi_t> adapter = create_lpt(letters).spi;
        auto *lpt_adapter = dynamic_cast<spi_lpt_t *>(adapter.get());
        EXPECT_NE(nullptr, lpt_adapter);
        adapter.release();
        return std::unique_ptr<spi_lpt_t>(lpt_adapter);
    }
    // Attach an SPI slave to the port; MISO on ACK (or on BUSY, read inverted).
    void attach_slave(bool miso_on_busy = false)
    {
        slave.reset(new spi_slave(MOSI, SCK));
        port->on_data = [this](uint8_t value) { slave->on_data(value); };
        port->status = [this, miso_on_busy](const fake_lpt &) -> uint8_t {
            if (miso_on_busy)
                return slave->miso() ? 0x00 : 0x80;  // BUSY reads the line inverted
            return slave->miso() ? 0x40 : 0x00;
        };
    }

    fake_lpt *port = nullptr;
    std::unique_ptr<spi_slave> slave;
};

TEST_F(spi_lpt, transfer_byte_waveform_with_timing)
{
    // 800 kHz target: SCK low and high at least 2 clocks = 2.5 us = 3 writes of 1 us
    auto adapter = make();
    adapter->set_reset(true);
    record->clear();
    port->status_value = 0x40;
    EXPECT_EQ(0xFF, adapter->transfer_byte(0xA5));

    auto blocks = record->blocks();
    ASSERT_EQ(8u, blocks.size());
    for (int bit = 0; bit < 8; bit++) {
        SCOPED_TRACE(bit);
        bool one = (0xA5 >> (7 - bit)) & 1;
        ASSERT_EQ(6u, blocks[bit].size());
        for (size_t i = 0; i < 6; i++) {
            uint8_t state = blocks[bit][i];
            EXPECT_EQ(one, (state & MOSI) != 0) << "MOSI steady through the bit";
            EXPECT_EQ(i >= 3, (state & SCK) != 0) << "SCK low 3 writes, then high 3";
            EXPECT_EQ(0, state & RESET) << "RESET held low (active)";
            EXPECT_EQ(0, state & ~(MOSI | SCK)) << "no other line moves";
        }
    }
    // MISO read once per bit, after the bit's last write, while SCK is high
    ASSERT_EQ(8u, record->status_reads.size());
    for (int bit = 0; bit < 8; bit++)
        EXPECT_EQ(6u * (bit + 1), record->status_reads[bit]);
    // then the resting state: SCK and MOSI low
    ASSERT_EQ(49u, record->data_states.size());
    EXPECT_EQ(0x00, record->data_states.back());
    EXPECT_EQ(port_event::write, record->events.back().kind);
}

TEST_F(spi_lpt, write_and_read_byte_waveforms)
{
    auto adapter = make();
    record->clear();
    adapter->write_byte(0x0F);
    EXPECT_EQ(0u, record->status_reads.size()) << "write_byte reads nothing";
    auto blocks = record->blocks();
    ASSERT_EQ(8u, blocks.size());
    for (int bit = 0; bit < 8; bit++)
        EXPECT_EQ(bit >= 4, (blocks[bit][0] & MOSI) != 0);
    EXPECT_EQ(RESET, record->data_states.back()) << "RESET released as left";

    record->clear();
    port->status_value = 0x00;
    EXPECT_EQ(0x00, adapter->read_byte());
    EXPECT_EQ(8u, record->status_reads.size());
    for (const auto &block : record->blocks())
        for (uint8_t state : block)
            EXPECT_EQ(0, state & MOSI) << "read_byte sends zero bits";
}

TEST_F(spi_lpt, bytes_round_trip_through_an_spi_slave)
{
    auto adapter = make();
    attach_slave();
    slave->replies = {0x12, 0x53, 0xC3, 0x00, 0x1E, 0x93};
    EXPECT_EQ(0x12, adapter->transfer_byte(0xAC));
    uint8_t command[4] = {0x53, 0x00, 0x00, 0x30};
    adapter->transfer_block(command, command, 4);
    EXPECT_EQ((std::vector<uint8_t>{0x53, 0xC3, 0x00, 0x1E}), std::vector<uint8_t>(command, command + 4));
    adapter->write_byte(0x5A);
    EXPECT_EQ((std::vector<uint8_t>{0xAC, 0x53, 0x00, 0x00, 0x30, 0x5A}), slave->received);
}

TEST_F(spi_lpt, miso_on_an_inverted_line_is_complemented)
{
    // the ByteBlaster reads MISO on BUSY
    port = attach_fake();
    pin_map_t map;
    clear_pin_map(map);
    map.signals[SIG_MOSI] = {MOSI, 0};
    map.signals[SIG_SCK] = {SCK, 0};
    map.signals[SIG_RESET] = {0, RESET};
    map.signals[SIG_MISO] = {0, 0x8000};
    std::unique_ptr<lpt_t> owned = std::move(pending);
    spi_lpt_t adapter(std::move(owned), map, spi_lpt_t::timing_t{1.0f, 1.0f});
    attach_slave(true);
    slave->replies = {0x3C, 0xF0};
    EXPECT_EQ(0x3C, adapter.transfer_byte(0x01));
    EXPECT_EQ(0xF0, adapter.read_byte());
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x00}), slave->received);
}

TEST_F(spi_lpt, reset_polarity_and_signal_writes)
{
    auto adapter = make();
    record->clear();
    adapter->set_reset(true);
    // control read first, then data, then control, every time
    ASSERT_EQ(3u, record->events.size());
    EXPECT_EQ(port_event::read, record->events[0].kind);
    EXPECT_EQ(LPT_CONTROL, record->events[0].reg);
    EXPECT_EQ(LPT_DATA, record->events[1].reg);
    EXPECT_EQ(0, record->events[1].value & RESET) << "RESET low while active";
    EXPECT_EQ(LPT_CONTROL, record->events[2].reg);
    adapter->set_reset(false);
    EXPECT_EQ(RESET, port->data & RESET);

    adapter.reset();
    auto reversed = make("r");
    reversed->set_reset(true);
    EXPECT_EQ(RESET, port->data & RESET) << "-ar: RESET high while active";
    reversed->set_reset(false);
    EXPECT_EQ(0, port->data & RESET);
}

TEST_F(spi_lpt, reset_and_sck_pulses)
{
    auto adapter = make();
    adapter->set_reset(true);
    record->clear();
    adapter->pulse_reset();
    auto blocks = record->blocks();
    ASSERT_EQ(1u, blocks.size());
    ASSERT_EQ(6u, blocks[0].size()) << "one SPI bit long";
    for (size_t i = 0; i < 5; i++)
        EXPECT_EQ(RESET, blocks[0][i]) << "RESET inactive, nothing else";
    EXPECT_EQ(0x00, blocks[0][5]) << "and active again";
    EXPECT_EQ(0x00, record->data_states.back());

    record->clear();
    adapter->pulse_sck();
    blocks = record->blocks();
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, SCK, SCK, SCK}), blocks[0]);
    EXPECT_EQ(0x00, record->data_states.back()) << "SCK back low";
}

TEST_F(spi_lpt, phase_lengths_follow_the_write_cycle)
{
    {
        // 0.5 us writes: 2.5 us phases are 5 writes each
        auto adapter = make(nullptr, 0.5f);
        EXPECT_EQ(10, adapter->bit_length());
        EXPECT_NEAR(1.0 / (0.5 * 11), static_cast<double>(adapter->spi_frequency()), 1e-9);
    }
    {
        // 40 MHz target: 3 clocks = 75 ns, shorter than one write
        settings.osc_khz = 40000;
        settings.sck_low_periods = settings.sck_high_periods = 3;
        auto adapter = make(nullptr, 1.0f);
        EXPECT_EQ(2, adapter->bit_length());
        EXPECT_EQ((std::vector<uint8_t>{0x00, SCK}), adapter->bit_wave(0));
    }
    {
        // unequal phases at 800 kHz: low 2 clocks = 2.5 us, high 5 clocks = 6.25 us
        settings.osc_khz = 800;
        settings.sck_low_periods = 2;
        settings.sck_high_periods = 5;
        auto adapter = make(nullptr, 1.0f);
        EXPECT_EQ(10, adapter->bit_length());
        std::vector<uint8_t> zero_bit(3, 0x00);
        zero_bit.insert(zero_bit.end(), 7, SCK);
        EXPECT_EQ(zero_bit, adapter->bit_wave(0));
    }
}

TEST_F(spi_lpt, xtal_generation_waveforms)
{
    settings.osc_khz = 0;
    message_capture messages;
    // 2 us writes: XTAL period of two writes is 250 kHz
    auto adapter = make(nullptr, 2.0f);
    EXPECT_TRUE(adapter->xtal_generated());
    std::string text = messages.text();
    EXPECT_TRUE(contains(text, "\t% 250kHz XTAL will be generated\n")) << text;
    EXPECT_TRUE(contains(text, "\t% with SCK low 2 periods, high 2 periods\n")) << text;

    // 2 XTAL periods low, 2 high: 4 + 4 writes
    for (int bit = 0; bit < 2; bit++) {
        const auto &wave = adapter->bit_wave(bit);
        ASSERT_EQ(8u, wave.size());
        for (size_t i = 0; i < wave.size(); i++) {
            EXPECT_EQ(i % 2 == 1, (wave[i] & XTAL) != 0) << "XTAL toggles on every write";
            EXPECT_EQ(i >= 4, (wave[i] & SCK) != 0);
            EXPECT_EQ(bit == 1, (wave[i] & MOSI) != 0);
        }
    }
    const auto &pulse = adapter->reset_wave();
    ASSERT_EQ(8u, pulse.size());
    for (size_t i = 0; i < pulse.size(); i++) {
        EXPECT_EQ(i % 2 == 1, (pulse[i] & XTAL) != 0);
        EXPECT_EQ(i < 7, (pulse[i] & RESET) != 0);
    }

    // XTAL keeps its rhythm across consecutive bits on the wire
    record->clear();
    adapter->transfer_byte(0x96);
    const auto &states = record->data_states;
    ASSERT_EQ(65u, states.size());
    for (size_t i = 1; i < 64; i++)
        EXPECT_NE(states[i] & XTAL, states[i - 1] & XTAL) << i;
}

TEST_F(spi_lpt, delay_keeps_generating_xtal)
{
    settings.osc_khz = 0;
    auto adapter = make();
    adapter->set_reset(true);
    record->clear();
    auto start = std::chrono::steady_clock::now();
    adapter->delay_ms(2.0f);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::microseconds(1999));
    auto blocks = record->blocks();
    ASSERT_FALSE(blocks.empty());
    for (const auto &block : blocks)
        EXPECT_EQ((std::vector<uint8_t>{XTAL, XTAL, 0, 0}), block) << "half the transfer frequency";
}

TEST_F(spi_lpt, delay_without_xtal_only_waits)
{
    auto adapter = make();
    record->clear();
    auto start = std::chrono::steady_clock::now();
    adapter->delay_ms(3.0f);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(2999));
    EXPECT_TRUE(record->events.empty());

    // sub-millisecond delays are not rounded up to a millisecond
    auto best = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 20; i++) {
        start = std::chrono::steady_clock::now();
        adapter->delay_ms(0.01f);
        auto took = std::chrono::steady_clock::now() - start;
        // the counter may be as coarse as a microsecond
        EXPECT_GE(took, std::chrono::microseconds(9));
        best = std::min(best, took);
    }
    EXPECT_LT(best, std::chrono::microseconds(500));
}

TEST_F(spi_lpt, power_and_tristate_of_the_default_cable)
{
    auto adapter = make("pz");
    EXPECT_TRUE(adapter->has_power());
    EXPECT_TRUE(adapter->has_enable());
    EXPECT_EQ(0x00, port->data & 0x87) << "supply off when built";
    EXPECT_EQ(LPT_CTRL_BIDIR, port->control & LPT_CTRL_BIDIR) << "outputs released when built";
    adapter->power_on();
    EXPECT_EQ(0x87, port->data & 0x87);
    adapter->enable_adapter();
    EXPECT_EQ(0, port->control & LPT_CTRL_BIDIR);

    // waveforms hold the supply and the drivers on
    for (uint8_t state : adapter->bit_wave(1))
        EXPECT_EQ(0x87, state & 0x87);

    // destruction: outputs released first, then the supply off, then the port closed
    record->clear();
    auto shared = record;
    adapter.reset();
    ASSERT_EQ(6u, shared->events.size());
    EXPECT_EQ(LPT_CTRL_BIDIR, shared->events[2].value & LPT_CTRL_BIDIR);
    EXPECT_EQ(0x87, shared->events[1].value & 0x87) << "supply still on while drivers go off";
    EXPECT_EQ(0x00, shared->events[4].value & 0x87);
    EXPECT_TRUE(shared->destroyed);
}

TEST_F(spi_lpt, plain_cable_has_no_power_or_enable)
{
    auto adapter = make();
    EXPECT_FALSE(adapter->has_power());
    EXPECT_FALSE(adapter->has_enable());
    EXPECT_FALSE(adapter->is_block_mode());
    EXPECT_STREQ("LPT soft SPI", adapter->adapter_name());
    auto shared = record;
    record->clear();
    adapter.reset();
    EXPECT_TRUE(shared->events.empty()) << "nothing to release";
    EXPECT_TRUE(shared->destroyed);
}

}  // namespace
