// Whole runs where a careless programmer would lose or corrupt data: images with
// overlapping records, a read run that can't write its file, an erase that keeps
// the EEPROM but fails half-way, file names that look like switches.
#include "support/e2e.h"

namespace {

using e2e::hex_text;
using e2e::virtual_target;

std::vector<uint8_t> pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; i++)
        bytes[i] = (uint8_t)(seed + i * 7);
    return bytes;
}

// Two records with equal data: the longer one crosses the end of the flash,
// the last one (a repeat inside it) does not.
std::string overlapping_image(size_t flash)
{
    std::vector<uint8_t> head = pattern(0x200, 1);
    std::vector<uint8_t> repeat(head.begin() + 0x10, head.begin() + 0x20);
    std::string text = hex_text({{(uint32_t)flash - 0x100, head}});
    std::string repeated = hex_text({{(uint32_t)flash - 0xF0, repeat}});
    // both runs in one file, the end record once
    return text.substr(0, text.size() - 12) + repeated;
}

TEST(Safety, BytesBeyondTheFlashInAnEarlierRecordAreNeverWrappedOntoTheFlash)
{
    virtual_target chip("mega8", {{"VT_CLOCK_KHZ", "16000"}});
    std::string file = chip.path("over.hex");
    e2e::write_text(file, overlapping_image(8192));

    // named as the code file: no split, so the image does not fit
    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-v", "-c", file});
    EXPECT_EQ(run.status, 50) << run.out;
    EXPECT_TRUE(run.has("Can't fit " + file + " in CODE memory\n")) << run.out;

    // the flash start was not touched
    std::string flash = chip.path("flash.hex");
    auto read = chip.morvin({"+mega8", "-o16MHz", "-r", flash});
    ASSERT_EQ(read.status, 0) << read.out;
    auto bytes = e2e::hex_bytes(flash);
    for (uint32_t a = 0; a < 0x100; a++)
        ASSERT_EQ(bytes[a], 0xFF) << "flash byte " << a;
}

TEST(Safety, ASingleFileWithOverlappingRecordsIsSplitAtTheFlashSize)
{
    virtual_target chip("mega8", {{"VT_CLOCK_KHZ", "16000"}});
    std::string file = chip.path("over.hex");
    e2e::write_text(file, overlapping_image(8192));
    auto run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", file});
    ASSERT_EQ(run.status, 0) << run.out;

    std::string flash = chip.path("flash.hex"), eeprom = chip.path("eeprom.hex");
    ASSERT_EQ(chip.morvin({"+mega8", "-o16MHz", "-r", flash, eeprom}).status, 0);
    auto code = e2e::hex_bytes(flash);
    auto data = e2e::hex_bytes(eeprom);
    std::vector<uint8_t> expected = pattern(0x200, 1);
    for (uint32_t i = 0; i < 0x100; i++)
        ASSERT_EQ(code[0x1F00 + i], expected[i]) << "flash " << std::hex << 0x1F00 + i;
    for (uint32_t i = 0; i < 0x100; i++)
        ASSERT_EQ(data[i], expected[0x100 + i]) << "eeprom " << i;
    EXPECT_EQ(code[0], 0xFF);
}

TEST(Safety, AReadRunThatCannotWriteItsFileFails)
{
    virtual_target chip("tiny13", {{"VT_CLOCK_KHZ", "9600"}});
    // a folder where the file should be: the write fails
    std::string target = chip.path("taken");
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    auto run = chip.morvin({"+tiny13", "-o9600kHz", "-r", target});
    EXPECT_EQ(run.status, 70) << run.out;
    EXPECT_FALSE(run.has("Total time")) << run.out;
}

TEST(Safety, KeptEepromIsSavedToAFileWhenTheRunFailsAfterTheErase)
{
    virtual_target chip("mega8", {{"VT_CLOCK_KHZ", "16000"}});
    std::vector<uint8_t> eeprom = pattern(16, 0x40);
    std::string data = chip.path("data.hex");
    e2e::write_text(data, hex_text({{0, eeprom}}));
    ASSERT_EQ(chip.morvin({"+mega8", "-o16MHz", "-w", "-d", data}).status, 0);

    // after the erase the chip stops answering: the EEPROM copy must survive
    // (about 530 commands come before the write-back: connect, the EEPROM read, the erase)
    chip.set("VT_FAULT", "lose_after=560");
    std::string cwd = chip.dir;
    std::vector<std::string> args = {"+mega8", "-o16MHz", "-e-"};
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    auto run = chip.morvin(args);
    ASSERT_EQ(chdir(here), 0);
    ASSERT_EQ(run.status, 40) << run.out;
    ASSERT_TRUE(run.has("Restoring EEPROM\n")) << "the fault struck before the write-back:\n" << run.out;
    EXPECT_TRUE(run.has("EEPROM content saved to HEX-file \"(eeprom).sav\"")) << run.out;
    auto saved = e2e::hex_bytes(chip.path("(eeprom).sav"));
    for (uint32_t i = 0; i < eeprom.size(); i++)
        EXPECT_EQ(saved[i], eeprom[i]) << "saved byte " << i;
}

TEST(Safety, AbsolutePathsAreFileNames)
{
    virtual_target chip("mega8", {{"VT_CLOCK_KHZ", "16000"}});
    std::string file = chip.path("fw.hex");
    std::vector<uint8_t> code = pattern(64, 3);
    e2e::write_text(file, hex_text({{0, code}}));
    ASSERT_EQ(file[0], '/');
    auto run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", file});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(run.has("Verifying CODE memory\n passed\n")) << run.out;
}

}  // namespace
