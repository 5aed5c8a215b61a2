// Whole programming runs of the Windows build under Wine, through DLportIO.dll on
// the default cable, each compared line by line with the same run of the native
// program on a fresh chip: programming with fuses and reading back, a wrong chip,
// and a verification that fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_cli/cli_support.h"
#include "support/chip_state.h"

#include <dirent.h>

namespace {

using cli::build;

const uint32_t eeprom_offset = 32768;  // where a single file's EEPROM bytes start

// Whole memories are read here: a faster SCK than the other cases, still a third
// above the 16 MHz chip's shortest phase.
const char run_osc[] = "-o8MHz";

// Durations vary from run to run; everything else must match.
std::string without_times(const std::string &text)
{
    std::string result;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        while (j < text.size() && (isdigit(static_cast<unsigned char>(text[j])) || text[j] == '.'))
            j++;
        if (j > i && isdigit(static_cast<unsigned char>(text[i]))) {
            size_t unit = 0;
            for (const char *u : {"ns", "us", "ms", "s"}) {
                size_t n = strlen(u);
                if (text.compare(j, n, u) == 0 && (j + n == text.size() || !isalnum(static_cast<unsigned char>(text[j + n])))) {
                    unit = n;
                    break;
                }
            }
            if (unit) {
                result += "<time>";
                i = j + unit;
                continue;
            }
        }
        if (j == i)
            j = i + 1;
        result.append(text, i, j - i);
        i = j;
    }
    return result;
}

// A small program and some EEPROM bytes in one file.
std::map<uint32_t, std::vector<uint8_t>> image_runs()
{
    std::vector<uint8_t> code, data;
    for (int i = 0; i < 300; i++)
        code.push_back(static_cast<uint8_t>(i * 7 + 3));
    for (int i = 0; i < 20; i++)
        data.push_back(static_cast<uint8_t>(0xA0 + i));
    return {{0x0000, code}, {0x1F00, {0x12, 0x34, 0x56}}, {eeprom_offset + 0x10, data}};
}

struct one_run {
    e2e::run_result result;
    std::string flash_file, eeprom_file;
};

// Path of a file in the target's folder as the program of this build sees it.
std::string file_arg(build b, const e2e::virtual_target &target, const std::string &name)
{
    return b == build::native ? target.path(name) : cli::dos_path(target.path(name));
}

void expect_same_lines(const e2e::run_result &native, const e2e::run_result &wine)
{
    EXPECT_EQ(native.status, wine.status);
    EXPECT_EQ(without_times(cli::after_command(native)), without_times(cli::after_command(wine)));
}

void check_readback(const e2e::virtual_target &target, const std::map<uint32_t, std::vector<uint8_t>> &runs)
{
    std::map<uint32_t, uint8_t> flash = e2e::hex_bytes(target.path("flash.hex"));
    std::map<uint32_t, uint8_t> eeprom = e2e::hex_bytes(target.path("eeprom.hex"));
    for (auto &run : runs) {
        for (size_t i = 0; i < run.second.size(); i++) {
            uint32_t a = run.first + static_cast<uint32_t>(i);
            if (a >= eeprom_offset) {
                ASSERT_EQ(1u, eeprom.count(a - eeprom_offset)) << std::hex << a;
                EXPECT_EQ(run.second[i], eeprom[a - eeprom_offset]) << std::hex << a;
            } else {
                ASSERT_EQ(1u, flash.count(a)) << std::hex << a;
                EXPECT_EQ(run.second[i], flash[a]) << std::hex << a;
            }
        }
    }
    // the rest of the chip reads erased
    EXPECT_EQ(0xFF, flash[0x1000]);
    EXPECT_EQ(0xFF, flash.rbegin()->second);
    EXPECT_EQ(0xFF, eeprom[0]);
}

WINE_TEST(WineRuns, ProgramVerifyFusesAndReadBackMatchTheNativeRun)
{
    REQUIRE_WINDOWS_BUILD();
    auto runs = image_runs();
    std::map<build, std::pair<e2e::run_result, e2e::run_result>> results;
    for (build b : {build::native, build::wine}) {
        SCOPED_TRACE(cli::build_name(b));
        e2e::virtual_target target("mega328P", cli::chip_vars());
        e2e::write_text(target.path("image.hex"), e2e::hex_text(runs));
        e2e::run_result program = cli::run(target, b,
                                           {"+mega328P", run_osc, "-e", "-w", "-v", "-fCKDIV=OFF,EESAVE=ON",
                                            file_arg(b, target, "image.hex")});
        ASSERT_EQ(0, program.status) << program.out;
        EXPECT_TRUE(cli::lines_in_order(program, {"Device erased", "Programming CODE memory", "Verifying CODE memory",
                                                  " passed", "Programming DATA memory", "Verifying DATA memory",
                                                  " passed", "Programming fuses", "New fuses value", "_LOW = 0xE2",
                                                  "  CKDIV     \t= 1", "  EESAVE    \t= 0", "Verifying fuses",
                                                  "passed"}));
        e2e::run_result read = cli::run(target, b,
                                        {"+mega328P", run_osc, "-r", file_arg(b, target, "flash.hex"),
                                         file_arg(b, target, "eeprom.hex")});
        ASSERT_EQ(0, read.status) << read.out;
        // the fuses written by the first run are the chip's now
        EXPECT_TRUE(cli::lines_in_order(read, {"_LOW = 0xE2", "  CKDIV     \t= 1", "  EESAVE    \t= 0",
                                               "Reading CODE memory", "Reading DATA memory"}));
        check_readback(target, runs);
        results[b] = {program, read};
    }
    {
        SCOPED_TRACE("programming run");
        expect_same_lines(results[build::native].first, results[build::wine].first);
    }
    {
        SCOPED_TRACE("read run");
        expect_same_lines(results[build::native].second, results[build::wine].second);
    }
}

WINE_TEST(WineRuns, WrongChipRefusedLikeTheNativeRun)
{
    REQUIRE_WINDOWS_BUILD();
    std::map<build, e2e::run_result> results;
    for (build b : {build::native, build::wine}) {
        e2e::virtual_target target("mega328P", cli::chip_vars());
        e2e::write_text(target.path("image.hex"), e2e::hex_text({{0, {1, 2, 3, 4}}}));
        results[b] = cli::run(target, b, {"+mega8", run_osc, "-e", "-w", file_arg(b, target, "image.hex")});
        EXPECT_EQ(30, results[b].status) << results[b].out;
        EXPECT_EQ("Device connected, mega328P detected\nChip not locked\nRequested <mega8>, detected <mega328P>\n"
                  "Can't continue\n\nReset pin released\n",
                  cli::after_command(results[b]))
            << cli::build_name(b);
        // nothing was erased or written
        EXPECT_EQ(std::string::npos, target.trace().find("chip_erase")) << target.trace();
    }
    expect_same_lines(results[build::native], results[build::wine]);
}

WINE_TEST(WineRuns, VerifyFailureEndsWithStatus10LikeTheNativeRun)
{
    REQUIRE_WINDOWS_BUILD();
    std::map<build, e2e::run_result> results;
    for (build b : {build::native, build::wine}) {
        // flash byte 5 keeps bit 4 set whatever is written
        e2e::virtual_target target("mega328P", cli::chip_vars({{"VT_FAULT", "bad_bits=5:10"}}));
        e2e::write_text(target.path("image.hex"), e2e::hex_text({{0, {0, 0, 0, 0, 0, 0, 0, 0}}}));
        results[b] = cli::run(target, b, {"+mega328P", run_osc, "-e", "-w", "-v", file_arg(b, target, "image.hex")});
        SCOPED_TRACE(cli::build_name(b));
        EXPECT_EQ(10, results[b].status) << results[b].out;
        EXPECT_TRUE(cli::lines_in_order(results[b], {"Programming CODE memory", "Verifying CODE memory",
                                                     "failed, 1 error ", "Reset pin released"}));
        EXPECT_FALSE(cli::has_line(results[b], " passed")) << results[b].out;
    }
    expect_same_lines(results[build::native], results[build::wine]);
}

WINE_TEST(WineRuns, LockOutFuseIsRefusedWithoutAConsoleLikeTheNativeRun)
{
    REQUIRE_WINDOWS_BUILD();
    std::map<build, e2e::run_result> results;
    for (build b : {build::native, build::wine}) {
        e2e::virtual_target target("mega328P", cli::chip_vars());
        results[b] = cli::run(target, b, {"+mega328P", run_osc, "-w", "-fRSTDISBL=ON"});
        SCOPED_TRACE(cli::build_name(b));
        EXPECT_EQ(70, results[b].status) << results[b].out;
        EXPECT_TRUE(cli::lines_in_order(results[b], {"Warning: RSTDISBL=0 makes the RESET pin an I/O pin: the chip "
                                                     "can't enter serial programming again, only a high-voltage "
                                                     "programmer recovers it",
                                                     "Fuses not written: nobody to confirm them here; -f!<list> "
                                                     "writes them",
                                                     "Reset pin released"}))
            << results[b].out;
        EXPECT_EQ(std::string::npos, target.trace().find("fuse1_write")) << target.trace();
    }
    expect_same_lines(results[build::native], results[build::wine]);
}

}  // namespace

namespace {

// The serial-number file: the next number after a good write run, a number
// beyond 32 bits refused with the file left alone; the same on both builds.
WINE_TEST(WineRuns, SerialNumberFileLikeTheNativeRun)
{
    REQUIRE_WINDOWS_BUILD();
    std::map<build, e2e::run_result> results;
    for (build b : {build::native, build::wine}) {
        SCOPED_TRACE(cli::build_name(b));
        std::string line_end = b == build::native ? "\n" : "\r\n";
        e2e::virtual_target target("mega328P", cli::chip_vars());
        e2e::write_text(target.path("image.hex"), e2e::hex_text({{0x100, {0x00, 0xE0, 0x00, 0xE0}}}));
        e2e::write_text(target.path("sn.txt"), "41" + line_end);
        std::vector<std::string> args = {"+mega328P", run_osc, "-e", "-w", "-v",
                                         "-c?SERNO2=100," + file_arg(b, target, "sn.txt"),
                                         file_arg(b, target, "image.hex")};
        results[b] = cli::run(target, b, args);
        EXPECT_EQ(0, results[b].status) << results[b].out;
        EXPECT_TRUE(cli::lines_in_order(results[b], {"Chip serial number is 41", "Verifying CODE memory", " passed"}));
        EXPECT_EQ("42" + line_end, e2e::read_text(target.path("sn.txt")));

        e2e::write_text(target.path("sn.txt"), "4294967296" + line_end);
        e2e::run_result refused = cli::run(target, b, args);
        EXPECT_EQ(50, refused.status) << refused.out;
        EXPECT_TRUE(cli::has_line(refused, "Serial number in " + file_arg(b, target, "sn.txt") +
                                               " does not fit in 32 bits"))
            << refused.out;
        EXPECT_EQ("4294967296" + line_end, e2e::read_text(target.path("sn.txt")));
    }
}


WINE_TEST(WineRuns, RescueFileAndReadFilesNeverReplaceWhatWasThereLikeTheNativeRun)
{
    REQUIRE_WINDOWS_BUILD();
    std::vector<uint8_t> eeprom;
    for (int i = 0; i < 32; i++)
        eeprom.push_back(static_cast<uint8_t>(0x40 + i));
    std::map<build, std::vector<e2e::run_result>> results;
    for (build b : {build::native, build::wine}) {
        SCOPED_TRACE(cli::build_name(b));
        // EESAVE programmed: the blank check after the erase fails and the kept EEPROM goes to a file
        e2e::virtual_target target("mega328P", cli::chip_vars());
        e2e::write_text(target.path("chip.state"), e2e::state_text("mega328P", {}, {{0x10, eeprom}}, "fuses 62 D1 FF\n"));
        std::string work = target.path("work");
        ASSERT_EQ(0, mkdir(work.c_str(), 0700));
        e2e::write_text(work + "/(eeprom).sav", "earlier\n");
        e2e::write_text(work + "/out.hex", "mine\n");
        char here[4096];
        ASSERT_NE(nullptr, getcwd(here, sizeof here));
        ASSERT_EQ(0, chdir(work.c_str()));
        auto &r = results[b];
        r.push_back(cli::run(target, b, {"+mega328P", run_osc, "-e-", "-bd"}));
        r.push_back(cli::run(target, b, {"+mega328P", run_osc, "-r", "out.hex", "./out.hex"}));
        target.set("VT_FAULT", "lose_after=500");
        r.push_back(cli::run(target, b, {"+mega328P", run_osc, "-r", "out.hex"}));
        target.unset("VT_FAULT");
        ASSERT_EQ(0, chdir(here));

        EXPECT_EQ(10, r[0].status) << r[0].out;
        EXPECT_TRUE(cli::lines_in_order(r[0], {"  not blank", "EEPROM content saved to HEX-file \"(eeprom)-1.sav\"",
                                              "Reset pin released"}));
        EXPECT_EQ("earlier\n", e2e::read_text(work + "/(eeprom).sav"));
        auto saved = e2e::hex_bytes(work + "/(eeprom)-1.sav");
        EXPECT_EQ(1024u, saved.size());
        EXPECT_TRUE(e2e::holds(std::map<uint32_t, uint8_t>(saved.begin(), saved.end()), {{0x10, eeprom}}));

        EXPECT_EQ(70, r[1].status) << r[1].out;
        EXPECT_EQ("Can't read both memories into one file './out.hex'\n\n", cli::after_command(r[1]));
        // a read that fails leaves the old file, and no other
        EXPECT_EQ(40, r[2].status) << r[2].out;
        EXPECT_EQ("mine\n", e2e::read_text(work + "/out.hex"));
        EXPECT_EQ((std::vector<std::string>{"(eeprom)-1.sav", "(eeprom).sav", "out.hex"}), e2e::names_in(work));
    }
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        expect_same_lines(results[build::native][i], results[build::wine][i]);
    }
}

}  // namespace
