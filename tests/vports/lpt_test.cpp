// The virtual parallel port: registers and their inversions, the cables' wiring, buffer
// enables, detection loop-backs, port power, write cycles, and SPI through every cable.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <vector>

#include "stand_in_chip.h"
#include "support/scoped_env.h"
#include "vtarget/virtual_lpt.h"

using namespace vt;

namespace {

struct rig {
    std::shared_ptr<stand_in_chip> chip = std::make_shared<stand_in_chip>();
    std::unique_ptr<virtual_lpt> port;
    explicit rig(cable_kind kind, bool bidir = true, bool power = false, uint32_t cycle = 0)
    {
        lpt_config c;
        c.cable = kind;
        c.bidirectional = bidir;
        c.power_from_port = power;
        c.write_cycle_ns = cycle;
        port = make_virtual_lpt(c, chip);
    }
    explicit rig(const std::string &wiring)
    {
        lpt_config c;
        c.cable = cable_kind::custom;
        c.wiring = wiring;
        port = make_virtual_lpt(c, chip);
    }
};

enum bb_result { bb_none, bb_plain, bb_mv, bb_ii };
enum stk_result { stk_none = 0, stk_200 = 1, stk_300 = 2, stk_both = 3 };

// What a driver learns from the ByteBlaster detection patterns.
bb_result detect_byteblaster(virtual_lpt &p)
{
    p.write_reg(2, static_cast<uint8_t>(p.read_reg(2) & ~0x02));
    p.write_reg(0, 0xFF);
    uint8_t s = p.read_reg(1);
    if (s & 0x40) {
        p.write_reg(0, 0xEF);
        uint8_t s2 = p.read_reg(1);
        if (!(s2 & 0x48))
            return bb_ii;
    }
    p.write_reg(0, 0x5F);
    uint8_t s1 = p.read_reg(1);
    p.write_reg(0, 0xFF);
    uint8_t s2 = p.read_reg(1);
    if (!(s1 & 0x60) && (s2 & 0x60) == 0x60)
        return (s1 & 0x08) ? bb_mv : bb_plain;
    return bb_none;
}

// ... and from the STK200/STK300 patterns.
int detect_stk(virtual_lpt &p)
{
    p.write_reg(2, static_cast<uint8_t>(p.read_reg(2) & ~0x02));
    p.write_reg(0, 0x0D);
    uint8_t s1 = p.read_reg(1);
    int found = (s1 & 0x20) ? stk_both : stk_300;
    if (!(s1 & 0x80))
        found &= ~stk_300;
    p.write_reg(0, 0x0E);
    uint8_t s2 = p.read_reg(1);
    if (s2 & 0x20)
        found &= ~stk_200;
    if (s2 & 0x80)
        found &= ~stk_300;
    return found;
}

// How a test driver reaches the chip through one cable.
struct cable_pins {
    cable_kind kind;
    uint8_t mosi, sck, reset;
    int miso_bit;
    bool miso_inverted;  // BUSY reads inverted
    uint8_t data_enable; // data lines that enable the buffer
    uint8_t control;     // control register value that enables the buffer
};

const cable_pins cables[] = {
    {cable_kind::fbprg, 0x20, 0x40, 0x10, 6, false, 0x00, 0x00},
    {cable_kind::byteblaster, 0x40, 0x01, 0x02, 7, true, 0x00, 0x02},
    {cable_kind::byteblaster_mv, 0x40, 0x01, 0x02, 7, true, 0x00, 0x02},
    {cable_kind::byteblaster_ii, 0x40, 0x01, 0x02, 7, true, 0xB0, 0x04},
    {cable_kind::stk200, 0x20, 0x10, 0x80, 6, false, 0x00, 0x00},
    {cable_kind::stk300, 0x20, 0x10, 0x80, 6, false, 0x00, 0x00},
    {cable_kind::xilinx, 0x01, 0x02, 0x04, 4, false, 0x10, 0x00},
};

// Bit-banged SPI byte: MOSI set with SCK low, SCK high, MISO read, SCK low.
uint8_t bang_byte(virtual_lpt &p, const cable_pins &c, uint8_t out)
{
    uint8_t in = 0;
    for (int i = 7; i >= 0; i--) {
        uint8_t d = static_cast<uint8_t>(c.data_enable | (((out >> i) & 1) ? c.mosi : 0));
        p.write_reg(0, d);
        p.write_reg(0, static_cast<uint8_t>(d | c.sck));
        bool bit = ((p.read_reg(1) >> c.miso_bit) & 1) != 0;
        in = static_cast<uint8_t>((in << 1) | (bit != c.miso_inverted ? 1 : 0));
        p.write_reg(0, d);
    }
    return in;
}

}  // namespace

TEST(VirtualLpt, DetectionReadsOfEveryCable)
{
    struct expect {
        cable_kind kind;
        bb_result bb;
        int stk;
    };
    const expect table[] = {
        {cable_kind::none, bb_none, stk_none},          {cable_kind::fbprg, bb_none, stk_none},
        {cable_kind::byteblaster, bb_plain, stk_none},  {cable_kind::byteblaster_mv, bb_mv, stk_none},
        {cable_kind::byteblaster_ii, bb_ii, stk_none},  {cable_kind::stk200, bb_none, stk_200},
        {cable_kind::stk300, bb_none, stk_300},         {cable_kind::xilinx, bb_none, stk_none},
    };
    for (const expect &e : table) {
        SCOPED_TRACE(cable_kind_name(e.kind));
        rig a(e.kind);
        EXPECT_EQ(detect_byteblaster(*a.port), e.bb);
        rig b(e.kind);
        EXPECT_EQ(detect_stk(*b.port), e.stk);
        // the STK patterns first, then the ByteBlaster ones, on the same port (auto detection)
        rig c(e.kind);
        EXPECT_EQ(detect_stk(*c.port), e.stk);
        EXPECT_EQ(detect_byteblaster(*c.port), e.bb);
    }
}

TEST(VirtualLpt, NothingAttachedReadsPulledUpLines)
{
    rig r(cable_kind::none);
    // ERROR, ONLINE, PE, ACK high; BUSY high reads as 0
    EXPECT_EQ(r.port->read_reg(1) & 0xF8, 0x78);
    r.port->write_reg(0, 0x00);
    EXPECT_EQ(r.port->read_reg(1) & 0xF8, 0x78);
    EXPECT_TRUE(r.chip->events.empty());
}

TEST(VirtualLpt, StatusAndControlLineInversions)
{
    // MISO on ACK reads straight, on BUSY inverted
    rig ack(cable_kind::fbprg);
    ack.port->write_reg(0, 0x10);  // RESET released: MISO pulled high
    EXPECT_TRUE(ack.port->read_reg(1) & 0x40);
    ack.port->write_reg(0, 0x00);  // programming mode, the stand-in drives MISO low
    EXPECT_FALSE(ack.port->read_reg(1) & 0x40);
    rig busy(cable_kind::byteblaster);
    EXPECT_FALSE(busy.port->read_reg(1) & 0x80);
    busy.port->write_reg(2, 0x02);
    busy.port->write_reg(0, 0x00);
    ASSERT_TRUE(busy.chip->in_programming());
    EXPECT_TRUE(busy.port->read_reg(1) & 0x80);

    // STROBE, ALF and SELECT drive their lines inverted, INIT straight
    rig r("mosi=STROBE,sck=ALF,reset=INIT,xtal=SELECT,miso=ACK");
    r.port->write_reg(2, 0x00);
    chip_inputs in = r.port->target_pins();
    EXPECT_TRUE(in.mosi);
    EXPECT_TRUE(in.sck);
    EXPECT_FALSE(in.reset);
    EXPECT_TRUE(in.xtal);
    r.port->write_reg(2, 0x0F);
    in = r.port->target_pins();
    EXPECT_FALSE(in.mosi);
    EXPECT_FALSE(in.sck);
    EXPECT_TRUE(in.reset);
    EXPECT_FALSE(in.xtal);
    EXPECT_EQ(r.port->read_reg(2) & 0x3F, 0x0F);

    // a wiring with an inverter between line and pin
    rig inv("mosi=D5,sck=D6,reset=~D4,miso=~ACK");
    inv.port->write_reg(0, 0x10);
    EXPECT_FALSE(inv.port->target_pins().reset);
    inv.port->write_reg(0, 0x00);
    EXPECT_TRUE(inv.port->target_pins().reset);
    EXPECT_FALSE(inv.port->read_reg(1) & 0x40);  // chip out of programming: MISO high, inverted
}

TEST(VirtualLpt, DirectionBitWithAndWithoutSupport)
{
    rig bi(cable_kind::fbprg, true);
    bi.port->write_reg(0, 0x00);  // RESET low: chip held in programming mode
    EXPECT_FALSE(bi.chip->pins().reset);
    bi.port->write_reg(2, 0x20);
    EXPECT_EQ(bi.port->read_reg(2) & 0x20, 0x20);
    EXPECT_EQ(bi.port->read_reg(0), 0xFF);          // lines float, latch not visible
    EXPECT_TRUE(bi.chip->pins().reset);             // undriven RESET is pulled up by the chip
    bi.port->write_reg(2, 0x00);
    EXPECT_EQ(bi.port->read_reg(0), 0x00);
    EXPECT_FALSE(bi.chip->pins().reset);

    rig uni(cable_kind::fbprg, false);
    uni.port->write_reg(0, 0x00);
    uni.port->write_reg(2, 0x20);
    EXPECT_EQ(uni.port->read_reg(2) & 0x20, 0x00);
    EXPECT_EQ(uni.port->read_reg(0), 0x00);
    EXPECT_FALSE(uni.chip->pins().reset);
}

TEST(VirtualLpt, FbprgPowerFromDataLines)
{
    rig r(cable_kind::fbprg, true, true);
    r.port->write_reg(0, 0x87);
    EXPECT_TRUE(r.chip->pins().powered);
    for (uint8_t line : {0x01, 0x02, 0x04, 0x80}) {
        r.port->write_reg(0, static_cast<uint8_t>(0x87 & ~line));
        EXPECT_FALSE(r.chip->pins().powered) << int(line);
    }
    r.port->write_reg(0, 0xFF);
    EXPECT_TRUE(r.chip->pins().powered);
    r.port->write_reg(2, 0x20);  // data lines to high impedance
    EXPECT_FALSE(r.chip->pins().powered);

    rig unpowered_cable(cable_kind::fbprg, true, false);
    unpowered_cable.port->write_reg(0, 0x00);
    EXPECT_TRUE(unpowered_cable.chip->pins().powered);
}

TEST(VirtualLpt, BufferedCablesPassOutputsOnlyWhileEnabled)
{
    for (const cable_pins &c : cables) {
        if (c.kind == cable_kind::fbprg)
            continue;
        SCOPED_TRACE(cable_kind_name(c.kind));
        rig r(c.kind);
        uint8_t active = static_cast<uint8_t>(c.mosi | c.sck);  // RESET line low
        // disabled: the data lines with every enable line inactive
        uint8_t disabled_data = active;
        if (c.kind == cable_kind::stk200 || c.kind == cable_kind::stk300)
            disabled_data |= 0x0C;
        if (c.kind == cable_kind::xilinx)
            disabled_data |= 0x08;
        r.port->write_reg(0, disabled_data);
        if (c.kind == cable_kind::byteblaster_ii)
            r.port->write_reg(2, 0x0B);
        EXPECT_FALSE(r.chip->pins().mosi);
        EXPECT_FALSE(r.chip->pins().sck);
        EXPECT_TRUE(r.chip->pins().reset);
        r.port->write_reg(2, c.control);
        r.port->write_reg(0, static_cast<uint8_t>(active | c.data_enable));
        EXPECT_TRUE(r.chip->pins().mosi);
        EXPECT_TRUE(r.chip->pins().sck);
        EXPECT_FALSE(r.chip->pins().reset);
    }
    // each single ByteBlaster II enable line can block the buffer
    for (uint8_t missing : {0x10, 0x20, 0x80}) {
        rig r(cable_kind::byteblaster_ii);
        r.port->write_reg(2, 0x04);
        r.port->write_reg(0, static_cast<uint8_t>((0xB0 & ~missing) | 0x41));
        EXPECT_FALSE(r.chip->pins().sck) << int(missing);
    }
    for (uint8_t control : {0x01, 0x02, 0x08, 0x00}) {
        rig r(cable_kind::byteblaster_ii);
        r.port->write_reg(2, control);  // one control line wrong (or INIT low)
        r.port->write_reg(0, 0xB1);
        EXPECT_FALSE(r.chip->pins().sck) << int(control);
    }
}

TEST(VirtualLpt, SpiRoundTripThroughEveryCable)
{
    const uint8_t out[] = {0xAC, 0x53, 0x00, 0x5A, 0xFF};
    for (const cable_pins &c : cables) {
        SCOPED_TRACE(cable_kind_name(c.kind));
        rig r(c.kind);
        r.port->write_reg(2, c.control);
        r.port->write_reg(0, c.data_enable);  // RESET low, SCK low
        ASSERT_TRUE(r.chip->in_programming());
        uint8_t prev = 0x00;
        for (uint8_t b : out) {
            EXPECT_EQ(bang_byte(*r.port, c, b), prev);
            prev = b;
        }
        EXPECT_EQ(r.chip->received, std::vector<uint8_t>(std::begin(out), std::end(out)));
    }
}

TEST(VirtualLpt, BlockWritesAreSeparateWriteCycles)
{
    const uint32_t cycle = 20000;
    rig r(cable_kind::fbprg, true, false, cycle);
    uint8_t wave[40];
    for (int i = 0; i < 40; i++)
        wave[i] = static_cast<uint8_t>((i & 1) ? 0x40 : 0x00);  // SCK toggles every write
    uint64_t before = r.port->accesses();
    auto start = std::chrono::steady_clock::now();
    r.port->write_data_block(wave, 40);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::nanoseconds(39 * cycle));
    EXPECT_GE(r.chip->shortest_sck_phase(), cycle);
    EXPECT_EQ(r.chip->rising_edges, 20);
    EXPECT_FALSE(r.chip->time_went_back);
    EXPECT_EQ(r.port->accesses() - before, 40u) << "one access per byte of the block";
    EXPECT_EQ(r.port->read_reg(0), 0x40);
    r.port->write_reg(2, 0x04);
    EXPECT_EQ(r.port->accesses() - before, 42u) << "reads and writes of any register count";
}

TEST(VirtualLpt, WiringErrorsAreRefused)
{
    for (const char *bad : {"mosi=D9", "miso=D5", "mosi=ACK", "frob=D1", "mosi=D5,D6", "power"}) {
        lpt_config c;
        c.cable = cable_kind::custom;
        c.wiring = bad;
        EXPECT_THROW(make_virtual_lpt(c, nullptr), std::invalid_argument) << bad;
    }
    lpt_config c;
    c.cable = cable_kind::custom;
    c.wiring = "mosi=d5:sck=D6:reset=D4:miso=ack:power=D0,D1,D2,D7:enable=~INIT";
    auto chip = std::make_shared<stand_in_chip>();
    auto p = make_virtual_lpt(c, chip);
    p->write_reg(2, 0x00);  // INIT low: enabled
    p->write_reg(0, 0x87 | 0x40);
    EXPECT_TRUE(chip->pins().powered);
    EXPECT_TRUE(chip->pins().sck);
    p->write_reg(2, 0x04);
    EXPECT_FALSE(chip->pins().sck);
}

TEST(VirtualLpt, SettingsFromEnvironment)
{
    {
        e2e::scoped_env env({{"VT_CABLE", "ByteBlaster_II"},
                             {"VT_BIDIR", "0"},
                             {"VT_PORT_CYCLE_NS", "1500"},
                             {"VT_PORT_POWER", "1"}});
        lpt_config c = lpt_config_from_env();
        EXPECT_EQ(c.cable, cable_kind::byteblaster_ii);
        EXPECT_FALSE(c.bidirectional);
        EXPECT_EQ(c.write_cycle_ns, 1500u);
        EXPECT_TRUE(c.power_from_port);
        env.set("VT_CABLE", "mosi=D5,sck=D6,reset=D4,miso=ACK");
        c = lpt_config_from_env();
        EXPECT_EQ(c.cable, cable_kind::custom);
        EXPECT_EQ(c.wiring, "mosi=D5,sck=D6,reset=D4,miso=ACK");
        e2e::expect_each_refused({{{"VT_CABLE", "parallel-thing"}}, {{"VT_CABLE", "fbprg"}, {"VT_BIDIR", "maybe"}}},
                                 lpt_config_from_env);
    }
    e2e::scoped_env none(
        {{"VT_CABLE", nullptr}, {"VT_BIDIR", nullptr}, {"VT_PORT_CYCLE_NS", nullptr}, {"VT_PORT_POWER", nullptr}});
    lpt_config c = lpt_config_from_env();
    EXPECT_EQ(c.cable, cable_kind::fbprg);
    EXPECT_TRUE(c.bidirectional);
    EXPECT_EQ(c.write_cycle_ns, 250u);  // a port cycle of its own by default
}

// Back-to-back accesses are one port cycle apart, however far the host's spin overshoots.
// The cycle is chosen well above what one access costs this host (measured first with no
// cycle), so that a slow or instrumented build tests the same thing as a fast one.
TEST(VirtualLpt, AccessesAreExactlyOneCycleApart)
{
    uint8_t wave[64];
    for (int i = 0; i < 64; i++)
        wave[i] = (uint8_t)(i & 1 ? 0x40 : 0x00);
    auto gaps_of = [&](uint32_t cycle) {
        auto chip = std::make_shared<stand_in_chip>();
        lpt_config config;
        config.write_cycle_ns = cycle;
        auto port = make_virtual_lpt(config, chip);
        chip->events.clear();
        port->write_data_block(wave, 64);
        std::vector<uint64_t> gaps;
        for (size_t i = 1; i < chip->events.size(); i++)
            gaps.push_back(chip->events[i].t_ns - chip->events[i - 1].t_ns);
        return gaps;
    };
    std::vector<uint64_t> host = gaps_of(0);
    ASSERT_GE(host.size(), 60u);
    std::sort(host.begin(), host.end());
    const uint64_t cycle = std::max<uint64_t>(700, 4 * host[host.size() * 9 / 10]);

    std::vector<uint64_t> gaps = gaps_of(static_cast<uint32_t>(cycle));
    ASSERT_GE(gaps.size(), 60u);
    size_t exact = 0;
    for (size_t i = 0; i < gaps.size(); i++) {
        EXPECT_GE(gaps[i], cycle) << "access " << i + 1;
        exact += gaps[i] == cycle;
    }
    // only a host that was preempted longer than a cycle may stretch one
    EXPECT_GE(exact, gaps.size() / 2) << "cycle " << cycle << " ns";
}
