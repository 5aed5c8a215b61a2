// The virtual FT2232: MPSSE commands, clock divisor, pin directions, USB latency and faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "stand_in_chip.h"
#include "support/scoped_env.h"
#include "vtarget/virtual_ft2232.h"

using namespace vt;
using bytes = std::vector<uint8_t>;

namespace {

struct rig {
    std::shared_ptr<stand_in_chip> chip = std::make_shared<stand_in_chip>();
    std::unique_ptr<virtual_ft2232> ft;
    explicit rig(ft2232_config c = fast())
    {
        ft = make_virtual_ft2232(c, chip);
        ft->set_bit_mode(0, 2);
    }
    static ft2232_config fast()
    {
        ft2232_config c;
        c.usb_latency_us = 0;
        return c;
    }
    void send(const bytes &b) { ASSERT_TRUE(ft->write(b.data(), static_cast<uint32_t>(b.size()))); }
    bytes receive(uint32_t n, uint32_t timeout_ms = 1000)
    {
        bytes b(n);
        b.resize(ft->read(b.data(), n, timeout_ms));
        return b;
    }
    // Drive SCK, MOSI, RESET (adbus3) as outputs, RESET low.
    void program_mode() { send({0x80, 0x00, 0x0B}); }
};

double ms_since(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

}  // namespace

TEST(VirtualFt2232, PinCommandsReachTheChipPins)
{
    rig r;
    r.send({0x80, 0x08, 0x0B});
    EXPECT_TRUE(r.chip->pins().reset);
    r.send({0x80, 0x00, 0x0B});
    EXPECT_FALSE(r.chip->pins().reset);
    EXPECT_EQ(r.ft->pin_directions(), 0x000B);
    r.send({0x80, 0x03, 0x0B});
    EXPECT_TRUE(r.chip->pins().sck);
    EXPECT_TRUE(r.chip->pins().mosi);
    r.send({0x80, 0x03, 0x00});  // every pin an input: RESET pulled up, nothing clocked
    EXPECT_TRUE(r.chip->pins().reset);
    EXPECT_FALSE(r.chip->pins().sck);
    EXPECT_FALSE(r.chip->pins().mosi);

    ft2232_config c = rig::fast();
    c.reset_pin = 8;  // acbus0
    rig high(c);
    high.send({0x82, 0x00, 0x01});
    EXPECT_FALSE(high.chip->pins().reset);
    high.send({0x80, 0x00, 0x0B});  // the low byte leaves acbus alone
    EXPECT_FALSE(high.chip->pins().reset);
    EXPECT_EQ(high.ft->pin_directions(), 0x010B);
    high.send({0x82, 0x01, 0x01});
    EXPECT_TRUE(high.chip->pins().reset);

    r.ft->set_bit_mode(0, 0);  // leaving MPSSE makes every pin an input
    EXPECT_EQ(r.ft->pin_directions(), 0);
}

TEST(VirtualFt2232, DivisorSetsTheShiftClock)
{
    for (uint16_t divisor : {0, 2, 31, 300}) {
        SCOPED_TRACE(divisor);
        rig r;
        r.send({0x86, static_cast<uint8_t>(divisor), static_cast<uint8_t>(divisor >> 8)});
        EXPECT_EQ(r.ft->clock_divisor(), divisor);
        r.program_mode();
        size_t first = r.chip->events.size();
        r.send({0x11, 0x01, 0x00, 0xA5, 0x3C});
        uint64_t half_ns = (divisor + 1) * 1000u / 12u;  // 6 MHz / (divisor + 1), two phases
        uint64_t phase = r.chip->shortest_sck_phase();
        EXPECT_GE(phase + 1, half_ns);
        EXPECT_LE(phase, half_ns + 1);
        // from MOSI of the first bit to the last falling edge: 32 half periods
        uint64_t took = r.chip->events.back().t_ns - r.chip->events[first].t_ns;
        EXPECT_NEAR(double(took), 16.0 * (divisor + 1) * 1000.0 / 6.0, 2.0);
        EXPECT_EQ(r.chip->rising_edges, 16);
        EXPECT_EQ(r.chip->received, (bytes{0xA5, 0x3C}));
    }
}

TEST(VirtualFt2232, ShiftCommands)
{
    rig r;
    r.program_mode();
    // 0x31: out and in; the stand-in answers each byte with the previous one
    r.send({0x31, 0x03, 0x00, 0xAC, 0x53, 0x00, 0x00, 0x87});
    EXPECT_EQ(r.receive(4), (bytes{0x00, 0xAC, 0x53, 0x00}));
    // 0x11: out only, nothing comes back
    r.send({0x11, 0x00, 0x00, 0x77, 0x87});
    EXPECT_EQ(r.ft->bytes_ready(), 0u);
    EXPECT_EQ(r.chip->received.back(), 0x77);
    // 0x21: in only, MOSI stays where the pins left it
    r.send({0x80, 0x02, 0x0B});
    r.send({0x21, 0x01, 0x00, 0x87});
    EXPECT_EQ(r.receive(2), (bytes{0x77, 0xFF}));
    EXPECT_EQ(r.chip->received.back(), 0xFF);
    // 0x13 with length 1: two clocks with MOSI from the data bits
    int edges = r.chip->rising_edges;
    r.send({0x13, 0x01, 0x00});
    EXPECT_EQ(r.chip->rising_edges, edges + 2);
    EXPECT_FALSE(r.chip->pins().mosi);
    EXPECT_FALSE(r.chip->pins().sck);
    EXPECT_EQ(r.ft->bytes_ready(), 0u);
}

TEST(VirtualFt2232, UnknownCommandsAnswerBadCommand)
{
    rig r;
    r.program_mode();
    r.send({0xAB, 0x81, 0x31, 0x00, 0x00, 0x5A, 0x87});
    EXPECT_EQ(r.receive(5), (bytes{0xFA, 0xAB, 0xFA, 0x81, 0x00}));
    EXPECT_EQ(r.chip->received, bytes{0x5A});
}

// Each chip's MPSSE: the clock commands of the H-series (60 MHz master clock with
// divide-by-5 off, 12 MHz with it on, as at power-up) and the FT2232C's bad-command answers.
TEST(VirtualFt2232, ClockCommandsOfEachChip)
{
    struct chip_case {
        uint32_t type;
        bool high_speed;
    };
    const bytes clock_setup = {0x8A, 0x8B, 0x8C, 0x8D, 0x96, 0x97};
    for (chip_case k : {chip_case{ftdi_type_2232c, false}, chip_case{ftdi_type_2232h, true},
                        chip_case{ftdi_type_4232h, true}, chip_case{ftdi_type_232h, true}}) {
        SCOPED_TRACE(k.type);
        ft2232_config c = rig::fast();
        c.device_type = k.type;
        rig r(c);
        EXPECT_EQ(r.ft->master_clock_hz(), 12000000u);  // power-up state: divide-by-5 on
        r.send(clock_setup);
        r.send({0x87});
        if (k.high_speed) {
            EXPECT_EQ(r.receive(1, 20), bytes{});
        } else {
            bytes bad;
            for (uint8_t op : clock_setup)
                bad.insert(bad.end(), {0xFA, op});
            EXPECT_EQ(r.receive(static_cast<uint32_t>(bad.size())), bad);
        }
        r.send({0x8A, 0x86, 0x05, 0x00});  // divide-by-5 off, divisor 5
        r.program_mode();
        size_t first = r.chip->events.size();
        r.send({0x11, 0x00, 0x00, 0xC3});
        // half an SCK period: 6 / 60 MHz = 100 ns on the H-series, 6 / 12 MHz = 500 ns else
        uint64_t half_ns = k.high_speed ? 100 : 500;
        EXPECT_EQ(r.ft->master_clock_hz(), k.high_speed ? 60000000u : 12000000u);
        EXPECT_EQ(r.chip->shortest_sck_phase(), half_ns);
        EXPECT_EQ(r.chip->events.back().t_ns - r.chip->events[first].t_ns, 16 * half_ns);
        EXPECT_EQ(r.chip->received, bytes{0xC3});
        r.send({0x8B, 0x11, 0x00, 0x00, 0x3C});
        EXPECT_EQ(r.ft->master_clock_hz(), 12000000u);
        EXPECT_EQ(r.chip->received, (bytes{0xC3, 0x3C}));
    }
}

// Settings an earlier program left on an H-series channel: adaptive clocking waits for an
// RTCK an AVR never gives, three-phase clocking shifts MOSI by a bit. The FT2232C has neither.
TEST(VirtualFt2232, SettingsLeftByAnEarlierProgram)
{
    ft2232_config c = rig::fast();
    c.device_type = ftdi_type_2232h;
    c.adaptive_clocking = true;
    {
        rig r(c);
        r.program_mode();
        r.send({0x31, 0x00, 0x00, 0xA5, 0x87});
        EXPECT_EQ(r.receive(1, 30), bytes{});  // nothing within the time-out
        EXPECT_TRUE(r.ft->stalled());
        EXPECT_EQ(r.chip->rising_edges, 1);  // the pulled-up RTCK never echoes a falling edge
        EXPECT_FALSE(r.chip->pins().sck);
        r.send({0x97, 0x31, 0x00, 0x00, 0x5A, 0x87});  // too late: the engine takes nothing
        EXPECT_EQ(r.receive(1, 30), bytes{});
        EXPECT_TRUE(r.ft->adaptive_clocking());
        r.ft->set_bit_mode(0, 0);  // a mode change resets the engine, not its settings
        r.ft->set_bit_mode(0, 2);
        EXPECT_FALSE(r.ft->stalled());
        EXPECT_TRUE(r.ft->adaptive_clocking());
        r.program_mode();
        r.send({0x97, 0x31, 0x00, 0x00, 0x5A, 0x87});
        EXPECT_EQ(r.receive(1), bytes{0x00});
        EXPECT_EQ(r.chip->received, bytes{0x5A});
    }
    {
        rig r(c);  // adbus7 driven low: not even the rising edge is echoed
        r.send({0x80, 0x00, 0x8B, 0x11, 0x00, 0x00, 0xFF});
        EXPECT_TRUE(r.ft->stalled());
        EXPECT_EQ(r.chip->rising_edges, 1);
        EXPECT_TRUE(r.chip->pins().sck);
    }
    c.adaptive_clocking = false;
    c.three_phase = true;
    {
        rig r(c);
        r.program_mode();
        size_t first = r.chip->events.size();
        r.send({0x11, 0x01, 0x00, 0xA5, 0x0F});
        // the chip samples each bit one place late: MOSI's level before, then 1010010 ...
        EXPECT_EQ(r.chip->received, (bytes{0x52, 0x87}));
        std::vector<uint64_t> rises;
        for (size_t i = first; i < r.chip->events.size(); i++)
            if (r.chip->events[i].in.sck && !r.chip->events[i - 1].in.sck)
                rises.push_back(r.chip->events[i].t_ns);
        ASSERT_EQ(rises.size(), 16u);
        EXPECT_EQ(rises[1] - rises[0], 250u);  // three half periods of 1 / 12 MHz per bit
        EXPECT_EQ(rises[15] - rises[0], 15 * 250u);
        r.send({0x8D, 0x11, 0x00, 0x00, 0xA5});
        EXPECT_FALSE(r.ft->three_phase());
        EXPECT_EQ(r.chip->received.back(), 0xA5);
    }
    c.device_type = ftdi_type_2232c;
    c.adaptive_clocking = true;
    c.divide_by_5 = false;
    rig ft2232c(c);
    EXPECT_FALSE(ft2232c.ft->three_phase());
    EXPECT_FALSE(ft2232c.ft->adaptive_clocking());
    EXPECT_EQ(ft2232c.ft->master_clock_hz(), 12000000u);
    ft2232c.program_mode();
    ft2232c.send({0x11, 0x00, 0x00, 0xA5});
    EXPECT_EQ(ft2232c.chip->received, bytes{0xA5});
}

// Chips and channels without MPSSE: what is written in MPSSE mode leaves on the UART.
TEST(VirtualFt2232, ChannelsWithoutMpsseDoNothing)
{
    struct channel_case {
        uint32_t type;
        int channel;
    };
    for (channel_case k : {channel_case{ftdi_type_bm, 0}, channel_case{ftdi_type_am, 0},
                           channel_case{ftdi_type_232r, 0}, channel_case{ftdi_type_x_series, 0},
                           channel_case{ftdi_type_4232h, 2}, channel_case{ftdi_type_4232h, 3}}) {
        SCOPED_TRACE(k.type * 10 + k.channel);
        EXPECT_FALSE(ftdi_has_mpsse(k.type, k.channel));
        ft2232_config c = rig::fast();
        c.device_type = k.type;
        c.channel = k.channel;
        rig r(c);
        r.send({0x80, 0x00, 0x0B, 0x31, 0x00, 0x00, 0xAC, 0xAB, 0x87});
        EXPECT_EQ(r.receive(2, 20), bytes{});
        EXPECT_TRUE(r.chip->pins().reset);
        EXPECT_EQ(r.chip->rising_edges, 0);
    }
    EXPECT_TRUE(ftdi_has_mpsse(ftdi_type_4232h, 1));
    EXPECT_TRUE(ftdi_has_mpsse(ftdi_type_2232c, 1));
    EXPECT_TRUE(ftdi_has_mpsse(ftdi_type_232h, 0));
}

TEST(VirtualFt2232, CommandsMaySpanWrites)
{
    rig r;
    r.send({0x80, 0x00});
    EXPECT_TRUE(r.chip->pins().reset);
    r.send({0x0B, 0x31, 0x01});
    EXPECT_FALSE(r.chip->pins().reset);
    r.send({0x00, 0x12});
    EXPECT_TRUE(r.chip->received.empty());
    r.send({0x34, 0x87});
    EXPECT_EQ(r.receive(2), (bytes{0x00, 0x12}));
    EXPECT_EQ(r.chip->received, (bytes{0x12, 0x34}));
}

TEST(VirtualFt2232, PinDirectionsAreHonoured)
{
    rig r;
    r.send({0x80, 0x00, 0x08});  // RESET driven low, SCK and MOSI left as inputs
    r.send({0x31, 0x00, 0x00, 0xFF, 0x87});
    EXPECT_EQ(r.chip->rising_edges, 0);
    EXPECT_EQ(r.receive(1), bytes{0x00});  // the stand-in holds MISO low in programming mode
    r.send({0x80, 0x04, 0x0F});  // MISO pin made an output and driven high: reads itself
    r.send({0x31, 0x00, 0x00, 0x00, 0x87});
    EXPECT_EQ(r.receive(1), bytes{0xFF});
    EXPECT_EQ(r.chip->rising_edges, 8);

    ft2232_config c = rig::fast();
    c.enable_pin = 4;  // active-low buffer between the channel and the chip
    rig buffered(c);
    buffered.send({0x80, 0x10, 0x1B});
    EXPECT_TRUE(buffered.chip->pins().reset);
    buffered.send({0x11, 0x00, 0x00, 0xFF});
    EXPECT_EQ(buffered.chip->rising_edges, 0);
    buffered.send({0x80, 0x00, 0x1B});
    EXPECT_FALSE(buffered.chip->pins().reset);
    buffered.send({0x11, 0x00, 0x00, 0xFF});
    EXPECT_EQ(buffered.chip->rising_edges, 8);
}

TEST(VirtualFt2232, ReadsTakeTheUsbRoundTrip)
{
    ft2232_config c;
    c.usb_latency_us = 3000;
    rig r(c);
    r.program_mode();
    // the round trip runs from the write that asked for the answer
    auto t = std::chrono::steady_clock::now();
    r.send({0x31, 0x03, 0x00, 1, 2, 3, 4, 0x87});
    EXPECT_EQ(r.ft->bytes_ready(), 0u);
    EXPECT_EQ(r.receive(4).size(), 4u);
    EXPECT_GE(ms_since(t), 2.9);
    EXPECT_EQ(r.ft->usb_round_trips(), 1u);

    // without 0x87 the answer waits for the latency timer as well
    r.ft->set_latency_timer(10);
    t = std::chrono::steady_clock::now();
    r.send({0x31, 0x00, 0x00, 5});
    EXPECT_EQ(r.receive(1), bytes{4});
    EXPECT_GE(ms_since(t), 12.5);
    EXPECT_EQ(r.ft->usb_round_trips(), 2u);

    // slow clock: the bit time adds to the latency
    r.send({0x86, 0xE7, 0x03});  // divisor 999: 6 kHz, 8 bits = 1.33 ms
    t = std::chrono::steady_clock::now();
    r.send({0x31, 0x00, 0x00, 6, 0x87});
    EXPECT_EQ(r.receive(1), bytes{5});
    EXPECT_GE(ms_since(t), 4.2);
}

uint64_t now_ns()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Time of the n-th falling SCK edge (from 1) the chip saw from event 'first' on.
uint64_t falling_edge(const stand_in_chip &chip, size_t first, size_t n)
{
    for (size_t i = first; i < chip.events.size(); i++)
        if (!chip.events[i].in.sck && chip.events[i - 1].in.sck && --n == 0)
            return chip.events[i].t_ns;
    return UINT64_MAX;
}

bytes out_block(size_t n, uint8_t value)
{
    bytes block(3 + n, value);
    block[0] = 0x11;
    block[1] = static_cast<uint8_t>((n - 1) & 0xFF);
    block[2] = static_cast<uint8_t>((n - 1) >> 8);
    return block;
}

// Lets the engine's queued clocking pass, so that the next rig starts at the host's time.
void drain(const rig &r)
{
    uint64_t now = now_ns();
    if (r.ft->timeline_ns() > now)
        std::this_thread::sleep_for(std::chrono::nanoseconds(r.ft->timeline_ns() - now + 1000000));
}

// A USB write ends when what the engine has not taken yet fits into the chip's receive
// buffer: 384 bytes on the FT2232C/D, 4 KiB per channel on the FT2232H, 1 KiB on the FT232H.
// (Upper bounds leave room for a slow, instrumented build simulating the clocking.)
TEST(VirtualFt2232, WritesWaitForRoomInTheChipBuffer)
{
    struct buffer_case {
        uint32_t type;
        uint32_t buffer;
        size_t data;
    };
    const uint64_t byte_ns = 400000;  // 20 kHz SCK
    for (buffer_case k : {buffer_case{ftdi_type_2232c, 384, 400}, buffer_case{ftdi_type_2232h, 4096, 1050},
                          buffer_case{ftdi_type_232h, 1024, 1050}}) {
        SCOPED_TRACE(k.type);
        EXPECT_EQ(ftdi_rx_buffer_bytes(k.type), k.buffer);
        ft2232_config c = rig::fast();
        c.device_type = k.type;
        rig r(c);
        r.send({0x80, 0x00, 0x0B, 0x86, 0x2B, 0x01});  // RESET low, divisor 299
        size_t first = r.chip->events.size();
        bytes block = out_block(k.data, 0x55);
        uint64_t t = now_ns();
        r.send(block);
        uint64_t took = now_ns() - t;
        uint64_t sent = 6 + block.size();
        if (sent > k.buffer) {
            // back once the engine has shifted all but the buffer's worth ...
            EXPECT_GE(now_ns(), falling_edge(*r.chip, first, 8 * (sent - k.buffer - 6 - 3)));
        }
        // ... and long before it has shifted everything
        EXPECT_LE(took, k.data * byte_ns * 6 / 10);
        drain(r);
    }
    // bytes still waiting from an earlier write count too
    ft2232_config c = rig::fast();
    rig r(c);
    r.send({0x80, 0x00, 0x0B, 0x86, 0x2B, 0x01});
    size_t first = r.chip->events.size();
    bytes block = out_block(300, 0xAA);
    uint64_t t = now_ns();
    r.send(block);
    EXPECT_LE(now_ns() - t, 300 * byte_ns / 2);
    r.send(block);  // 612 bytes sent, 384 fit: the first 219 bytes of data must be shifted
    EXPECT_GE(now_ns(), falling_edge(*r.chip, first, 8 * 219));
    EXPECT_LE(now_ns() - t, 400 * byte_ns);
    EXPECT_EQ(r.chip->received.size(), 600u);
    drain(r);
}

TEST(VirtualFt2232, TimelineNeverRunsBehindRealTime)
{
    rig r;
    r.program_mode();
    r.send({0x86, 0xE7, 0x03});
    r.send({0x11, 0x00, 0x00, 0x55});  // 1.33 ms of clocking queued ahead of real time
    uint64_t queued_end = r.ft->timeline_ns();
    r.send({0x11, 0x00, 0x00, 0x66});
    size_t first_of_second = r.chip->events.size() - 17;
    EXPECT_GE(r.chip->events[first_of_second].t_ns, queued_end);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    auto wall = std::chrono::steady_clock::now();
    uint64_t wall_ns = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(wall.time_since_epoch()).count());
    size_t n = r.chip->events.size();
    r.send({0x11, 0x00, 0x00, 0x77});
    EXPECT_GE(r.chip->events[n].t_ns, wall_ns);
    EXPECT_FALSE(r.chip->time_went_back);
    EXPECT_EQ(r.chip->received, (bytes{0x55, 0x66, 0x77}));
}

TEST(VirtualFt2232, ReadTimeOutAndPurge)
{
    rig r;
    r.program_mode();
    r.send({0x31, 0x00, 0x00, 0x11, 0x87});
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(r.receive(3, 30).size(), 1u);  // only one byte will ever come
    EXPECT_GE(ms_since(t), 29.0);
    r.send({0x31, 0x00, 0x00, 0x22, 0x87});
    r.ft->purge(1);
    EXPECT_EQ(r.receive(1, 5).size(), 0u);
    r.send({0x31, 0x00});
    r.ft->purge(2);  // the half-sent command is dropped
    r.send({0x87});
    EXPECT_EQ(r.receive(1, 5).size(), 0u);
}

TEST(VirtualFt2232, UsbFaults)
{
    ft2232_config c = rig::fast();
    c.short_read_at = 2;
    rig r(c);
    r.program_mode();
    for (int i = 1; i <= 3; i++) {
        uint8_t b = static_cast<uint8_t>(0x10 * i);
        r.send({0x31, 0x01, 0x00, b, static_cast<uint8_t>(b + 1), 0x87});
        bytes got = r.receive(2);
        if (i == 2) {
            EXPECT_EQ(got, bytes{0x11});  // the second read loses its last byte
        } else {
            ASSERT_EQ(got.size(), 2u);
            EXPECT_EQ(got[1], b);  // and the stream stays aligned afterwards
        }
    }

    ft2232_config w = rig::fast();
    w.write_error_at = 2;
    rig e(w);
    uint8_t cmd[] = {0x80, 0x00, 0x0B};
    EXPECT_TRUE(e.ft->write(cmd, 3));
    uint8_t data[] = {0x11, 0x00, 0x00, 0x42};
    EXPECT_FALSE(e.ft->write(data, 4));
    EXPECT_TRUE(e.chip->received.empty());
    EXPECT_TRUE(e.ft->write(data, 4));
    EXPECT_EQ(e.chip->received, bytes{0x42});
}

TEST(VirtualFt2232, TraceHasOneLinePerCommand)
{
    std::string path = std::string(MORVIN_BUILD_DIR) + "/vports_trace_test.txt";
    std::remove(path.c_str());
    ft2232_config c = rig::fast();
    c.trace_path = path;
    {
        rig r(c);
        r.send({0x86, 0x1F, 0x00, 0x87, 0x80, 0x08, 0x0B, 0x31, 0x00, 0x00, 0xAC, 0x87, 0xAB});
    }
    std::ifstream f(path);
    std::vector<std::string> lines;
    for (std::string l; std::getline(f, l);)
        lines.push_back(l);
    EXPECT_EQ(lines, (std::vector<std::string>{"usb bitmode 00 02", "mpsse 86 1F 00", "mpsse 87", "mpsse 80 08 0B",
                                               "mpsse 31 00 00 AC", "mpsse 87", "mpsse AB (unknown)"}));
    std::remove(path.c_str());
}

TEST(VirtualFt2232, DevicesFromEnvironment)
{
    {
        e2e::scoped_env env({{"VT_FTDI_DEVICES", "4/Dual RS232 A/FT1A;5/Other/XYZ/opened"},
                             {"VT_USB_LATENCY_US", "250"},
                             {"VT_FTDI_RESET", "acbus1"},
                             {"VT_FAULT", "lose_step=3,usb_short_read=4,usb_write_error"}});
        std::vector<ft2232_config> d = ft2232_devices_from_env();
        ASSERT_EQ(d.size(), 2u);
        EXPECT_EQ(d[0].device_type, 4u);
        EXPECT_EQ(d[0].description, "Dual RS232 A");
        EXPECT_EQ(d[0].serial_number, "FT1A");
        EXPECT_FALSE(d[0].opened_elsewhere);
        EXPECT_EQ(d[1].device_type, 5u);
        EXPECT_TRUE(d[1].opened_elsewhere);
        for (const ft2232_config &c : d) {
            EXPECT_EQ(c.usb_latency_us, 250u);
            EXPECT_EQ(c.reset_pin, 9);
            EXPECT_EQ(c.short_read_at, 4u);
            EXPECT_EQ(c.write_error_at, 1u);
        }
        e2e::expect_each_refused("VT_FTDI_DEVICES",
                                 {"4/only two", "x/d/s", "4/d/s/closed", "4/d/serial-number-too-long"},
                                 ft2232_devices_from_env);
        e2e::expect_each_refused({{{"VT_FTDI_DEVICES", "4/d/s"}, {"VT_FTDI_RESET", "adbus8"}}},
                                 ft2232_devices_from_env);
    }
    e2e::scoped_env none({{"VT_FTDI_DEVICES", nullptr},
                          {"VT_USB_LATENCY_US", nullptr},
                          {"VT_FTDI_RESET", nullptr},
                          {"VT_FAULT", nullptr}});
    std::vector<ft2232_config> d = ft2232_devices_from_env();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].description, "Dual RS232 A");
    EXPECT_EQ(d[0].reset_pin, 3);
    EXPECT_EQ(d[0].usb_latency_us, 1000u);
}

// Whole chips in VT_FTDI_DEVICES: one channel per interface with the factory strings as
// D2XX lists them, USB IDs, states, the settings an earlier program left, and the
// high-speed chips' shorter USB round trip.
TEST(VirtualFt2232, WholeChipsFromEnvironment)
{
    e2e::scoped_env env({{"VT_FTDI_DEVICES", "FT4232H/FT7X/opened=C/sio=d;ft232h;FT2232D/VT9;FT232R/R1/denied;"
                                             "FT230X/X1/id=1209:abcd;FT2232H/H1/description=Board JTAG"},
                         {"VT_FTDI_LEFT", "adaptive,three_phase,no_divide_by_5"},
                         {"VT_USB_LATENCY_US", nullptr}});
    std::vector<ft2232_config> d = ft2232_devices_from_env();
    struct expected {
        uint32_t type;
        const char *description, *serial, *usb_product;
        uint16_t pid;
        size_t usb_device;
        int channel;
        uint32_t latency_us;
    };
    const expected want[] = {
        {ftdi_type_4232h, "Quad RS232-HS A", "FT7XA", "Quad RS232-HS", 0x6011, 0, 0, 125},
        {ftdi_type_4232h, "Quad RS232-HS B", "FT7XB", "Quad RS232-HS", 0x6011, 0, 1, 125},
        {ftdi_type_4232h, "Quad RS232-HS C", "FT7XC", "Quad RS232-HS", 0x6011, 0, 2, 125},
        {ftdi_type_4232h, "Quad RS232-HS D", "FT7XD", "Quad RS232-HS", 0x6011, 0, 3, 125},
        {ftdi_type_232h, "Single RS232-HS", "VT000002", "Single RS232-HS", 0x6014, 1, 0, 125},
        {ftdi_type_2232c, "Dual RS232 A", "VT9A", "Dual RS232", 0x6010, 2, 0, 1000},
        {ftdi_type_2232c, "Dual RS232 B", "VT9B", "Dual RS232", 0x6010, 2, 1, 1000},
        {ftdi_type_232r, "FT232R USB UART", "R1", "FT232R USB UART", 0x6001, 3, 0, 1000},
        {ftdi_type_x_series, "FT230X Basic UART", "X1", "FT230X Basic UART", 0xABCD, 4, 0, 1000},
        {ftdi_type_2232h, "Board JTAG A", "H1A", "Board JTAG", 0x6010, 5, 0, 125},
        {ftdi_type_2232h, "Board JTAG B", "H1B", "Board JTAG", 0x6010, 5, 1, 125},
    };
    ASSERT_EQ(d.size(), sizeof want / sizeof want[0]);
    for (size_t i = 0; i < d.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(d[i].device_type, want[i].type);
        EXPECT_EQ(d[i].description, want[i].description);
        EXPECT_EQ(d[i].serial_number, want[i].serial);
        EXPECT_EQ(d[i].usb_product, want[i].usb_product);
        EXPECT_EQ(d[i].product_id, want[i].pid);
        EXPECT_EQ(d[i].vendor_id, i == 8 ? 0x1209 : 0x0403);
        EXPECT_EQ(d[i].usb_device, want[i].usb_device);
        EXPECT_EQ(d[i].channel, want[i].channel);
        EXPECT_EQ(d[i].usb_latency_us, want[i].latency_us);
        EXPECT_EQ(d[i].opened_elsewhere, i == 2);
        EXPECT_EQ(d[i].kernel_driver, i == 3);
        EXPECT_EQ(d[i].access_denied, i == 7);
        EXPECT_TRUE(d[i].adaptive_clocking && d[i].three_phase && !d[i].divide_by_5);
    }
    env.set("VT_USB_LATENCY_US", "300");
    env.set("VT_FTDI_DEVICES", "FT232H;6/Dual RS232-HS B/X1B/sio");
    env.set("VT_FTDI_LEFT", nullptr);
    d = ft2232_devices_from_env();
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].usb_latency_us, 300u);
    EXPECT_FALSE(d[0].adaptive_clocking);
    EXPECT_EQ(d[1].channel, 1);  // a channel listed on its own is named by its letter
    EXPECT_EQ(d[1].channels, 1);
    EXPECT_TRUE(d[1].kernel_driver);
    EXPECT_EQ(d[1].usb_device, 1u);
    e2e::expect_each_refused("VT_FTDI_DEVICES",
                             {"FT4232H/S/opened=E", "FT232H/S/id=1234", "FT232H/S/speed=1", "4/d/s/description=x"},
                             ft2232_devices_from_env);
    e2e::expect_each_refused({{{"VT_FTDI_DEVICES", "FT232H"}, {"VT_FTDI_LEFT", "adaptive,slow"}}},
                             ft2232_devices_from_env);
}

// The shipped udev rules grant access to every chip with an MPSSE engine, and to nothing
// the rules do not name on purpose.
TEST(VirtualFt2232, UdevRulesGrantEveryMpsseChip)
{
    std::ifstream rules(std::string(MORVIN_SOURCE_DIR) + "/packaging/udev/60-morvin.rules");
    ASSERT_TRUE(rules.good());
    std::vector<std::string> granted;
    for (std::string line; std::getline(rules, line);) {
        size_t at = line.find("ATTR{idProduct}==\"");
        if (line.empty() || line[0] == '#' || at == std::string::npos)
            continue;
        SCOPED_TRACE(line);
        EXPECT_NE(line.find("ATTR{idVendor}==\"0403\""), std::string::npos);
        EXPECT_NE(line.find("MODE=\"0660\""), std::string::npos);
        EXPECT_NE(line.find("GROUP=\"plugdev\""), std::string::npos);
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos);
        granted.push_back(line.substr(at + 18, 4));
    }
    std::vector<std::string> mpsse;
    for (uint32_t type = 0; type <= ftdi_type_x_series; type++) {
        if (!ftdi_has_mpsse(type, 0))
            continue;
        char pid[8];
        std::snprintf(pid, sizeof pid, "%04x", ftdi_default_product_id(type));
        if (std::find(mpsse.begin(), mpsse.end(), pid) == mpsse.end())
            mpsse.push_back(pid);
    }
    std::sort(granted.begin(), granted.end());
    std::sort(mpsse.begin(), mpsse.end());
    EXPECT_EQ(granted, mpsse);
    EXPECT_EQ(mpsse, (std::vector<std::string>{"6010", "6011", "6014"}));
}
