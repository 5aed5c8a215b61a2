// Whole programming runs of the Windows build under Wine, through DLportIO.dll on
// the default cable, each compared line by line with the same run of the native
// program on a fresh chip: programming with fuses and reading back, a wrong chip,
// and a verification that fails.
#include <gtest/gtest.h>

#include <map>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_cli/cli_support.h"

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

}  // namespace
