// Fuses over whole runs: by field and by byte, verification, changes that need
// an erase, fuse values that lock the chip out, calibration bytes and the fuse
// list of a chip.
#include "e2e_config/config_support.h"

#include <cstdio>

using cfg::in_order;
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
    EXPECT_TRUE(in_order(run.out, {"Fuses \n", "  OSCCAL", "_LOW = 0x" + hex2(low_before) + "\n",
                                   "Programming fuses\n", "New fuses value\n", "  EESAVE    \t= 0\n",
                                   "  CKSEL     \t= 1\n", "_HIGH = 0xF9\n", "  BODLEVEL  \t= 0\n",
                                   "Verifying fuses\n", "passed\n", "Total time "}))
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
    EXPECT_TRUE(in_order(run.out, {"New fuses value\n", "  EESAVE    \t= 1\n", "  CKSEL     \t= 1\n"})) << run.out;
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
    EXPECT_TRUE(in_order(run.out, {"Verifying fuses\n", sut_line, cksel_line, "Verifying of fuses failed\n",
                                   "\nReset pin released\n"}))
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
    EXPECT_TRUE(in_order(run.out, {"New fuses value\n", "_LOCK = 0xF3\n", "  BLB0      \t= 0\n", "passed\n"}))
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).lock, 0xF3u);

    run = chip.morvin({"+mega8", "-o16MHz", "-w", "-fBLB0=3,SUT=0"});
    EXPECT_EQ(run.status, 10);
    EXPECT_TRUE(in_order(run.out, {"Fuses \n", "_LOCK = 0xF3\n", "Can't write all requested fuses, need to erase chip\n",
                                   "\nReset pin released\n"}))
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
    EXPECT_TRUE(in_order(run.out, {"Device erased\n", "Fuses \n", "_LOCK = 0xFF\n", "Programming fuses\n",
                                   "New fuses value\n", "  SUT       \t= 0\n", "Verifying fuses\n", "passed\n"}))
        << run.out;
    state = cfg::read_state(chip);
    EXPECT_EQ(state.lock, 0xFFu);
    EXPECT_EQ((state.fuses[0] >> 4) & 3, 0u);
}

// Fuse values after which the chip no longer enters serial programming: refused
// without -f!, warned and written with it, and then the virtual chip shows what
// that costs on silicon.
TEST(fuses, values_that_lock_the_chip_out_are_refused_unless_meant)
{
    struct lockout_case {
        const char *chip;
        const char *list;
        const char *warning;   // the field, its new value and what it costs
        int byte;              // fuse byte of the state file (0 low, 1 high) and the
        unsigned mask, value;  // bits that change, as written
    };
    const std::string reset_lost = "makes the RESET pin an I/O pin: the chip can't enter serial programming "
                                   "again, only a high-voltage programmer recovers it\n";
    const lockout_case cases[] = {
        {"mega328P", "RSTDISBL=ON", "Warning: RSTDISBL=0 ", 1, 0x80, 0x00},
        {"mega8", "_HIGH=00", "Warning: RSTDISBL=0 ", 1, 0xFF, 0x00},
        {"tiny13", "DWEN=ON,EESAVE=ON", "Warning: DWEN=0 gives the RESET pin to debugWIRE: the chip can't enter "
                                        "serial programming again until a debugWIRE debugger turns it off, or a "
                                        "high-voltage programmer recovers it\n", 1, 0x08, 0x00},
    };
    for (const lockout_case &c : cases) {
        SCOPED_TRACE(std::string(c.chip) + " -f" + c.list);
        e2e::virtual_target chip(c.chip, cfg::clocked(16000));
        std::string warning = c.warning;
        if (warning.back() == ' ')
            warning += reset_lost;

        auto run = chip.morvin({"+" + std::string(c.chip), "-o16MHz", "-w", "-v", std::string("-f") + c.list});
        EXPECT_EQ(run.status, 70) << run.out;
        EXPECT_TRUE(in_order(run.out, {"Fuses \n", warning,
                                       "Fuses not written: nobody to confirm them here; -f!<list> writes them\n",
                                       "\nReset pin released\n"}))
            << run.out;
        EXPECT_EQ(run.out.find("Programming fuses"), std::string::npos) << run.out;
        unsigned before = cfg::read_state(chip).fuses[c.byte];
        EXPECT_NE(before & c.mask, c.value) << "nothing written";

        run = chip.morvin({"+" + std::string(c.chip), "-o16MHz", "-w", "-v", std::string("-f!") + c.list});
        EXPECT_EQ(run.status, 0) << run.out;
        EXPECT_TRUE(in_order(run.out, {"Fuses \n", warning, "Programming fuses\n", "New fuses value\n",
                                       "Verifying fuses\n", "passed\n"}))
            << run.out;
        EXPECT_EQ(run.out.find("Fuses not written"), std::string::npos) << run.out;
        EXPECT_EQ(cfg::read_state(chip).fuses[c.byte] & c.mask, c.value);

        // the RESET pin no longer takes the chip into programming mode
        run = chip.morvin({"+" + std::string(c.chip), "-o16MHz"});
        EXPECT_NE(run.status, 0) << run.out;
        EXPECT_EQ(run.out.find("Device connected"), std::string::npos) << run.out;
    }
}

// mega328P CKSEL 0000: the clock comes from XTAL1 only. The chip then answers only
// while the cable clocks it (-o0); a field that keeps its value asks nothing.
TEST(fuses, an_external_clock_selection_leaves_the_chip_to_the_xtal_line)
{
    e2e::virtual_target chip("mega328P", cfg::clocked(16000));
    auto run = chip.morvin({"+mega328P", "-o16MHz", "-w", "-fCKSEL=0"});
    EXPECT_EQ(run.status, 70) << run.out;
    const std::string warning = "Warning: CKSEL=0 selects a clock source that needs an external clock or crystal: "
                                "without one the chip stops, and can't be programmed until a clock is supplied\n";
    EXPECT_TRUE(has_line(run.out, warning)) << run.out;
    EXPECT_EQ(cfg::read_state(chip).fuses[0] & 0x0F, 0x02u) << "the factory's internal RC oscillator";

    // an internal oscillator is no danger: no warning, no question
    run = chip.morvin({"+mega328P", "-o16MHz", "-w", "-fCKSEL=3"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("Warning"), std::string::npos) << run.out;

    run = chip.morvin({"+mega328P", "-o16MHz", "-w", "-f!CKSEL=0"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(has_line(run.out, warning)) << run.out;
    EXPECT_EQ(cfg::read_state(chip).fuses[0] & 0x0F, 0x00u);

    run = chip.morvin({"+mega328P", "-o16MHz"});
    EXPECT_NE(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find("Device connected"), std::string::npos) << run.out;

    // clocked from the cable's XTAL line it answers; CKSEL=0 again is no change
    run = chip.morvin({"+mega328P", "-o0", "-w", "-fCKSEL=0"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("Device connected"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Warning"), std::string::npos) << run.out;
    run = chip.morvin({"+mega328P", "-o0", "-w", "-fCKSEL=2"});
    EXPECT_EQ(run.status, 0) << run.out;
    run = chip.morvin({"+mega328P", "-o16MHz"});
    EXPECT_EQ(run.status, 0) << run.out;
}

// On a console the run asks; only 'y' writes.
TEST(fuses, a_console_is_asked_before_a_lock_out)
{
    e2e::virtual_target chip("tiny13", cfg::clocked(16000));
    const std::string question = "Write these fuses anyway (y/N)?\n";
    auto run = chip.morvin_at_console({"+tiny13", "-o16MHz", "-w", "-fRSTDISBL=ON"}, question, "n");
    EXPECT_EQ(run.status, 70) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Warning: RSTDISBL=0 ", question, "Fuses not written\n"})) << run.out;
    EXPECT_EQ(cfg::read_state(chip).fuses[1] & 0x01, 0x01u);

    run = chip.morvin_at_console({"+tiny13", "-o16MHz", "-w", "-fRSTDISBL=ON"}, question, "y");
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {question, "Programming fuses\n", "New fuses value\n"})) << run.out;
    EXPECT_EQ(cfg::read_state(chip).fuses[1] & 0x01, 0x00u);
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
        EXPECT_TRUE(in_order(run.out, {"Fuses \n", line + "\n", "_LOW = 0x"}))
            << name << ": " << line << "\n" << run.out;
    }
    // without calibration bytes there is no such line
    e2e::virtual_target classic("90S2333", cfg::clocked(8000));
    auto run = classic.morvin({"+90S2333", "-o8MHz"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(cfg::calibration_from_trace(classic).empty());
    EXPECT_TRUE(in_order(run.out, {"Fuses \n_LOW = 0x"})) << run.out;
    EXPECT_EQ(run.out.find("OSCCAL"), std::string::npos);
}

TEST(fuses, the_fuse_list_of_a_chip_needs_no_chip)
{
    e2e::virtual_target chip("tiny13", {{"VT_FAULT", "absent"}});
    auto run = chip.morvin({"+tiny13", "-?"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"\ntiny13|tiny13A signature 1E9007\n", "Fuse list\n",
                                   "  fuse programmed state is 0\n",
                                   "  use ON or OFF aliases for 1-bit fuses if you not shure\n",
                                   "\n_LOW fuse byte:\n", "  EESAVE     = 0 or  1 - ", "   (EESV)\n",
                                   "  CKSEL      = 0 to  3 - ", "\n_HIGH fuse byte:\n",
                                   "  BODLEVEL   = 0 to  3 - ", "   (BLEV)\n"}))
        << run.out;
    EXPECT_EQ(run.out.find("_LOCK fuse byte"), std::string::npos);
    EXPECT_EQ(run.out.find("Device connected"), std::string::npos);
    EXPECT_EQ(run.out.find("Reset pin released"), std::string::npos);

    run = chip.morvin({"+90S8515", "-?"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"\n90S8515 signature 1E9301\n", "  has no ISP-writable fuses\n"})) << run.out;
}

// 90S2333: one classic fuse byte, new values read back after a power cycle.
TEST(fuses, classic_fuse_bits_are_written_in_one_command)
{
    e2e::virtual_target chip("90S2333", cfg::clocked(8000));
    auto run = chip.morvin({"+90S2333", "-o8MHz", "-w", "-fBODEN=0,CKSEL=2"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Fuses \n_LOW = 0x", "Programming fuses\n", "New fuses value\n"})) << run.out;
    EXPECT_EQ(cfg::read_state(chip).fuses[0] & 0x1F, 0x12u) << "BODLEVEL 1, BODEN 0, CKSEL 2";
    run = chip.morvin({"+90S2333", "-o8MHz", "-v", "-fBODEN=0,CKSEL=2"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"  BODEN     \t= 0\n", "  CKSEL     \t= 2\n", "Verifying fuses\n", "passed\n"}))
        << run.out;
}

}  // namespace
