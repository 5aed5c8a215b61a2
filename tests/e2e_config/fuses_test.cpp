// Fuses over whole runs: by field and by byte, verification, changes that need
// an erase, calibration bytes and the fuse list of a chip.
#include "e2e_config/config_support.h"

#include <cstdio>

using cfg::find_in_order;
using cfg::has_line;

namespace {

// The chip's factory state, made by a first run that only connects.
unsigned factory_low(e2e::virtual_target &chip, const std::string &name)
{
    auto run = chip.morvin({"+" + name, "-o16MHz"});
    EXPECT_EQ(run.status, 0) << run.out;
    cfg::chip_state state = cfg::read_state(chip);
    EXPECT_TRUE(state.valid);
    return state.fuses[0];
}

std::string hex2(unsigned v)
{
    char text[8];
    snprintf(text, sizeof text, "%02X", v);
    return text;
}

// tiny13: low byte EESAVE bit 6, WDTON 5, CKDIV 4, SUT 3..2, CKSEL 1..0;
// high byte BODLEVEL 2..1 among others.
TEST(fuses, fields_and_whole_bytes_are_written_verified_and_shown)
{
    e2e::virtual_target chip("tiny13", cfg::clocked(16000));
    unsigned low_before = factory_low(chip, "tiny13");
    auto run = chip.morvin({"+tiny13", "-o16MHz", "-w", "-v", "-fCKSEL=1,EESAVE=ON,_HIGH=F9"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(find_in_order(run.out, {"Fuses \n", "  OSCCAL", "_LOW = 0x" + hex2(low_before) + "\n",
                                      "Programming fuses\n", "New fuses value\n", "  EESAVE    \t= 0\n",
                                      "  CKSEL     \t= 1\n", "_HIGH = 0xF9\n", "  BODLEVEL  \t= 0\n",
                                      "Verifying fuses\n", "passed\n", "Total time "}),
              std::string::npos)
        << run.out;
    cfg::chip_state state = cfg::read_state(chip);
    EXPECT_EQ(state.fuses[0] & 0x03, 0x01u);
    EXPECT_EQ(state.fuses[0] & 0x40, 0x00u);
    EXPECT_EQ(state.fuses[0] & 0x3C, low_before & 0x3C) << "fields not named keep the chip's values";
    EXPECT_EQ(state.fuses[1], 0xF9u);
    EXPECT_EQ(state.flash.size(), 0u) << "a fuse run leaves the flash alone";

    // OFF is 1; the alias names the same field
    run = chip.morvin({"+tiny13", "-o16MHz", "-w", "-v", "-feesv=off"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(find_in_order(run.out, {"New fuses value\n", "  EESAVE    \t= 1\n", "  CKSEL     \t= 1\n"}),
              std::string::npos)
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).fuses[0] & 0x41, 0x41u);
}

TEST(fuses, a_verification_against_other_values_fails_with_each_field)
{
    e2e::virtual_target chip("tiny13", cfg::clocked(16000));
    unsigned low = factory_low(chip, "tiny13");
    unsigned cksel = low & 3, sut = (low >> 2) & 3;
    unsigned want_cksel = cksel ^ 1, want_sut = sut ^ 2;
    auto run = chip.morvin({"+tiny13", "-o16MHz", "-v", "-fCKSEL=" + std::to_string(want_cksel) +
                                                         ",SUT=" + std::to_string(want_sut) + ",WDTON=" +
                                                         std::to_string((low >> 5) & 1)});
    EXPECT_EQ(run.status, 10) << run.out;
    std::string sut_line = "  SUT     : expected " + std::to_string(want_sut) + ", read " + std::to_string(sut) + "\n";
    std::string cksel_line =
        "  CKSEL   : expected " + std::to_string(want_cksel) + ", read " + std::to_string(cksel) + "\n";
    EXPECT_NE(find_in_order(run.out, {"Verifying fuses\n", sut_line, cksel_line, "Verifying of fuses failed\n",
                                      "\nReset pin released\n"}),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("  WDTON   :"), std::string::npos) << "a matching field is not reported";
    EXPECT_EQ(run.out.find("Programming fuses"), std::string::npos) << "verify only";
    EXPECT_EQ(cfg::read_state(chip).fuses[0], low);
}

// mega8 boot lock bits sit in the lock byte: only an erase takes them back to 1.
TEST(fuses, a_change_that_needs_an_erase_is_refused_without_one)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-v", "-fBLB0=0"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(find_in_order(run.out, {"New fuses value\n", "_LOCK = 0xF3\n", "  BLB0      \t= 0\n", "passed\n"}),
              std::string::npos)
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).lock, 0xF3u);

    run = chip.morvin({"+mega8", "-o16MHz", "-w", "-fBLB0=3,SUT=0"});
    EXPECT_EQ(run.status, 10);
    EXPECT_NE(find_in_order(run.out, {"Fuses \n", "_LOCK = 0xF3\n", "Can't write all requested fuses, need to erase chip\n",
                                      "\nReset pin released\n"}),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("Programming fuses"), std::string::npos);
    cfg::chip_state state = cfg::read_state(chip);
    EXPECT_EQ(state.lock, 0xF3u);
    EXPECT_EQ((state.fuses[0] >> 4) & 3, 2u) << "SUT untouched";

    // a change towards 0 needs no erase
    run = chip.morvin({"+mega8", "-o16MHz", "-w", "-fBLB1=2"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(cfg::read_state(chip).lock, 0xE3u);

    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", "-fBLB0=3,SUT=0"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(find_in_order(run.out, {"Device erased\n", "Fuses \n", "_LOCK = 0xFF\n", "Programming fuses\n",
                                      "New fuses value\n", "  SUT       \t= 0\n", "Verifying fuses\n", "passed\n"}),
              std::string::npos)
        << run.out;
    state = cfg::read_state(chip);
    EXPECT_EQ(state.lock, 0xFFu);
    EXPECT_EQ((state.fuses[0] >> 4) & 3, 0u);
}

TEST(fuses, calibration_bytes_are_printed_as_the_chip_answers_them)
{
    for (std::string name : {"mega8", "tiny13", "mega328P"}) {
        e2e::virtual_target chip(name, cfg::clocked(16000));
        auto run = chip.morvin({"+" + name, "-o16MHz"});
        ASSERT_EQ(run.status, 0) << run.out;
        std::vector<uint8_t> calibration = cfg::calibration_from_trace(chip);
        ASSERT_FALSE(calibration.empty()) << name;
        std::string line = calibration.size() == 1 ? "  OSCCAL \t=" : "  OSCCALs\t=";
        for (uint8_t b : calibration)
            line += " " + hex2(b);
        EXPECT_NE(find_in_order(run.out, {"Fuses \n", line + "\n", "_LOW = 0x"}), std::string::npos)
            << name << ": " << line << "\n" << run.out;
    }
    // without calibration bytes there is no such line
    e2e::virtual_target classic("90S2333", cfg::clocked(8000));
    auto run = classic.morvin({"+90S2333", "-o8MHz"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(cfg::calibration_from_trace(classic).empty());
    EXPECT_NE(find_in_order(run.out, {"Fuses \n_LOW = 0x"}), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("OSCCAL"), std::string::npos);
}

TEST(fuses, the_fuse_list_of_a_chip_needs_no_chip)
{
    e2e::virtual_target chip("tiny13", {{"VT_FAULT", "absent"}});
    auto run = chip.morvin({"+tiny13", "-?"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(find_in_order(run.out, {"\ntiny13|tiny13A signature 1E9007\n", "Fuse list\n",
                                      "  fuse programmed state is 0\n",
                                      "  use ON or OFF aliases for 1-bit fuses if you not shure\n",
                                      "\n_LOW fuse byte:\n", "  EESAVE     = 0 or  1 - ", "   (EESV)\n",
                                      "  CKSEL      = 0 to  3 - ", "\n_HIGH fuse byte:\n",
                                      "  BODLEVEL   = 0 to  3 - ", "   (BLEV)\n"}),
              std::string::npos)
        << run.out;
    EXPECT_EQ(run.out.find("_LOCK fuse byte"), std::string::npos);
    EXPECT_EQ(run.out.find("Device connected"), std::string::npos);
    EXPECT_EQ(run.out.find("Reset pin released"), std::string::npos);

    run = chip.morvin({"+90S8515", "-?"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(find_in_order(run.out, {"\n90S8515 signature 1E9301\n", "  has no ISP-writable fuses\n"}),
              std::string::npos)
        << run.out;
}

// 90S2333: one classic fuse byte, new values read back after a power cycle.
TEST(fuses, classic_fuse_bits_are_written_in_one_command)
{
    e2e::virtual_target chip("90S2333", cfg::clocked(8000));
    auto run = chip.morvin({"+90S2333", "-o8MHz", "-w", "-fBODEN=0,CKSEL=2"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(find_in_order(run.out, {"Fuses \n_LOW = 0x", "Programming fuses\n", "New fuses value\n"}),
              std::string::npos)
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).fuses[0] & 0x1F, 0x12u) << "BODLEVEL 1, BODEN 0, CKSEL 2";
    run = chip.morvin({"+90S2333", "-o8MHz", "-v", "-fBODEN=0,CKSEL=2"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(find_in_order(run.out, {"  BODEN     \t= 0\n", "  CKSEL     \t= 2\n", "Verifying fuses\n", "passed\n"}),
              std::string::npos)
        << run.out;
}

}  // namespace
