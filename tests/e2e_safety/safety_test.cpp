// Whole runs where a careless programmer would lose or corrupt data: images with
// overlapping records, a read run that can't write its file, an erase that keeps
// the EEPROM but fails half-way, file names that look like switches.
#include "support/chip_state.h"
#include "support/e2e.h"
#include "support/output_lines.h"

#include <dirent.h>

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

// A 16 MHz mega8 whose folder holds the overlapping image as over.hex.
struct overlaps_t {
    virtual_target chip{"mega8", {{"VT_CLOCK_KHZ", "16000"}}};
    std::string file = chip.path("over.hex");
    overlaps_t() { e2e::write_text(file, overlapping_image(8192)); }

    // The chip read back into the named files of its folder: their bytes, in order.
    std::vector<std::map<uint32_t, uint8_t>> read_back(const std::vector<std::string> &names) const
    {
        std::vector<std::string> args = {"+mega8", "-o16MHz", "-r"};
        for (const std::string &name : names)
            args.push_back(chip.path(name));
        auto read = chip.morvin(args);
        EXPECT_EQ(read.status, 0) << read.out;
        std::vector<std::map<uint32_t, uint8_t>> bytes;
        for (const std::string &name : names)
            bytes.push_back(e2e::hex_bytes(chip.path(name)));
        return bytes;
    }
};

TEST(Safety, BytesBeyondTheFlashInAnEarlierRecordAreNeverWrappedOntoTheFlash)
{
    overlaps_t t;
    // named as the code file: no split, so the image does not fit
    auto run = t.chip.morvin({"+mega8", "-o16MHz", "-w", "-v", "-c", t.file});
    EXPECT_EQ(run.status, 50) << run.out;
    EXPECT_TRUE(run.has("Can't fit " + t.file + " in CODE memory\n")) << run.out;

    // the flash start was not touched
    auto bytes = t.read_back({"flash.hex"})[0];
    for (uint32_t a = 0; a < 0x100; a++)
        ASSERT_EQ(bytes[a], 0xFF) << "flash byte " << a;
}

TEST(Safety, ASingleFileWithOverlappingRecordsIsSplitAtTheFlashSize)
{
    overlaps_t t;
    auto run = t.chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", t.file});
    ASSERT_EQ(run.status, 0) << run.out;

    auto read = t.read_back({"flash.hex", "eeprom.hex"});
    auto &code = read[0], &data = read[1];
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

// A tiny13 whose EEPROM and flash hold patterns; fuses and lock bits as extra state lines give them.
std::vector<uint8_t> preset_tiny13(const virtual_target &chip, const std::string &extra_lines)
{
    std::vector<uint8_t> eeprom = pattern(64, 0x21);
    e2e::write_text(chip.path("chip.state"),
                    e2e::state_text("tiny13", {{0, pattern(128, 5)}}, {{0, eeprom}}, extra_lines));
    return eeprom;
}

const std::vector<std::string> tiny13 = {"+tiny13", "-o9600kHz"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string> &more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Runs the program with dir as its working folder (also a folder removed meanwhile).
e2e::run_result run_in(const virtual_target &chip, const std::string &dir, const std::vector<std::string> &args,
                       const std::map<std::string, std::string> &extra = {})
{
    char here[4096];
    EXPECT_NE(getcwd(here, sizeof here), nullptr);
    EXPECT_EQ(chdir(dir.c_str()), 0);
    auto r = chip.morvin(args, nullptr, extra);
    EXPECT_EQ(chdir(here), 0);
    return r;
}


::testing::AssertionResult complete_copy(const std::string &path, const std::vector<uint8_t> &eeprom)
{
    if (!e2e::file_exists(path))
        return ::testing::AssertionFailure() << "no " << path;
    auto bytes = e2e::hex_bytes(path);
    if (bytes.size() != eeprom.size())
        return ::testing::AssertionFailure() << path << " holds " << bytes.size() << " bytes";
    return e2e::holds(std::map<uint32_t, uint8_t>(bytes.begin(), bytes.end()), {{0, eeprom}});
}

TEST(Safety, KeepingTheEepromOfAChipLockedAgainstReadingIsRefusedBeforeTheErase)
{
    // EESAVE programmed: even a plain -e would keep this EEPROM
    virtual_target chip("tiny13", {{"VT_CLOCK_KHZ", "9600"}});
    std::vector<uint8_t> eeprom = preset_tiny13(chip, "fuses 2A FF FF\nlock FC\n");
    auto r = chip.morvin(with(tiny13, {"-e-"}));
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(e2e::output::lines_in_order(
        r, {"Chip locked - reading and programming disabled", "Can't save EEPROM of chip locked against reading", "",
            "Reset pin released"}))
        << r.out;
    EXPECT_FALSE(r.has("Device erased")) << r.out;
    e2e::chip_state state = e2e::read_state(chip);
    EXPECT_EQ(state.lock, 0xFCu) << "the chip was erased";
    EXPECT_TRUE(e2e::holds(state.eeprom, {{0, eeprom}}));
}

TEST(Safety, TheWrittenBackEepromIsVerifiedAndKeptInAFileWhenItDiffers)
{
    // writes that never finish: the erase clears the chip, the write-back is ignored
    virtual_target chip("tiny13", {{"VT_CLOCK_KHZ", "9600"}, {"VT_FAULT", "stuck_write"}});
    std::vector<uint8_t> eeprom = preset_tiny13(chip, "");
    auto r = run_in(chip, chip.dir, with(tiny13, {"-e-"}));
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(e2e::output::lines_in_order(r, {"Restoring EEPROM", "Programming DATA memory", "Verifying DATA memory",
                                                "failed, 64 errors",
                                                "EEPROM content saved to HEX-file \"(eeprom).sav\"", "",
                                                "Reset pin released"}))
        << r.out;
    EXPECT_FALSE(r.has("Total time")) << r.out;
    EXPECT_TRUE(complete_copy(chip.path("(eeprom).sav"), eeprom));
}

TEST(Safety, TheRescueFileNeverTakesANameInUseAndFindsAPlace)
{
    // EESAVE programmed: the blank check after the erase fails and the copy goes to a file
    virtual_target chip("tiny13", {{"VT_CLOCK_KHZ", "9600"}});
    std::vector<uint8_t> eeprom = preset_tiny13(chip, "fuses 2A FF FF\n");
    const std::vector<std::string> args = with(tiny13, {"-e-", "-bd"});
    std::string work = chip.path("work");
    ASSERT_EQ(mkdir(work.c_str(), 0700), 0);

    // an earlier rescue file stays; the next free name is used and named
    e2e::write_text(work + "/(eeprom).sav", "earlier\n");
    auto r = run_in(chip, work, args);
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(e2e::output::lines_in_order(r, {"  not blank", "EEPROM content saved to HEX-file \"(eeprom)-1.sav\"",
                                                "Reset pin released"}))
        << r.out;
    EXPECT_EQ(e2e::read_text(work + "/(eeprom).sav"), "earlier\n");
    EXPECT_TRUE(complete_copy(work + "/(eeprom)-1.sav", eeprom));

    // a link in the way, to a file or to nowhere, is neither followed nor replaced
    std::string victim = chip.path("victim.txt"), linked = chip.path("linked");
    e2e::write_text(victim, "keep me\n");
    ASSERT_EQ(mkdir(linked.c_str(), 0700), 0);
    ASSERT_EQ(symlink(victim.c_str(), (linked + "/(eeprom).sav").c_str()), 0);
    ASSERT_EQ(symlink(chip.path("nowhere").c_str(), (linked + "/(eeprom)-1.sav").c_str()), 0);
    r = run_in(chip, linked, args);
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(r.has("EEPROM content saved to HEX-file \"(eeprom)-2.sav\"")) << r.out;
    EXPECT_EQ(e2e::read_text(victim), "keep me\n");
    EXPECT_FALSE(e2e::file_exists(chip.path("nowhere")));
    EXPECT_TRUE(complete_copy(linked + "/(eeprom)-2.sav", eeprom));

    // a working folder where nothing can be created: the temporary folder
    std::string gone = chip.path("gone"), tmp = chip.path("tmp");
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(tmp.c_str(), 0700), 0);
    auto in_removed_folder = [&](const std::string &tmpdir) {
        char here[4096];
        EXPECT_NE(getcwd(here, sizeof here), nullptr);
        EXPECT_EQ(chdir(gone.c_str()), 0);
        EXPECT_EQ(rmdir(gone.c_str()), 0);
        auto result = chip.morvin(args, nullptr, {{"TMPDIR", tmpdir}});
        EXPECT_EQ(chdir(here), 0);
        EXPECT_EQ(mkdir(gone.c_str(), 0700), 0);
        return result;
    };
    r = in_removed_folder(tmp);
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(e2e::output::lines_in_order(
        r, {"  not blank", "Can't create EEPROM copy '(eeprom).sav' (No such file or directory)",
            "EEPROM content saved to HEX-file \"" + tmp + "/(eeprom).sav\"", "Reset pin released"}))
        << r.out;
    EXPECT_TRUE(complete_copy(tmp + "/(eeprom).sav", eeprom));

    // nowhere to write at all: the bytes as HEX lines on the output
    r = in_removed_folder(chip.path("no-such-folder"));
    EXPECT_EQ(r.status, 10) << r.out;
    size_t from = r.out.find("EEPROM content not saved; its HEX lines:\n");
    size_t to = r.out.find("End of EEPROM content\n");
    ASSERT_NE(from, std::string::npos) << r.out;
    ASSERT_NE(to, std::string::npos) << r.out;
    EXPECT_FALSE(r.has("saved to HEX-file")) << r.out;
    std::string printed = chip.path("printed.hex");
    e2e::write_text(printed, r.out.substr(from, to - from));
    EXPECT_TRUE(complete_copy(printed, eeprom)) << r.out;
}

TEST(Safety, AReadRunReplacesOnlyARegularFileAndNeverOneFileTwice)
{
    virtual_target chip("tiny13", {{"VT_CLOCK_KHZ", "9600"}});
    preset_tiny13(chip, "");
    std::string work = chip.path("work");
    ASSERT_EQ(mkdir((work).c_str(), 0700), 0);
    ASSERT_EQ(mkdir((work + "/sub").c_str(), 0700), 0);
    std::string out = work + "/out.hex";
    e2e::write_text(out, "mine\n");
    std::string victim = chip.path("victim.txt");
    e2e::write_text(victim, "keep me\n");
    ASSERT_EQ(symlink(victim.c_str(), (work + "/link.hex").c_str()), 0);

    struct refusal_t {
        std::vector<std::string> files;
        std::string line;
    };
    const refusal_t refusals[] = {
        {{"out.hex", "out.hex"}, "Can't read both memories into one file 'out.hex'"},
        {{"out.hex", "./sub/../out.hex"}, "Can't read both memories into one file './sub/../out.hex'"},
        {{"new.hex", work + "/new.hex"}, "Can't read both memories into one file '" + work + "/new.hex'"},
        {{"link.hex"}, "Can't replace 'link.hex': not a regular file"},
        {{"out.hex", "sub"}, "Can't replace 'sub': not a regular file"},
    };
    for (auto &c : refusals) {
        auto r = run_in(chip, work, with(with(tiny13, {"-r"}), c.files));
        EXPECT_EQ(r.status, 70) << c.line << "\n" << r.out;
        EXPECT_EQ(e2e::output::lines(r), (std::vector<std::string>{c.line, ""})) << "the chip was touched\n" << r.out;
    }

    // a read that fails leaves the old file and nothing else
    auto r = run_in(chip, work, with(tiny13, {"-r", "out.hex"}), {{"VT_FAULT", "lose_after=300"}});
    EXPECT_EQ(r.status, 40) << r.out;
    EXPECT_EQ(e2e::names_in(work), (std::vector<std::string>{"link.hex", "out.hex", "sub"}));
    EXPECT_EQ(e2e::read_text(out), "mine\n");
    EXPECT_EQ(e2e::read_text(victim), "keep me\n");

    // one that succeeds replaces it, and leaves nothing else either
    r = run_in(chip, work, with(tiny13, {"-r", "out.hex"}));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(e2e::names_in(work), (std::vector<std::string>{"link.hex", "out.hex", "sub"}));
    EXPECT_EQ(e2e::hex_bytes(out).size(), 1024u);
}

TEST(Safety, AnImageThatCannotFitIsRefusedBeforeTheChipIsTouched)
{
    virtual_target chip("tiny13", {{"VT_CLOCK_KHZ", "9600"}});
    preset_tiny13(chip, "");
    std::string code = chip.path("big.hex"), data = chip.path("data.hex");
    e2e::write_text(code, hex_text({{0x0380, pattern(0x100, 9)}}));
    e2e::write_text(data, hex_text({{0x0030, pattern(0x20, 9)}}));
    for (auto args : {with(tiny13, {"-e", "-w", "-c", code}), with(tiny13, {"-e", "-w", "-d", data})}) {
        auto r = chip.morvin(args);
        EXPECT_EQ(r.status, 50) << r.out;
        EXPECT_FALSE(r.has("Device connected")) << r.out;
        EXPECT_FALSE(r.has("Device erased")) << r.out;
        e2e::chip_state state = e2e::read_state(chip);
        EXPECT_TRUE(e2e::holds(state.flash, {{0, pattern(128, 5)}})) << "the chip was erased\n" << r.out;
    }
}

}  // namespace
