// Whole runs that read, write and verify the two memories: contents checked in the chip's
// state and in the files read back.
#include "flows.h"

using namespace flows;

namespace {

TEST(E2eMemory, WriteVerifyThenReadBackEverything)
{
    e2e::virtual_target t("mega8", fast());
    runs_t code = {{0x0000, pattern(300, 1)}, {0x1FF0, pattern(16, 40)}};
    runs_t data = {{0x0010, pattern(20, 77)}, {0x01FF, {0x5A}}};
    std::string c = hex_file(t, "code.hex", code), d = hex_file(t, "data.hex", data);

    auto r = t.morvin({"+mega8", fast_osc, "-w", "-v", c, "-d", d});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Programming CODE memory", " done", "Verifying CODE memory", " passed", " done",
                                   "Programming DATA memory", " done", "Verifying DATA memory", " passed", " done"}))
        << r.out;
    auto s = read_state(t);
    EXPECT_TRUE(holds(s.flash, code));
    EXPECT_TRUE(holds(s.eeprom, data));
    EXPECT_EQ(s.flash.size(), 316u);  // nothing else written
    EXPECT_EQ(s.eeprom.size(), 21u);

    // a read run: complete files of both memories
    std::string rc = t.path("read_code.hex"), rd = t.path("read_data.hex");
    r = t.morvin({"+mega8", fast_osc, "-r", "-c", rc, "-d", rd});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Reading CODE memory", " done", "Reading DATA memory", " done"})) << r.out;
    auto code_back = e2e::hex_bytes(rc), data_back = e2e::hex_bytes(rd);
    ASSERT_EQ(code_back.size(), 8192u);
    ASSERT_EQ(data_back.size(), 512u);
    EXPECT_EQ(code_back.rbegin()->first, 0x1FFFu);
    EXPECT_EQ(data_back.rbegin()->first, 0x1FFu);
    for (auto &b : code_back)
        ASSERT_EQ(b.second, s.flash_at(b.first)) << "code at " << b.first;
    for (auto &b : data_back)
        ASSERT_EQ(b.second, s.eeprom_at(b.first)) << "data at " << b.first;

    // the files read back verify against the chip
    r = t.morvin({"+mega8", fast_osc, "-v", "-c", rc, "-d", rd});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count_lines(r, " passed"), 2) << r.out;
}

TEST(E2eMemory, WritePlusFillsUnmentionedEepromOnly)
{
    e2e::virtual_target t("tiny13", fast());
    runs_t old_data = {{0x0000, pattern(20, 3)}, {0x0038, pattern(8, 90)}};
    write_state(t, {}, old_data);
    runs_t data = {{0x0010, pattern(8, 120)}};
    std::string d = hex_file(t, "data.hex", data);

    // plain -w leaves the rest of the EEPROM as it was
    auto r = t.morvin({"+tiny13", fast_osc, "-w", "-d", d});
    ASSERT_EQ(r.status, 0) << r.out;
    auto s = read_state(t);
    EXPECT_TRUE(holds(s.eeprom, data));
    EXPECT_TRUE(holds(s.eeprom, {{0x0000, pattern(16, 3)}, {0x0038, pattern(8, 90)}}));

    // -w+ writes FF wherever the file says nothing; -v then also demands those blank
    r = t.morvin({"+tiny13", fast_osc, "-w+", "-v", "-d", d});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Programming DATA memory", "Verifying DATA memory", " passed"})) << r.out;
    s = read_state(t);
    EXPECT_TRUE(holds(s.eeprom, data));
    EXPECT_EQ(s.eeprom.size(), 8u) << "unmentioned EEPROM not filled with FF";
    EXPECT_TRUE(s.flash.empty()) << "the code memory was touched";
}

TEST(E2eMemory, VerifyPlusTestsFreePositions)
{
    e2e::virtual_target t("mega8", fast());
    runs_t code = {{0x0100, pattern(32, 8)}};
    write_state(t, code, {});
    std::string c = hex_file(t, "code.hex", code);

    auto r = t.morvin({"+mega8", fast_osc, "-v+", "-%", c});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(r.has("\tfree positions are blank\n")) << r.out;

    // a stray byte outside the image: plain -v passes, -v+ fails the run
    write_state(t, {{0x0100, pattern(32, 8)}, {0x1800, {0x12}}}, {});
    r = t.morvin({"+mega8", fast_osc, "-v", c});
    EXPECT_EQ(r.status, 0) << r.out;
    r = t.morvin({"+mega8", fast_osc, "-v+", "-%", c});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(r.has(" passed\n")) << r.out;
    EXPECT_TRUE(r.has("\tfree positions are NOT blank\n")) << r.out;
}

TEST(E2eMemory, VerifyFailureCountsErrorsAndFailsTheRun)
{
    // bits 0..3 of flash byte 0x10 and bit 7 of 0x11 stick at 1
    e2e::virtual_target t("mega328P", fast({{"VT_FAULT", "bad_bits=0x10:0x0F,bad_bits=0x11:0x80"}}));
    std::string one = hex_file(t, "one.hex", {{0x0000, pattern(16, 1)}, {0x0010, {0x50}}});
    auto r = t.morvin({"+mega328P", fast_osc, "-w", "-v", "-%", one});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Verifying CODE memory", "failed, 1 error "})) << r.out;
    EXPECT_TRUE(r.has("\t% 00000010: expected 50, read 5F\n")) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"failed, 1 error ", " done", "First difference at 0x10: expected 50, read 5F"}))
        << r.out;
    EXPECT_FALSE(r.has("add -e")) << "bits stuck at 1 are no missing erase";
    EXPECT_FALSE(has_line(r, " passed"));
    EXPECT_FALSE(r.has("Programming DATA memory"));

    std::string two = hex_file(t, "two.hex", {{0x0010, {0x00, 0x01}}});
    r = t.morvin({"+mega328P", fast_osc, "-e", "-w", "-v", two});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(has_line(r, "failed, 2 errors")) << r.out;
    EXPECT_EQ(read_state(t).flash_at(0x10), 0x0F);
    EXPECT_EQ(read_state(t).flash_at(0x11), 0x81);

    // the same run without the fault passes: the failure is the chip's, not the image's
    t.unset("VT_FAULT");
    r = t.morvin({"+mega328P", fast_osc, "-e", "-w", "-v", two});
    EXPECT_EQ(r.status, 0) << r.out;
}

// Writing only clears flash bits: a second image over the first without -e leaves
// the bits the first one cleared, and the failure says where and why.
TEST(E2eMemory, WritingOverProgrammedFlashWithoutAnEraseIsExplained)
{
    e2e::virtual_target t("mega328P", fast());
    std::string first = hex_file(t, "first.hex", {{0x0000, {0x0F, 0xF0, 0x00, 0x00}}});
    std::string second = hex_file(t, "second.hex", {{0x0000, {0x0F, 0xF0, 0x3C, 0xC3}}});
    auto r = t.morvin({"+mega328P", fast_osc, "-e", "-w", "-v", first});
    ASSERT_EQ(r.status, 0) << r.out;

    const std::string hint = "Flash was written without an erase: writing only clears bits, so bytes that need a "
                             "1 back stay wrong; add -e to erase first";
    r = t.morvin({"+mega328P", fast_osc, "-w", "-v", second});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Verifying CODE memory", "failed, 2 errors", " done",
                                   "First difference at 0x2: expected 3C, read 00", hint}))
        << r.out;
    EXPECT_FALSE(r.has("\t% ")) << "the list of differences is debug output";
    EXPECT_EQ(read_state(t).flash_range(0, 4), (bytes_t{0x0F, 0xF0, 0x00, 0x00}));

    // a verify alone names the difference but wrote nothing to blame
    r = t.morvin({"+mega328P", fast_osc, "-v", second});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(has_line(r, "First difference at 0x2: expected 3C, read 00")) << r.out;
    EXPECT_FALSE(r.has(hint)) << r.out;

    r = t.morvin({"+mega328P", fast_osc, "-e", "-w", "-v", second});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_state(t).flash_range(0, 4), (bytes_t{0x0F, 0xF0, 0x3C, 0xC3}));
}

TEST(E2eMemory, ImagesMustFitTheirMemory)
{
    e2e::virtual_target t("mega8", fast());
    // last byte at the last flash address and the last EEPROM address: fits
    std::string code_fit = hex_file(t, "fit.hex", {{0x1FF0, pattern(16, 4)}});
    std::string data_fit = hex_file(t, "dfit.hex", {{0x01FF, {0x33}}});
    auto r = t.morvin({"+mega8", fast_osc, "-w", "-v", "-c", code_fit, "-d", data_fit});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_state(t).flash_at(0x1FFF), pattern(16, 4)[15]);
    EXPECT_EQ(read_state(t).eeprom_at(0x1FF), 0x33);

    // one byte more: refused before anything is written
    std::string code_big = hex_file(t, "big.hex", {{0x0000, {0x01}}, {0x1FF0, pattern(17, 4)}});
    r = t.morvin({"+mega8", fast_osc, "-e", "-w", "-c", code_big, "-d", data_fit});
    EXPECT_EQ(r.status, 50) << r.out;
    EXPECT_TRUE(has_line(r, "Can't fit " + code_big + " in CODE memory")) << r.out;
    EXPECT_FALSE(r.has("Programming"));

    std::string data_big = hex_file(t, "dbig.hex", {{0x0200, {0x33}}});
    r = t.morvin({"+mega8", fast_osc, "-w", "-c", code_fit, "-d", data_big});
    EXPECT_EQ(r.status, 50) << r.out;
    EXPECT_TRUE(has_line(r, "Can't fit " + data_big + " in DATA memory")) << r.out;
    EXPECT_FALSE(r.has("Programming"));

    // a single file: what lies above the flash is EEPROM, and must fit there too
    std::string single_big = hex_file(t, "single_big.hex", {{0x0000, {0x01}}, {0x2000 + 0x200, {0x02}}});
    r = t.morvin({"+mega8", fast_osc, "-w", single_big});
    EXPECT_EQ(r.status, 50) << r.out;
    EXPECT_TRUE(has_line(r, "Can't fit data part of input file in DATA memory")) << r.out;
    EXPECT_FALSE(r.has("Programming"));
    EXPECT_EQ(read_state(t).flash_at(0), 0xFF) << "written despite the refusal";
}

TEST(E2eMemory, SingleFileCarriesEepromAboveTheFlash)
{
    e2e::virtual_target t("mega8", fast());
    runs_t code = {{0x0000, pattern(70, 2)}};
    runs_t data = {{0x0000, pattern(5, 200)}, {0x01FE, {0xA1, 0xA2}}};
    std::string single =
        hex_file(t, "both.hex", {{0x0000, pattern(70, 2)}, {0x2000, pattern(5, 200)}, {0x21FE, {0xA1, 0xA2}}});
    auto r = t.morvin({"+mega8", fast_osc, "-w", "-v", single});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Programming CODE memory", "Verifying CODE memory", " passed",
                                   "Programming DATA memory", "Verifying DATA memory", " passed"}))
        << r.out;
    auto s = read_state(t);
    EXPECT_TRUE(holds(s.flash, code));
    EXPECT_TRUE(holds(s.eeprom, data));
    EXPECT_EQ(s.flash.size(), 70u);
    EXPECT_EQ(s.eeprom.size(), 7u);
}

TEST(E2eMemory, ExtendedAddressPlacesCodeAbove128KiB)
{
    e2e::virtual_target t("mega2560", fast());
    // the same low 17 address bits in both halves, different data
    runs_t high = {{0x20100, pattern(20, 50)}, {0x3FFF0, pattern(16, 60)}};
    std::string image = hex_file(t, "high.hex", high);
    auto r = t.morvin({"+mega2560", fast_osc, "-w", "-v", image});
    ASSERT_EQ(r.status, 0) << r.out;
    auto s = read_state(t);
    EXPECT_TRUE(holds(s.flash, high));
    EXPECT_EQ(s.flash.size(), 36u) << "code landed below 128 KiB too";
    EXPECT_EQ(s.flash_at(0x00100), 0xFF);
    EXPECT_EQ(s.flash_at(0x1FFF0), 0xFF);

    // reading: a chip with different bytes below 128 KiB verifies only against the right half
    write_state(t, {{0x00100, pattern(20, 10)}, {0x20100, pattern(20, 50)}}, {});
    std::string both = hex_file(t, "both.hex", {{0x00100, pattern(20, 10)}, {0x20100, pattern(20, 50)}});
    r = t.morvin({"+mega2560", fast_osc, "-v", both});
    EXPECT_EQ(r.status, 0) << r.out;
    std::string swapped = hex_file(t, "swapped.hex", {{0x20100, pattern(20, 10)}});
    r = t.morvin({"+mega2560", fast_osc, "-v", swapped});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(has_line(r, "failed, 20 errors")) << r.out;
}

TEST(E2eMemory, Mega128TopOfFlashAndEeprom)
{
    // 128 KiB exactly: the last page needs no extended address, the words reach 0xFFFF
    e2e::virtual_target t("mega128", fast());
    runs_t code = {{0x00000, pattern(4, 1)}, {0x1FF00, pattern(256, 30)}};
    runs_t data = {{0x0FF8, pattern(8, 70)}};
    std::string c = hex_file(t, "c.hex", code), d = hex_file(t, "d.hex", data);
    auto r = t.morvin({"+mega128", fast_osc, "-w", "-v", "-c", c, "-d", d});
    ASSERT_EQ(r.status, 0) << r.out;
    auto s = read_state(t);
    EXPECT_TRUE(holds(s.flash, code));
    EXPECT_TRUE(holds(s.eeprom, data));
    EXPECT_EQ(s.flash.size(), 260u);
    EXPECT_EQ(s.eeprom.size(), 8u);
}

}  // namespace
