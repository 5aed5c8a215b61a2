// The MPSSE byte streams of the FT2232 adapter, against a recording chip.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "ftdi/spi_ftdi_mpsse.h"
#include "recording_chip.h"

namespace {

pin_map_t make_map(uint32_t reset_high, uint32_t enable_high = 0, const char *name = "FT2232 MPSSE")
{
    pin_map_t map;
    memset(&map, 0, sizeof map);
    strcpy(map.name, name);
    map.signals[SIG_RESET].high_mask = reset_high;
    map.signals[SIG_ENABLE].high_mask = enable_high;
    return map;
}

// Times of mega8 at 800 kHz (2 periods x 1050 / 800) and at 16 MHz (3 x 1050 / 16000).
constexpr float T_800KHZ = 2.625f;
constexpr float T_16MHZ = 0.196875f;

struct adapter_fixture : ::testing::Test {
    std::shared_ptr<chip_log_t> log = std::make_shared<chip_log_t>();
    std::unique_ptr<spi_ftdi_mpsse_t> adapter;

    void build(const pin_map_t &map, float t_low, float t_high)
    {
        adapter.reset(new spi_ftdi_mpsse_t(std::unique_ptr<ftdi_chip_t>(new recording_chip_t(log)), map, t_low, t_high));
    }
    void build_default(float t = T_800KHZ) { build(make_map(0x0008), t, t); }
    // Bytes written since the construction (its one write).
    std::vector<uint8_t> after_construction() const { return log->written(1); }
    size_t writes_after_construction() const { return log->writes.size() - 1; }
};

TEST_F(adapter_fixture, construction_enters_mpsse_sets_divisor_and_purges)
{
    build_default();
    ASSERT_EQ(log->calls.size(), 4u);
    EXPECT_EQ(log->calls[0], "bitmode 00 02");
    EXPECT_EQ(log->calls[1], "timeouts 5000 5000");
    EXPECT_EQ(log->calls[2], "write");
    EXPECT_EQ(log->calls[3], "purge 1");
    EXPECT_EQ(hex(log->writes[0]), "86 1F 00 87");
    EXPECT_EQ(adapter->divisor(), 31);
    EXPECT_FLOAT_EQ(static_cast<float>(adapter->spi_frequency()), 0.1875f);
}

TEST_F(adapter_fixture, divisor_follows_the_longer_of_the_two_times)
{
    build(make_map(0x0008), T_16MHZ, T_16MHZ);
    EXPECT_EQ(hex(log->writes[0]), "86 02 00 87");
    EXPECT_FLOAT_EQ(static_cast<float>(adapter->spi_frequency()), 2.0f);

    // 86RF401 style: low 5, high 17 periods at 800 kHz; the high time decides.
    log = std::make_shared<chip_log_t>();
    build(make_map(0x0008), 5 * 1050.0f / 800, 17 * 1050.0f / 800);
    // t = 2 * 22.3125 us, 6 * t = 267.75 -> 268 cycles, divisor 267
    EXPECT_EQ(hex(log->writes[0]), "86 0B 01 87");
    EXPECT_EQ(adapter->divisor(), 267);
}

TEST_F(adapter_fixture, divisor_at_the_limits)
{
    // No time at all: the fastest clock, divisor 0, 6 MHz.
    build(make_map(0x0008), 0.0f, 0.0f);
    EXPECT_EQ(hex(log->writes[0]), "86 00 00 87");
    EXPECT_FLOAT_EQ(static_cast<float>(adapter->spi_frequency()), 6.0f);

    // 65535 cycles: divisor 0xFFFE; 65538 cycles no longer fit and get the slowest clock.
    log = std::make_shared<chip_log_t>();
    build(make_map(0x0008), 5461.25f, 1.0f);
    EXPECT_EQ(hex(log->writes[0]), "86 FE FF 87");
    log = std::make_shared<chip_log_t>();
    {
        message_capture_t capture(MSG_DEBUG);
        build(make_map(0x0008), 1.0f, 5461.5f);
        EXPECT_NE(capture.text().find("the slowest clock (divisor 0xFFFF)"), std::string::npos);
    }
    EXPECT_EQ(hex(log->writes[0]), "86 FF FF 87");

    // Far slower than 16 bits can say: still the slowest clock, never a faster one than asked.
    log = std::make_shared<chip_log_t>();
    build(make_map(0x0008), 100000.0f, 100000.0f);
    EXPECT_EQ(hex(log->writes[0]), "86 FF FF 87");
    EXPECT_EQ(adapter->divisor(), 0xFFFF);
    EXPECT_FLOAT_EQ(static_cast<float>(adapter->spi_frequency()), 6.0f / 65536);
}

TEST_F(adapter_fixture, pin_levels_with_the_default_map)
{
    build_default();
    adapter->enable_adapter();
    adapter->set_reset(true);
    adapter->set_reset(false);
    adapter->disable_adapter();
    ASSERT_EQ(writes_after_construction(), 4u);
    EXPECT_EQ(hex(log->writes[1]), "80 08 0B 82 00 00");
    EXPECT_EQ(hex(log->writes[2]), "80 00 0B 82 00 00");
    EXPECT_EQ(hex(log->writes[3]), "80 08 0B 82 00 00");
    EXPECT_EQ(hex(log->writes[4]), "80 00 00 82 00 00");
}

TEST_F(adapter_fixture, pin_levels_with_reset_and_enable_on_both_ports)
{
    // reset on acbus1 (0x200), enable on adbus4 and acbus3 (0x810)
    build(make_map(0x0200, 0x0810), T_800KHZ, T_800KHZ);
    adapter->enable_adapter();
    adapter->set_reset(true);
    adapter->set_reset(false);
    EXPECT_EQ(hex(log->writes[1]), "80 00 13 82 02 0A");
    EXPECT_EQ(hex(log->writes[2]), "80 00 13 82 00 0A");
    EXPECT_EQ(hex(log->writes[3]), "80 00 13 82 02 0A");
}

TEST_F(adapter_fixture, reset_written_inverted_is_never_driven)
{
    build(make_map(0), T_800KHZ, T_800KHZ);
    adapter->set_reset(false);
    adapter->set_reset(true);
    EXPECT_EQ(hex(log->writes[1]), "80 00 03 82 00 00");
    EXPECT_EQ(hex(log->writes[2]), "80 00 03 82 00 00");
}

TEST_F(adapter_fixture, pulse_reset_is_sized_from_the_clock)
{
    build_default();
    adapter->pulse_reset();
    ASSERT_EQ(writes_after_construction(), 1u);
    EXPECT_EQ(hex(log->writes[1]), "80 08 0B 80 08 0B 80 08 0B 80 08 0B 80 00 0B");

    // 2 MHz: one command released, then active again.
    log = std::make_shared<chip_log_t>();
    build_default(T_16MHZ);
    adapter->pulse_reset();
    EXPECT_EQ(hex(log->writes[1]), "80 08 0B 80 00 0B");
}

TEST_F(adapter_fixture, pulse_reset_on_the_high_port_leaves_the_low_port_alone)
{
    // reset=acbus0, enable on adbus5 and acbus2
    build(make_map(0x0100, 0x0420), T_800KHZ, T_800KHZ);
    adapter->pulse_reset();
    EXPECT_EQ(hex(log->writes[1]), "82 01 05 82 01 05 82 01 05 82 01 05 82 00 05");
}

TEST_F(adapter_fixture, pulse_reset_length_is_capped)
{
    build_default(100000.0f);  // slowest clock: 0.6 / 0.0000916 MHz would be 6554 commands
    adapter->pulse_reset();
    const std::vector<uint8_t> &pulse = log->writes[1];
    ASSERT_EQ(pulse.size(), 2001u * 3);
    for (size_t i = 0; i < 2000; i++)
        ASSERT_EQ(pulse[3 * i + 1], 0x08) << "command " << i;
    EXPECT_EQ(hex(std::vector<uint8_t>(pulse.end() - 6, pulse.end())), "80 08 0B 80 00 0B");
}

TEST_F(adapter_fixture, transfers_send_one_command_and_read_the_answer)
{
    build_default();
    log->replies = {0x53};
    EXPECT_EQ(adapter->transfer_byte(0xAC), 0x53);
    EXPECT_EQ(hex(after_construction()), "31 00 00 AC 87");
    EXPECT_EQ(log->calls.back(), "read 1");

    // A 4-byte command in place: the reply replaces the command.
    size_t first = log->writes.size();
    uint8_t command[4] = {0xAC, 0x53, 0x00, 0x00};
    log->replies = {0xFF, 0xAC, 0x53, 0x00};
    adapter->transfer_block(command, command, 4);
    EXPECT_EQ(hex(log->written(first)), "31 03 00 AC 53 00 00 87");
    EXPECT_EQ(log->calls.back(), "read 4");
    EXPECT_EQ(hex(std::vector<uint8_t>(command, command + 4)), "FF AC 53 00");
}

TEST_F(adapter_fixture, one_direction_transfers)
{
    build_default();
    adapter->write_byte(0x4C);
    const uint8_t page[] = {0x40, 0x00, 0x01, 0xAA};
    adapter->write_block(page, 4);
    ASSERT_EQ(writes_after_construction(), 2u);
    EXPECT_EQ(hex(log->writes[1]), "11 00 00 4C");
    EXPECT_EQ(hex(log->writes[2]), "11 03 00 40 00 01 AA");
    EXPECT_EQ(log->calls.back(), "write");  // nothing read back

    log->replies = {0x1E, 0x95, 0x0F, 0x77};
    EXPECT_EQ(adapter->read_byte(), 0x1E);
    EXPECT_EQ(hex(log->writes[3]), "21 00 00 87");
    uint8_t in[3] = {};
    adapter->read_block(in, 3);
    EXPECT_EQ(hex(log->writes[4]), "21 02 00 87");
    EXPECT_EQ(hex(std::vector<uint8_t>(in, in + 3)), "95 0F 77");
}

// Queued transfers: the commands go out at once, the replies are read in queue order when
// collected, and any other operation takes in the outstanding replies before it writes.
TEST_F(adapter_fixture, queued_transfers_are_collected_in_order)
{
    build_default();
    const uint8_t first[] = {0x20, 0x00}, second[] = {0x28, 0x01};
    uint8_t in1[2] = {}, in2[2] = {};
    adapter->queue_transfer(first, in1, 2);
    adapter->queue_transfer(second, in2, 2);
    ASSERT_EQ(writes_after_construction(), 2u);
    EXPECT_EQ(hex(log->writes[1]), "31 01 00 20 00 87");
    EXPECT_EQ(hex(log->writes[2]), "31 01 00 28 01 87");
    EXPECT_EQ(log->calls.back(), "write") << "nothing read before it is collected";

    log->replies = {0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x42, 0x51, 0x52};
    adapter->collect_transfer(in2);  // the earlier one first
    EXPECT_EQ(hex(std::vector<uint8_t>(in1, in1 + 2)), "11 12");
    EXPECT_EQ(hex(std::vector<uint8_t>(in2, in2 + 2)), "21 22");
    size_t calls = log->calls.size();
    adapter->collect_transfer(in1);  // collected already: nothing read
    EXPECT_EQ(log->calls.size(), calls);

    // another operation reads what is outstanding before its own command goes out
    adapter->queue_transfer(first, in1, 2);
    adapter->set_reset(true);
    EXPECT_EQ(hex(std::vector<uint8_t>(in1, in1 + 2)), "31 32");
    ASSERT_GE(log->calls.size(), 2u);
    EXPECT_EQ(log->calls[log->calls.size() - 2], "read 2");
    EXPECT_EQ(hex(log->writes.back()), "80 00 0B 82 00 00");
    uint8_t command[2] = {0x30, 0x00};
    adapter->queue_transfer(first, in1, 2);
    adapter->transfer_block(command, command, 2);
    EXPECT_EQ(hex(std::vector<uint8_t>(in1, in1 + 2)), "41 42");
    EXPECT_EQ(hex(std::vector<uint8_t>(command, command + 2)), "51 52");
    EXPECT_TRUE(log->replies.empty());
}

TEST_F(adapter_fixture, largest_blocks_fill_the_length_field)
{
    build_default();
    std::vector<uint8_t> out(MPSSE_MAX_TRANSFER_BLOCK), in(MPSSE_MAX_READ_BLOCK);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = static_cast<uint8_t>(i * 7);

    log->replies.assign(out.rbegin(), out.rend());
    adapter->transfer_block(out.data(), in.data(), MPSSE_MAX_TRANSFER_BLOCK);
    const std::vector<uint8_t> &w = log->writes[1];
    ASSERT_EQ(w.size(), MPSSE_MAX_TRANSFER_BLOCK + 4u);
    EXPECT_EQ(hex(std::vector<uint8_t>(w.begin(), w.begin() + 3)), "31 FF 3F");
    EXPECT_TRUE(std::equal(out.begin(), out.end(), w.begin() + 3));
    EXPECT_EQ(w.back(), 0x87);
    EXPECT_TRUE(std::equal(out.rbegin(), out.rend(), in.begin()));

    adapter->write_block(out.data(), MPSSE_MAX_WRITE_BLOCK);
    ASSERT_EQ(log->writes[2].size(), MPSSE_MAX_WRITE_BLOCK + 3u);
    EXPECT_EQ(hex(std::vector<uint8_t>(log->writes[2].begin(), log->writes[2].begin() + 3)), "11 FF 0F");

    log->replies.assign(MPSSE_MAX_READ_BLOCK, 0x5A);
    adapter->read_block(in.data(), MPSSE_MAX_READ_BLOCK);
    EXPECT_EQ(hex(log->writes[3]), "21 FF FF 87");
    EXPECT_EQ(log->calls.back(), "read 65536");
}

TEST_F(adapter_fixture, blocks_beyond_the_limits_are_refused_before_anything_is_sent)
{
    build_default();
    std::vector<uint8_t> data(MPSSE_MAX_READ_BLOCK + 1);
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([&] { adapter->transfer_block(data.data(), data.data(), MPSSE_MAX_TRANSFER_BLOCK + 1); }),
              EXIT_USAGE);
    EXPECT_EQ(exit_status_of([&] { adapter->write_block(data.data(), MPSSE_MAX_WRITE_BLOCK + 1); }), EXIT_USAGE);
    EXPECT_EQ(exit_status_of([&] { adapter->read_block(data.data(), MPSSE_MAX_READ_BLOCK + 1); }), EXIT_USAGE);
    EXPECT_EQ(writes_after_construction(), 0u);
    EXPECT_NE(capture.text().find("FT2232 write block of 4097 bytes is longer than 4096 bytes\n"), std::string::npos);
}

TEST_F(adapter_fixture, zero_counts_send_nothing)
{
    build_default();
    uint8_t buffer[1] = {0x11};
    adapter->transfer_block(buffer, buffer, 0);
    adapter->write_block(buffer, 0);
    adapter->read_block(buffer, 0);
    EXPECT_EQ(writes_after_construction(), 0u);
    EXPECT_EQ(log->calls.back(), "purge 1");
    EXPECT_EQ(buffer[0], 0x11);
}

TEST_F(adapter_fixture, sck_pulse_clocks_two_zero_bits)
{
    build_default();
    adapter->pulse_sck();
    EXPECT_EQ(hex(after_construction()), "13 01 00");
    EXPECT_EQ(log->calls.back(), "write");
}

TEST_F(adapter_fixture, a_short_read_ends_the_run)
{
    build_default();
    log->replies = {0x01, 0x02};
    uint8_t in[4];
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([&] { adapter->read_block(in, 4); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't read from FTDI chip\n");
}

TEST_F(adapter_fixture, delays_wait_on_the_host_only)
{
    build_default();
    auto start = std::chrono::steady_clock::now();
    adapter->delay_ms(15.0f);
    double elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, 15.0);
    start = std::chrono::steady_clock::now();
    adapter->delay_ms(0.05f);
    elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(elapsed, 0.05);
    EXPECT_LT(elapsed, 5.0);
    EXPECT_EQ(writes_after_construction(), 0u);
}

TEST_F(adapter_fixture, destruction_leaves_mpsse_mode_then_closes_the_chip)
{
    build_default();
    adapter.reset();
    ASSERT_GE(log->calls.size(), 2u);
    EXPECT_EQ(log->calls[log->calls.size() - 2], "bitmode 00 00");
    EXPECT_EQ(log->calls.back(), "destroyed");

    // A failure to leave MPSSE mode is reported but does not escape the destructor.
    log = std::make_shared<chip_log_t>();
    build_default();
    log->fail_bit_mode = true;
    message_capture_t capture(MSG_ERROR);
    adapter.reset();
    EXPECT_EQ(log->calls.back(), "destroyed");
    EXPECT_EQ(capture.text(), "Can't set bit mode (FT_IO_ERROR)\n");
}

}  // namespace
