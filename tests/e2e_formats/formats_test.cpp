// Whole runs with the files avr-gcc and avr-objcopy make of one firmware: its ELF,
// S-record and raw binary files program and verify the virtual mega328P exactly as
// its Intel HEX file does, with insertions and the erase counter; reads write the
// format the file name asks for; standard streams carry files.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_cli/cli_support.h"
#include "support/chip_state.h"
#include "support/e2e.h"
#include "support/output_lines.h"

namespace {

using e2e::chip_state;
using e2e::run_result;

const char *const osc = "-o16MHz";

class E2eFormats : public ::testing::Test {
protected:
    void SetUp() override
    {
        // built by the build when avr-gcc is there: a missing compiler fails the suite
        ASSERT_STRNE(MORVIN_FIRMWARE_DIR, "")
            << "avr-gcc or avr-objcopy was missing when the build was configured: install gcc-avr, binutils-avr "
               "and avr-libc (scripts/setup does) and configure again";
        for (const char *name : {"m328p.elf", "m328p.hex", "m328p.srec", "m328p.bin", "m328p-eeprom.bin", "m168.elf"})
            ASSERT_TRUE(e2e::file_exists(firmware(name))) << firmware(name) << " was not built";
    }

    static std::string firmware(const std::string &name) { return std::string(MORVIN_FIRMWARE_DIR) + "/" + name; }
};

bool same_memories(const chip_state &a, const chip_state &b)
{
    return a.flash == b.flash && a.eeprom == b.eeprom && std::equal(a.fuses, a.fuses + 3, b.fuses) &&
           a.lock == b.lock;
}

// The output lines of a run whose messages went to standard error.
run_result messages_of(run_result r)
{
    r.out = r.err;
    return r;
}

TEST_F(E2eFormats, EveryFormatProgramsAndVerifiesAsItsHexFileDoes)
{
    // erase with the counter, program and verify with a byte inserted into each memory
    const std::vector<std::string> run = {"+mega328P", osc, "-e", "-w", "-v", "-n", "-c*OSCCAL=4",
                                          "-d*BYTES2=2,A5C3"};
    auto with = [&](std::vector<std::string> files) {
        std::vector<std::string> args = run;
        args.insert(args.end(), files.begin(), files.end());
        return args;
    };

    e2e::virtual_target hex_target("mega328P", e2e::clocked("16000"));
    run_result hex = hex_target.morvin(with({firmware("m328p.hex")}));
    ASSERT_EQ(hex.status, 0) << hex.out;
    chip_state reference = e2e::read_state(hex_target);
    // the firmware is in both memories, the insertions and the counter on top of it
    auto hex_bytes = e2e::hex_bytes(firmware("m328p.hex"));
    size_t osccal_at = hex.out.find("  OSCCAL \t= ");
    ASSERT_NE(osccal_at, std::string::npos) << hex.out;
    uint8_t osccal = uint8_t(std::stoul(hex.out.substr(osccal_at + 12, 2), nullptr, 16));
    for (auto &b : hex_bytes) {
        uint8_t expected = b.second;
        if (b.first == 4)
            expected = osccal;
        if (b.first == 0x8002 || b.first == 0x8003)
            expected = b.first == 0x8002 ? 0xA5 : 0xC3;
        ASSERT_EQ(b.first < 0x8000 ? reference.flash_at(b.first) : reference.eeprom_at(b.first - 0x8000), expected)
            << std::hex << b.first;
    }
    EXPECT_EQ(reference.flash_range(0x7FFE, 2), (e2e::bytes_t{0x01, 0x00})) << "erase counter";
    EXPECT_GT(reference.eeprom.size(), 8u);

    struct format_case {
        const char *what;
        std::vector<std::string> files;
        std::string input;                // file on standard input
        std::vector<std::string> report;  // lines an ELF file adds
    };
    std::string elf = firmware("m328p.elf");
    std::vector<std::string> elf_report = {"Signature in '%s': 1E 95 0F", "Fuses in '%s': E2 D9 FD (low byte first), not written",
                                           "Lock byte in '%s': FC, not written"};
    auto report_of = [&](const std::string &name) {
        std::vector<std::string> lines;
        for (std::string line : elf_report)
            lines.push_back(line.replace(line.find("%s"), 2, name));
        return lines;
    };
    const format_case cases[] = {
        {"ELF", {elf}, "", report_of(elf)},
        {"S-record", {firmware("m328p.srec")}, "", {}},
        {"raw binary, one file a memory", {"-c", firmware("m328p.bin"), "-d", firmware("m328p-eeprom.bin")}, "", {}},
        {"ELF on standard input", {"-"}, elf, report_of("<stdin>")},
        {"HEX on standard input", {"-"}, firmware("m328p.hex"), {}},
    };
    for (const format_case &c : cases) {
        e2e::virtual_target t("mega328P", e2e::clocked("16000"));
        t.set_input(c.input);
        run_result r = t.morvin(with(c.files));
        if (!c.input.empty()) {
            EXPECT_EQ(r.out, "") << c.what << ": standard output is the files' alone";
            r = messages_of(r);
        }
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.out;
        EXPECT_TRUE(same_memories(e2e::read_state(t), reference)) << c.what;
        std::vector<std::string> lines = e2e::output::lines(r), expected = e2e::output::lines(hex);
        expected.insert(expected.begin(), c.report.begin(), c.report.end());
        EXPECT_EQ(lines, expected) << c.what << "\n" << r.out;
    }
}

TEST_F(E2eFormats, AnElfFileForAnotherChipIsRefusedAsAWrongChipIs)
{
    e2e::virtual_target t("mega328P", e2e::clocked("16000"));
    std::string elf = firmware("m168.elf");
    run_result r = t.morvin({"+mega328P", osc, "-e", "-w", "-v", elf});
    EXPECT_EQ(r.status, 30) << r.out;
    EXPECT_TRUE(e2e::output::lines_in_order(
        r, {"Signature in '" + elf + "': 1E 94 06", "Device connected, mega328P detected",
            "'" + elf + "' is built for <mega168>, detected <mega328P>", "Can't continue"}))
        << r.out;
    EXPECT_FALSE(r.has("Device erased"));
    EXPECT_TRUE(e2e::read_state(t).flash.empty());

    // -! goes on after the warning, as it does for a wrong chip
    r = t.morvin({"+mega328P", osc, "-e", "-w", "-v", "-!", elf});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(e2e::output::has_line(r, "'" + elf + "' is built for <mega168>, detected <mega328P>")) << r.out;
    EXPECT_FALSE(e2e::output::has_line(r, "Can't continue"));
    EXPECT_FALSE(e2e::read_state(t).flash.empty());
}

// srec_cat's Intel HEX of a file, read into address -> byte; a missing srec_cat fails.
std::map<uint32_t, uint8_t> srec_cat_bytes(const e2e::virtual_target &t, const std::string &file,
                                           const std::string &format)
{
    std::string hex = file + ".cat.hex";
    run_result r = e2e::spawn_program({"srec_cat", file, format, "-o", hex, "-intel"}, {}, {});
    EXPECT_NE(r.status, 127) << "srec_cat not found: install the package srecord (scripts/setup does)";
    EXPECT_EQ(r.status, 0) << r.err;
    (void)t;
    return e2e::hex_bytes(hex);
}

TEST_F(E2eFormats, ReadsWriteTheFormatTheirNamesAskFor)
{
    e2e::virtual_target t("mega328P", e2e::clocked("16000"));
    ASSERT_EQ(t.morvin({"+mega328P", osc, "-w", firmware("m328p.hex")}).status, 0);
    chip_state chip = e2e::read_state(t);

    std::string srec = t.path("flash.s19"), bin = t.path("eeprom.bin");
    run_result r = t.morvin({"+mega328P", osc, "-r", srec, bin});
    ASSERT_EQ(r.status, 0) << r.out;
    auto flash = srec_cat_bytes(t, srec, "-motorola");
    ASSERT_EQ(flash.size(), 0x8000u);
    for (auto &b : flash)
        ASSERT_EQ(b.second, chip.flash_at(b.first)) << std::hex << b.first;
    std::string eeprom = e2e::read_text(bin);
    ASSERT_EQ(eeprom.size(), 1024u);
    for (uint32_t a = 0; a < 1024; a++)
        ASSERT_EQ(uint8_t(eeprom[a]), chip.eeprom_at(a)) << a;

    // standard output: the HEX text alone, the messages on standard error
    r = t.morvin({"+mega328P", osc, "-r", "-", "-d", t.path("eeprom.hex")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 9), ":10000000");
    EXPECT_TRUE(e2e::output::lines_in_order(messages_of(r), {"Reading CODE memory", " done", "Reading DATA memory"}))
        << r.err;
    e2e::write_text(t.path("stdout.hex"), r.out);
    EXPECT_EQ(e2e::hex_bytes(t.path("stdout.hex")), flash);

    // what can't be written is refused
    r = t.morvin({"+mega328P", osc, "-r", t.path("flash.elf")});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_TRUE(r.has("Can't write ELF files ('" + t.path("flash.elf") + "'): name a .hex, .srec or .bin file\n"))
        << r.out;
    EXPECT_FALSE(r.has("Reading CODE memory")) << "refused only after reading the chip";
    r = t.morvin({"+mega328P", osc, "-r", "-", "bin:-"});
    EXPECT_EQ(r.status, 70) << r.err;
    EXPECT_TRUE(e2e::output::has_line(messages_of(r), "Only one file can go to standard output")) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(E2eFormats, BinaryAndSrecordFilesAreSplitAndCheckedAsHexFilesAre)
{
    e2e::virtual_target t("mega328P", e2e::clocked("16000"));
    // a single raw binary of 32 KiB and 4 bytes: the 4 bytes are EEPROM
    std::string image(0x8004, '\xFF');
    image[0] = 0x0C;
    image[0x8000] = 0x11;
    image[0x8003] = 0x44;
    e2e::write_text(t.path("both.bin"), image);
    run_result r = t.morvin({"+mega328P", osc, "-w", "-v", t.path("both.bin")});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(e2e::output::lines_in_order(r, {"Programming DATA memory", "Verifying DATA memory", " passed"}));
    chip_state s = e2e::read_state(t);
    EXPECT_EQ(s.flash_at(0), 0x0C);
    EXPECT_EQ(s.eeprom_at(0), 0x11);
    EXPECT_EQ(s.eeprom_at(3), 0x44);

    // as the code file it must fit the flash
    r = t.morvin({"+mega328P", osc, "-w", "-c", t.path("both.bin"), "-d", t.path("both.bin")});
    EXPECT_EQ(r.status, 50) << r.out;
    EXPECT_TRUE(e2e::output::has_line(r, "Can't fit " + t.path("both.bin") + " in CODE memory")) << r.out;

    // a broken S-record names its file and line
    e2e::write_text(t.path("bad.srec"), "S1040000AA51\nS1040001BB3E\n");
    r = t.morvin({"+mega328P", osc, "-w", t.path("bad.srec")});
    EXPECT_EQ(r.status, 50) << r.out;
    EXPECT_TRUE(e2e::output::lines_in_order(
        r, {"S-record checksum error", "'S1040001BB3E'", "at line 2 of '" + t.path("bad.srec") + "'"}))
        << r.out;
}

// The static Windows program reads the same files, and writes S-record files
// (text, CR LF under Windows) that read back.
WINE_TEST_F(E2eFormats, TheWindowsBuildProgramsFromEveryFormatAsTheNativeOneDoes)
{
    REQUIRE_WINDOWS_BUILD();
    using cli::build;
    const std::vector<std::vector<std::string>> file_sets = {
        {firmware("m328p.elf")},
        {firmware("m328p.srec")},
        {"-c", firmware("m328p.bin"), "-d", firmware("m328p-eeprom.bin")},
    };
    for (const auto &files : file_sets) {
        std::map<build, run_result> runs;
        std::map<build, chip_state> states;
        for (build b : {build::native, build::wine}) {
            SCOPED_TRACE(files[0] + " " + cli::build_name(b));
            e2e::virtual_target t("mega328P", e2e::clocked("16000"));
            std::vector<std::string> args = {"+mega328P", osc, "-e", "-w", "-v"};
            for (const std::string &f : files)
                args.push_back(b == build::wine && f[0] == '/' ? cli::dos_path(f) : f);
            runs[b] = cli::run(t, b, args);
            EXPECT_EQ(runs[b].status, 0) << runs[b].out;
            states[b] = e2e::read_state(t);

            std::string flash = t.path("flash.s28");
            run_result read = cli::run(t, b, {"+mega328P", osc, "-r", b == build::wine ? cli::dos_path(flash) : flash});
            EXPECT_EQ(read.status, 0) << read.out;
            run_result verify = t.morvin({"+mega328P", osc, "-v", flash});
            EXPECT_EQ(verify.status, 0) << verify.out;
            EXPECT_TRUE(e2e::output::has_line(verify, " passed")) << verify.out;
        }
        EXPECT_TRUE(same_memories(states[build::native], states[build::wine])) << files[0];
        std::vector<std::string> native = e2e::output::lines(runs[build::native]);
        std::vector<std::string> wine = e2e::output::lines(runs[build::wine]);
        // the ELF report names the file as each program was given it
        for (std::string &line : wine) {
            std::string dos = cli::dos_path(firmware("m328p.elf"));
            size_t at = line.find(dos);
            if (at != std::string::npos)
                line.replace(at, dos.size(), firmware("m328p.elf"));
        }
        EXPECT_EQ(native, wine) << files[0];
    }
}

}  // namespace
