// Whole runs that erase and blank-check, with and without keeping the EEPROM.
#include "flows.h"

using namespace flows;

namespace {

TEST(E2eErase, BlankCheckBeforeAndAfterErase)
{
    e2e::virtual_target t("mega8", fast());
    write_state(t, {{0x1000, pattern(8, 1)}}, {{0x0100, {0x42}}});

    auto r = t.morvin({"+mega8", fast_osc, "-b"});
    EXPECT_EQ(r.status, 10) << r.out;
    // both memories are checked and reported, the code memory first
    EXPECT_TRUE(lines_in_order(r, {"Blank check", "Code:  done", "Code not blank", "Data:  done", "  not blank"}))
        << r.out;

    r = t.morvin({"+mega8", fast_osc, "-bd"});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Blank check", "Data:  done", "  not blank"})) << r.out;
    EXPECT_FALSE(r.has("Code:"));

    write_state(t, {}, {{0x0100, {0x42}}});
    r = t.morvin({"+mega8", fast_osc, "-bc"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Blank check", "Code:  done", "  blank"})) << r.out;
    EXPECT_FALSE(r.has("Data:"));

    write_state(t, {{0x1000, pattern(8, 1)}}, {{0x0100, {0x42}}});
    r = t.morvin({"+mega8", fast_osc, "-e", "-b"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, mega8 detected", "Device erased",
                                   "Device connected, mega8 detected", "Blank check", "Code:  done", "  blank",
                                   "Data:  done", "  blank"}))
        << r.out;
    EXPECT_FALSE(r.has("Saving EEPROM"));
    auto s = read_state(t);
    EXPECT_TRUE(s.flash.empty());
    EXPECT_TRUE(s.eeprom.empty());
}

TEST(E2eErase, KeepingTheEepromAcrossTheErase)
{
    e2e::virtual_target t("tiny13", fast());
    runs_t eeprom = {{0x0000, pattern(10, 5)}, {0x003F, {0x00}}};
    write_state(t, {{0x0000, pattern(40, 1)}}, eeprom);
    std::string code = hex_file(t, "code.hex", {{0x0000, pattern(20, 99)}});

    auto r = t.morvin({"+tiny13", fast_osc, "-e-", "-w", "-v", code});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Saving EEPROM", "Reading DATA memory", " done", "Device erased",
                                   "Device connected, tiny13|tiny13A detected", "Restoring EEPROM", "Programming DATA memory",
                                   " done", "Programming CODE memory", "Verifying CODE memory", " passed"}))
        << r.out;
    auto s = read_state(t);
    EXPECT_TRUE(holds(s.eeprom, eeprom));
    EXPECT_EQ(s.eeprom.size(), 11u);
    EXPECT_TRUE(holds(s.flash, {{0x0000, pattern(20, 99)}}));
    EXPECT_EQ(s.flash.size(), 20u) << "the erase left old code behind";
    EXPECT_FALSE(e2e::file_exists(t.path("(eeprom).sav")));

    // a plain erase loses it
    r = t.morvin({"+tiny13", fast_osc, "-e"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(r.has("Restoring EEPROM"));
    EXPECT_TRUE(read_state(t).eeprom.empty());
}

TEST(E2eErase, SavedEepromGoesToAFileWhenTheBlankCheckFails)
{
    // with EESAVE programmed the chip keeps its EEPROM through Chip Erase: the blank check
    // after the erase fails
    e2e::virtual_target t("mega328P", fast());
    runs_t eeprom = {{0x0000, pattern(16, 1)}, {0x03F0, pattern(16, 2)}};
    write_state(t, {{0x0200, pattern(8, 3)}}, eeprom, "fuses 62 D1 FF\n");
    std::string work = t.path("work");
    ASSERT_EQ(mkdir(work.c_str(), 0700), 0);

    auto r = in_directory(work, [&] { return t.morvin({"+mega328P", fast_osc, "-e-", "-bd"}); });
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Saving EEPROM", "Device erased", "Blank check", "Data:  done", "  not blank",
                                   "EEPROM content saved to HEX-file \"(eeprom).sav\""}))
        << r.out;
    EXPECT_FALSE(r.has("Restoring EEPROM"));
    std::string saved = work + "/(eeprom).sav";
    ASSERT_TRUE(e2e::file_exists(saved));
    auto bytes = e2e::hex_bytes(saved);
    ASSERT_EQ(bytes.size(), 1024u) << "the saved copy is not the whole EEPROM";
    EXPECT_TRUE(holds(std::map<uint32_t, uint8_t>(bytes.begin(), bytes.end()), eeprom));
    EXPECT_EQ(bytes[0x0100], 0xFF);

    // without '-' nothing was saved, so no file; the status is the same
    ASSERT_EQ(remove(saved.c_str()), 0);
    r = in_directory(work, [&] { return t.morvin({"+mega328P", fast_osc, "-e", "-bd"}); });
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(has_line(r, "  not blank")) << r.out;
    EXPECT_FALSE(r.has("(eeprom).sav"));
    EXPECT_FALSE(e2e::file_exists(saved));
}

TEST(E2eErase, Tiny12IsErasedTwice)
{
    e2e::virtual_target t("tiny12", clocked("8000"));
    write_state(t, {{0x0000, pattern(32, 1)}}, {});
    auto r = t.morvin({"+tiny12", "-o8MHz", "-e", "-bc"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count_lines(r, "Device erased"), 1) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device erased", "Blank check", "Code:  done", "  blank"})) << r.out;

    // the trace: erase, FF written to code address 0, erase again
    std::istringstream trace(t.trace());
    std::string line, order;
    while (std::getline(trace, line)) {
        if (line.find("chip_erase") != std::string::npos)
            order += "E";
        else if (line.find("40 00 00 FF ->") != std::string::npos && line.find("flash_write_lo") != std::string::npos)
            order += "W";
        else if (line.find("write") != std::string::npos)
            order += "?";
    }
    EXPECT_EQ(order, "EWE") << t.trace();
    EXPECT_TRUE(read_state(t).flash.empty());

    // programmed afterwards with the delays a low-voltage tiny12 needs
    std::string image = hex_file(t, "c.hex", {{0x0000, pattern(6, 40)}, {0x03FE, {0x12, 0x34}}});
    r = t.morvin({"+tiny12", "-o8MHz", "-4", "-w", "-v", image});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(holds(read_state(t).flash, {{0x0000, pattern(6, 40)}, {0x03FE, {0x12, 0x34}}}));
}

}  // namespace
