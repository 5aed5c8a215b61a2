// The virtual chip against datasheet behaviour, driven bit by bit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include "spi_driver.h"
#include "support/scoped_env.h"
#include "vtarget/chip_facts.h"

using namespace vttest;

namespace {

spi_driver started(const vt::chip_config &c)
{
    spi_driver d(vt::make_chip(c));
    d.start();
    return d;
}

// Faults as VT_FAULT writes them ("offset=3", "never_sync").
spi_driver started(const char *chip, const std::string &faults)
{
    vt::chip_config c = config(chip);
    vt::parse_chip_faults(faults, c.faults);
    return started(c);
}

// Whether Programming Enable is echoed after a reset pulse with these SCK phases (on a
// fresh driver the pulse is the power-up of start()).
bool syncs_with(spi_driver &d, uint64_t low_ns, uint64_t high_ns)
{
    d.low_ns = low_ns;
    d.high_ns = high_ns;
    d.pulse_reset();
    return d.enable();
}

spi_driver enabled(const char *chip)
{
    spi_driver d = started(config(chip));
    EXPECT_TRUE(d.enable());
    return d;
}

std::string temp_path(const char *tag)
{
    return std::string(::testing::TempDir()) + "vchip_" + tag + "_" + std::to_string(getpid());
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

TEST(ChipSync, InStepEnableEchoesAndUnlocksCommands)
{
    spi_driver d = started(config("mega8"));
    EXPECT_EQ(d.signature(0), 0x00) << "commands before Programming Enable are not answered";
    d.pulse_reset();
    reply r = d.cmd(0xAC, 0x53, 0x00, 0x00);
    EXPECT_EQ(r[1], 0xAC);
    EXPECT_EQ(r[2], 0x53);
    reply s = d.cmd(0x30, 0x00, 0x01, 0x00);
    EXPECT_EQ(s[1], 0x30);
    EXPECT_EQ(s[2], 0x00);
    EXPECT_EQ(s[3], 0x93);
}

TEST(ChipSync, EnableTooSoonAfterResetIsNotAccepted)
{
    spi_driver d(vt::make_chip(config("mega328P")));
    d.in.powered = true;
    d.apply();
    d.in.reset = false;
    d.apply();
    d.wait_ms(5);
    EXPECT_FALSE(d.enable());
    d.pulse_reset();  // waits 21 ms
    EXPECT_TRUE(d.enable());
}

TEST(ChipSync, At90s1200GivesNoEchoButEnters)
{
    spi_driver d = started(config("90S1200"));
    reply r = d.cmd(0xAC, 0x53, 0, 0);
    EXPECT_NE(r[2], 0x53);
    EXPECT_EQ(d.signature(1), 0x90);
    EXPECT_EQ(d.signature(2), 0x01);
}

TEST(ChipSync, LaterChipOutOfStepNeedsResetPulse)
{
    spi_driver d = started("mega8", "offset=3");
    EXPECT_FALSE(d.enable());
    for (int i = 0; i < 32; i++) {
        d.pulse_sck();
        EXPECT_FALSE(d.enable()) << "SCK pulse " << i + 1;
    }
    d.pulse_reset();
    EXPECT_TRUE(d.enable());
    EXPECT_EQ(d.signature(2), 0x07);
}

TEST(ChipSync, At90sOutOfStepSlipsBackBySckPulses)
{
    for (unsigned k : {1u, 5u, 31u}) {
        spi_driver d = started("90S8515", "offset=" + std::to_string(k));
        EXPECT_FALSE(d.enable());
        unsigned pulses = 0;
        while (pulses < 32) {
            d.pulse_sck();
            pulses++;
            if (d.enable())
                break;
        }
        EXPECT_EQ(pulses, 32 - k) << "offset " << k;
        EXPECT_EQ(d.signature(1), 0x93);
    }
}

TEST(ChipSync, At90sOutOfStepAlsoRecoversByReset)
{
    spi_driver d = started("90S2313", "offset=9");
    EXPECT_FALSE(d.enable());
    d.pulse_reset();
    EXPECT_TRUE(d.enable());
}

TEST(ChipSync, NeverSyncAndAbsentChips)
{
    spi_driver d = started("mega16", "never_sync");
    for (int i = 0; i < 4; i++) {
        d.pulse_reset();
        EXPECT_FALSE(d.enable());
    }
    for (bool level : {true, false}) {
        spi_driver e = started("mega16", level ? "absent=1" : "absent=0");
        reply r = e.cmd(0xAC, 0x53, 0, 0);
        uint8_t stuck = level ? 0xFF : 0x00;
        EXPECT_EQ(r, (reply{stuck, stuck, stuck, stuck}));
    }
}

TEST(ChipSync, LosesStepAfterConfiguredCommands)
{
    spi_driver d = started("mega328P", "lose_after=3");
    ASSERT_TRUE(d.enable());                  // 1
    EXPECT_EQ(d.cmd(0x30, 0, 0, 0)[3], 0x1E); // 2
    EXPECT_EQ(d.cmd(0x30, 0, 1, 0)[3], 0x95); // 3: one edge is lost after this one
    // the interface now runs one bit late: no command comes back whole any more
    for (int i = 0; i < 4; i++) {
        reply r = d.cmd(0xA0, 0, 0, 0);
        EXPECT_NE(r[1], 0xA0) << i;
        reply s = d.cmd(0x30, 0, 0, 0);
        EXPECT_FALSE(s[1] == 0x30 && s[3] == 0x1E) << i;
    }
}

TEST(ChipTiming, PhasesShorterThanTwoClocksDesynchronise)
{
    // 8 MHz: 125 ns per clock, 2 clocks needed
    spi_driver d(vt::make_chip(config("mega8")));
    EXPECT_FALSE(syncs_with(d, 200, 200));
    EXPECT_GT(d.chip->counters().missed_edges, 0u);
    EXPECT_TRUE(syncs_with(d, 250, 250));

    // only the high phase too short: still lost
    EXPECT_FALSE(syncs_with(d, 1000, 200));
}

TEST(ChipTiming, ThreeClocksAbove12MHz)
{
    vt::chip_config c = config("mega328P");
    c.clock_khz = 16000;  // 62.5 ns
    spi_driver d(vt::make_chip(c));
    EXPECT_FALSE(syncs_with(d, 150, 150));  // 2.4 clocks
    EXPECT_TRUE(syncs_with(d, 190, 190));   // 3.04 clocks
}

TEST(ChipTiming, At90s1200NeedsLongHighPhase)
{
    vt::chip_config c = config("90S1200");
    c.clock_khz = 1000;  // 1 us
    spi_driver d(vt::make_chip(c));
    // no echo from this chip: the signature tells whether it entered
    syncs_with(d, 2100, 4100);  // > 4 but < 5 clocks
    EXPECT_NE(d.signature(1), 0x90);
    syncs_with(d, 2100, 5100);
    EXPECT_EQ(d.signature(1), 0x90);
}

TEST(ChipTiming, ClockedFromXtalPin)
{
    vt::chip_config c = config("mega8");
    c.clock_khz = 0;
    spi_driver d(vt::make_chip(c));
    d.start();
    EXPECT_FALSE(d.enable()) << "no XTAL edges: SCK is never sampled";
    d.drive_xtal = true;
    d.xtal_per_phase = 1;
    d.pulse_reset();
    EXPECT_FALSE(d.enable()) << "one XTAL cycle per phase is too few";
    d.xtal_per_phase = 2;
    d.pulse_reset();
    EXPECT_TRUE(d.enable());
    EXPECT_EQ(d.signature(2), 0x07);
}

TEST(ChipMemory, PagedFlashWriteWithBusyPeriod)
{
    spi_driver d = enabled("mega328P");
    const vt::chip_facts &f = d.chip->facts();
    for (uint32_t a = 0x80; a < 0x100; a++)
        d.load_flash(a, (uint8_t)(a * 7));
    EXPECT_EQ(d.read_flash(0x80), 0xFF) << "not written before Write Page";
    d.write_page(0x80);
    EXPECT_TRUE(d.poll_busy());
    EXPECT_EQ(d.read_flash(0x85), f.flash_readback[0]) << "busy location reads the busy value";
    // a page written while busy is ignored
    d.load_flash(0x100, 0x11);
    d.write_page(0x100);
    EXPECT_GE(d.chip->counters().ignored_busy, 1u);
    d.wait_ms(f.flash_write_us / 1000.0);
    EXPECT_FALSE(d.poll_busy());
    for (uint32_t a = 0x80; a < 0x100; a++)
        ASSERT_EQ(d.read_flash(a), (uint8_t)(a * 7)) << a;
    EXPECT_EQ(d.read_flash(0x100), 0xFF);
    // the page buffer was cleared by the page write: an empty write changes nothing
    d.write_page(0x80);
    d.wait_ms(5);
    EXPECT_EQ(d.read_flash(0x81), (uint8_t)(0x81 * 7));
}

TEST(ChipMemory, BytewiseFlashIsAndOnlyUntilErased)
{
    spi_driver d = enabled("90S2313");
    d.load_flash(0x10, 0x0F);  // byte-wise chips: Write Program Memory
    EXPECT_EQ(d.read_flash(0x10), 0x7F) << "AT90S2313 data polling value";
    d.wait_ms(9);
    EXPECT_EQ(d.read_flash(0x10), 0x0F);
    d.load_flash(0x10, 0xF0);
    d.wait_ms(9);
    EXPECT_EQ(d.read_flash(0x10), 0x00) << "cells only go from 1 to 0";
    d.erase();
    d.wait_ms(20);
    EXPECT_EQ(d.read_flash(0x10), 0xFF);
    d.load_flash(0x10, 0xF0);
    d.wait_ms(9);
    EXPECT_EQ(d.read_flash(0x10), 0xF0);
}

TEST(ChipMemory, EepromBusyValuesAndWrap)
{
    spi_driver d = enabled("90S2313");
    d.write_eeprom(5, 0x42);
    EXPECT_EQ(d.read_eeprom(5), 0x80) << "first half of the cycle";
    d.wait_ms(5);
    EXPECT_EQ(d.read_eeprom(5), 0x7F) << "second half of the cycle";
    d.wait_ms(5);
    EXPECT_EQ(d.read_eeprom(5), 0x42);
    EXPECT_EQ(d.read_eeprom(5 + 128), 0x42) << "128-byte EEPROM ignores address bit 7";

    spi_driver t = enabled("tiny43u");  // 64 bytes
    t.write_eeprom(0x45, 0x99);
    t.wait_ms(5);
    EXPECT_EQ(t.chip->eeprom(0x05), 0x99);
    EXPECT_EQ(t.read_eeprom(0x05), 0x99);
}

TEST(ChipMemory, ExtendedAddressOnMega2560)
{
    spi_driver d = enabled("mega2560");
    d.cmd(0x4D, 0, 1, 0);
    d.load_flash(0x20000, 0xAB);
    d.load_flash(0x20001, 0xCD);
    d.write_page(0x20000);
    d.wait_ms(5);
    EXPECT_EQ(d.chip->flash(0x20000), 0xAB);
    EXPECT_EQ(d.chip->flash(0x00000), 0xFF);
    EXPECT_EQ(d.read_flash(0x20001), 0xCD);
    d.cmd(0x4D, 0, 0, 0);
    EXPECT_EQ(d.read_flash(0x00001), 0xFF);
    d.chip->set_flash(1, 0x5A);
    EXPECT_EQ(d.read_flash(0x00001), 0x5A);
}

TEST(ChipErase, ErasesFlashEepromAndLockButKeepsFuses)
{
    for (bool eesave : {false, true}) {
        spi_driver d = enabled("mega328P");
        uint8_t high = d.cmd(0x58, 0x08, 0, 0)[3];
        EXPECT_EQ(high, 0xD9) << "factory high fuse";
        if (eesave) {
            d.cmd(0xAC, 0xA8, 0, high & ~0x08);  // EESAVE is bit 3 of the high fuse
            d.wait_ms(5);
        }
        d.chip->set_flash(0x1234, 0x00);
        d.write_eeprom(7, 0x21);
        d.wait_ms(4);
        d.cmd(0xAC, 0xE0, 0, 0xFC);
        d.wait_ms(5);
        d.erase();
        EXPECT_TRUE(d.poll_busy());
        d.wait_ms(9);
        EXPECT_FALSE(d.poll_busy());
        EXPECT_EQ(d.read_flash(0x1234), 0xFF);
        EXPECT_EQ(d.read_eeprom(7), eesave ? 0x21 : 0xFF) << "EESAVE " << eesave;
        EXPECT_EQ(d.cmd(0x58, 0, 0, 0)[3], 0xFF) << "lock bits cleared";
        EXPECT_EQ(d.cmd(0x58, 0x08, 0, 0)[3], eesave ? 0xD1 : 0xD9) << "fuses kept";
    }
}

TEST(ChipLock, LaterChipLockLevels)
{
    spi_driver d = enabled("mega328P");
    d.cmd(0xAC, 0xE0, 0, 0xFE);  // LB1: programming disabled
    d.wait_ms(5);
    EXPECT_EQ(d.cmd(0x58, 0, 0, 0)[3], 0xFE);
    d.load_flash(0, 0x00);
    d.load_flash(1, 0x00);
    d.write_page(0);
    d.write_eeprom(0, 0x00);
    d.cmd(0xAC, 0xA0, 0, 0x00);  // fuses are locked too
    d.wait_ms(10);
    EXPECT_EQ(d.chip->flash(0), 0xFF);
    EXPECT_EQ(d.chip->eeprom(0), 0xFF);
    EXPECT_EQ(d.cmd(0x50, 0, 0, 0)[3], 0x62);
    d.chip->set_flash(2, 0x33);
    EXPECT_EQ(d.read_flash(2), 0x33) << "reading still works at level 1";
    d.cmd(0xAC, 0xE0, 0, 0xFF);  // unprogramming is impossible
    d.wait_ms(5);
    EXPECT_EQ(d.cmd(0x58, 0, 0, 0)[3], 0xFE);
    d.cmd(0xAC, 0xE0, 0, 0xFC);  // level 2: reading disabled too
    d.wait_ms(5);
    EXPECT_EQ(d.read_flash(2), 0xFF);
    EXPECT_EQ(d.signature(1), 0x95) << "signature stays readable";
}

TEST(ChipLock, At90sLockLevels)
{
    spi_driver d = enabled("90S4434");
    EXPECT_EQ(d.cmd(0x58, 0, 0, 0)[3] & 0xC1, 0xC1) << "LB1, LB2, FSTRT unprogrammed";
    d.cmd(0xAC, 0xFD, 0, 0);  // LB1
    d.wait_ms(20);
    EXPECT_EQ(d.cmd(0x58, 0, 0, 0)[3] & 0xC0, 0x40);
    d.cmd(0xAC, 0xBE, 0, 0);  // FSTRT programmed: fuses stay writable when locked
    d.wait_ms(20);
    EXPECT_EQ(d.cmd(0x58, 0, 0, 0)[3] & 0x01, 0x00);
    d.load_flash(0, 0x00);
    d.wait_ms(20);
    EXPECT_EQ(d.chip->flash(0), 0xFF);
    EXPECT_EQ(d.signature(1), 0x92);
    d.cmd(0xAC, 0xF9, 0, 0);  // LB1 and LB2
    d.wait_ms(20);
    EXPECT_EQ(d.cmd(0x58, 0, 0, 0)[3] & 0xC0, 0x00);
    for (uint8_t i = 0; i < 3; i++)
        EXPECT_EQ(d.signature(i), i) << "locked AT90S signature";
}

TEST(ChipFuses, ClassicFusesAndPowerCycle)
{
    // 90S2333: fuse bits in the second byte, effective after a power cycle
    spi_driver d = enabled("90S2333");
    uint8_t before = d.cmd(0x50, 0, 0, 0)[3];
    d.cmd(0xAC, 0xA0 | 0x1E, 0, 0);  // CKSEL0 programmed
    d.wait_ms(20);
    EXPECT_EQ(d.cmd(0x50, 0, 0, 0)[3], before);
    d.power_off();
    d.start();
    ASSERT_TRUE(d.enable());
    EXPECT_EQ(d.cmd(0x50, 0, 0, 0)[3] & 0x1F, 0x1E);

    spi_driver m = enabled("mega103");
    m.cmd(0xAC, 0xB4 | (0x0B & ~0x08), 0, 0);  // EESAVE (bit 3) programmed
    m.wait_ms(10);
    EXPECT_EQ(m.cmd(0x50, 0, 0, 0)[3] & 0x0B, 0x03);
}

TEST(ChipFaults, StuckWriteAndBadBits)
{
    // an EEPROM write, then after ms: still busy with the byte unwritten when stuck
    auto write_shows = [](spi_driver &d, uint32_t a, uint8_t v, double ms, bool stuck) {
        d.write_eeprom(a, v);
        d.wait_ms(ms);
        EXPECT_EQ(d.poll_busy(), stuck) << "address " << a;
        EXPECT_EQ(d.read_eeprom(a), stuck ? 0xFF : v) << "address " << a;
    };
    spi_driver d = started("mega328P", "stuck_write");
    ASSERT_TRUE(d.enable());
    write_shows(d, 1, 0x10, 1000, true);

    // only the writes started after the second command
    spi_driver l = started("mega328P", "stuck_after=2");
    ASSERT_TRUE(l.enable());
    write_shows(l, 1, 0x10, 20, false);
    write_shows(l, 2, 0x20, 1000, true);

    spi_driver e = started("90S8515", "bad_bits=0x20:0x81");
    ASSERT_TRUE(e.enable());
    e.load_flash(0x20, 0x00);
    e.wait_ms(20);
    e.load_flash(0x21, 0x00);
    e.wait_ms(20);
    EXPECT_EQ(e.read_flash(0x20), 0x81);
    EXPECT_EQ(e.read_flash(0x21), 0x00);
}

TEST(ChipConfig, FaultListParsing)
{
    vt::chip_faults f;
    vt::parse_chip_faults("absent=0, offset=3,lose_after=500,stuck_write,bad_bits=16:0x80,"
                          "bad_bits=0x10:1,never_sync,stuck_after=7,interrupt_after=9", f);
    EXPECT_TRUE(f.absent);
    EXPECT_FALSE(f.absent_level);
    EXPECT_EQ(f.offset_bits, 3u);
    EXPECT_EQ(f.lose_after, 500u);
    EXPECT_TRUE(f.stuck_write);
    EXPECT_TRUE(f.never_sync);
    EXPECT_EQ(f.stuck_after, 7u);
    EXPECT_EQ(f.interrupt_after, 9u);
    ASSERT_EQ(f.bad_bits.size(), 2u);
    EXPECT_EQ(f.bad_bits[1].first, 16u);
    EXPECT_EQ(f.bad_bits[1].second, 1);
    for (const char *bad : {"offset=32", "offset=x", "bad_bits=5", "bad_bits=1:256", "frobnicate",
                            "lose_after=-1", "never_sync=2", "stuck_after=", "interrupt_after=x"}) {
        vt::chip_faults g;
        EXPECT_THROW(vt::parse_chip_faults(bad, g), std::invalid_argument) << bad;
    }
}

TEST(ChipConfig, FromEnvironment)
{
    {
        e2e::scoped_env env({{"VT_CHIP", "tiny85"}, {"VT_CLOCK_KHZ", "1000"}, {"VT_FAULT", "offset=2"}});
        vt::chip_config c = vt::chip_config_from_env();
        EXPECT_EQ(c.chip, "tiny85");
        EXPECT_EQ(c.clock_khz, 1000u);
        EXPECT_EQ(c.faults.offset_bits, 2u);
        e2e::expect_each_refused({{{"VT_CHIP", "tiny99"}}, {{"VT_CHIP", nullptr}, {"VT_CLOCK_KHZ", "8MHz"}}},
                                 vt::chip_config_from_env);
    }
    e2e::scoped_env none({{"VT_CHIP", nullptr}, {"VT_CLOCK_KHZ", nullptr}, {"VT_FAULT", nullptr}});
    EXPECT_EQ(vt::chip_config_from_env().chip, "mega328P");
    EXPECT_THROW(vt::make_chip(config("mega9999")), std::invalid_argument);
}

TEST(ChipState, RoundTripThroughStateFile)
{
    std::string path = temp_path("state");
    std::remove(path.c_str());
    vt::chip_config c = config("mega168");
    c.state_file = path;
    {
        spi_driver d = started(c);
        EXPECT_FALSE(slurp(path).empty()) << "created with the factory state on first use";
        ASSERT_TRUE(d.enable());
        d.load_flash(0x3F80, 0xA5);
        d.write_page(0x3F80);
        d.wait_ms(5);
        d.write_eeprom(0x1FF, 0x3C);
        d.wait_ms(4);
        d.cmd(0xAC, 0xA0, 0, 0xE2);
        d.wait_ms(5);
        d.cmd(0xAC, 0xE0, 0, 0xFE);
        d.wait_ms(5);
    }
    {
        spi_driver d = started(c);
        ASSERT_TRUE(d.enable());
        EXPECT_EQ(d.read_flash(0x3F80), 0xA5);
        EXPECT_EQ(d.read_flash(0x3F81), 0xFF);
        EXPECT_EQ(d.read_eeprom(0x1FF), 0x3C);
        EXPECT_EQ(d.cmd(0x50, 0, 0, 0)[3], 0xE2);
        EXPECT_EQ(d.cmd(0x58, 0, 0, 0)[3], 0xFE);
    }
    vt::chip_config other = config("mega8");
    other.state_file = path;
    EXPECT_THROW(vt::make_chip(other), std::runtime_error) << "state of another chip";
    {
        std::ofstream out(path);
        out << "vtarget-chip-state 1\nchip mega168\nflash 3FFF0 0000\nend\n";
    }
    EXPECT_THROW(vt::make_chip(c), std::runtime_error) << "line beyond the flash";
    {
        std::ofstream out(path);
        out << "vtarget-chip-state 1\nchip mega168\nlock FE\n";
    }
    EXPECT_THROW(vt::make_chip(c), std::runtime_error) << "truncated";
    std::remove(path.c_str());
}

TEST(ChipObservability, CountersTraceAndLowerBound)
{
    std::string trace = temp_path("trace"), counters = temp_path("counters");
    std::remove(trace.c_str());
    vt::chip_config c = config("mega8");
    c.trace_file = trace;
    c.counters_file = counters;
    uint64_t busy = 0;
    {
        spi_driver d = started(c);
        ASSERT_TRUE(d.enable());
        d.signature(0);
        d.write_eeprom(3, 1);
        d.write_eeprom(4, 2);  // busy: ignored, not counted as busy time
        d.wait_ms(10);
        const vt::chip_counters &k = d.chip->counters();
        EXPECT_EQ(k.commands, 4u);
        EXPECT_EQ(k.spi_bits, 128u);
        EXPECT_EQ(k.ignored_busy, 1u);
        EXPECT_EQ(k.busy_bits, 32u) << "only the command sent during the write";
        busy = (uint64_t)d.chip->facts().eeprom_write_us * 1000;
        EXPECT_EQ(k.busy_ns, busy);
        EXPECT_EQ(k.sck_period_ns, 2000u);
        EXPECT_EQ(k.lower_bound_ns, 128u * 2000u + busy);
    }
    std::string t = slurp(trace);
    EXPECT_NE(t.find("AC 53 00 00 -> 00 AC 53 00  pgm_enable"), std::string::npos) << t;
    EXPECT_NE(t.find("30 00 00 00 -> 00 30 00 1E  signature_read"), std::string::npos) << t;
    EXPECT_NE(t.find("eeprom_write ignored: busy"), std::string::npos) << t;
    std::string k = slurp(counters);
    EXPECT_NE(k.find("commands=4\n"), std::string::npos) << k;
    EXPECT_NE(k.find("busy_ns=" + std::to_string(busy) + "\n"), std::string::npos) << k;
    EXPECT_NE(k.find("busy_bits=32\n"), std::string::npos) << k;
    std::remove(trace.c_str());
    std::remove(counters.c_str());
}
