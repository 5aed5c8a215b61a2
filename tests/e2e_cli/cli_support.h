// Helpers of the command-line tests: one call runs the native program or the
// Windows build under Wine, the output is split into lines, and a program copied
// into a folder of its own can be run from there.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "support/e2e.h"

namespace cli {

enum class build { native, wine };

inline const char *build_name(build b)
{
    return b == build::native ? "native" : "wine";
}

// The chip runs at 16 MHz; the program is told 4 MHz, so SCK phases keep a wide
// margin over the chip's minimum whatever the port's write speed does.
const char chip_clock_khz[] = "16000";
const char osc_switch[] = "-o4MHz";

inline std::string windows_exe()
{
    return e2e::windows_build() + "/morvin.exe";
}

inline std::string windows_dll()
{
    return e2e::windows_build() + "/DLportIO.dll";
}

// Wine cases are WINE_TESTs, registered only where a Windows build is configured; a
// configured build whose program is missing is a failure.
#define REQUIRE_WINDOWS_BUILD()                                                                  \
    do {                                                                                         \
        ASSERT_FALSE(e2e::windows_build().empty()) << "a case of the Windows build is a WINE_TEST"; \
        ASSERT_TRUE(e2e::file_exists(cli::windows_exe())) << cli::windows_exe() << " missing";  \
        ASSERT_TRUE(e2e::file_exists(cli::windows_dll())) << cli::windows_dll() << " missing";  \
    } while (0)

// One check, check(build), as two cases: a TEST of the native program and a
// WINE_TEST of the Windows build.
#define NATIVE_AND_WINE_TESTS(suite, native_name, wine_name, check) \
    TEST(suite, native_name)                                         \
    {                                                                \
        check(cli::build::native);                                   \
    }                                                                \
    WINE_TEST(suite, wine_name)                                      \
    {                                                                \
        REQUIRE_WINDOWS_BUILD();                                     \
        check(cli::build::wine);                                     \
    }

// A path as the Windows program sees it (Wine maps drive Z: to the root).
inline std::string dos_path(const std::string &path)
{
    std::string result = "Z:";
    for (char c : path)
        result += c == '/' ? '\\' : c;
    return result;
}

inline e2e::run_result run(const e2e::virtual_target &target, build b, const std::vector<std::string> &args)
{
    return b == build::native ? target.morvin(args) : target.morvin_exe(args);
}

using e2e::split_lines;

// The output after the echoed command line (the banner and the command differ
// between runs and builds).
inline std::string after_command(const e2e::run_result &r)
{
    size_t at = r.out.find("Command:\n");
    if (at == std::string::npos)
        return r.out;
    size_t end = r.out.find('\n', at + 9);
    return end == std::string::npos ? std::string() : r.out.substr(end + 1);
}

// Only the debug lines ("\t% ..."), or only the others.
inline std::vector<std::string> debug_lines(const e2e::run_result &r)
{
    std::vector<std::string> result;
    for (const std::string &l : split_lines(after_command(r)))
        if (l.compare(0, 3, "\t% ") == 0)
            result.push_back(l);
    return result;
}

inline std::string plain_text(const e2e::run_result &r)
{
    std::string result;
    for (const std::string &l : split_lines(after_command(r)))
        if (l.compare(0, 3, "\t% ") != 0)
            result += l + "\n";
    return result;
}

inline bool has_line(const e2e::run_result &r, const std::string &line)
{
    for (const std::string &l : split_lines(r.out))
        if (l == line)
            return true;
    return false;
}

// The first line that starts with prefix, or "" when none does.
inline std::string line_starting(const e2e::run_result &r, const std::string &prefix)
{
    for (const std::string &l : split_lines(r.out))
        if (l.compare(0, prefix.size(), prefix) == 0)
            return l;
    return "";
}

// expected appear as whole lines, in this order (others may stand between them).
inline ::testing::AssertionResult lines_in_order(const e2e::run_result &r, const std::vector<std::string> &expected)
{
    std::vector<std::string> lines = split_lines(r.out);
    size_t at = 0;
    for (const std::string &want : expected) {
        while (at < lines.size() && lines[at] != want)
            at++;
        if (at == lines.size())
            return ::testing::AssertionFailure() << "line \"" << want << "\" missing or out of order in\n" << r.out;
        at++;
    }
    return ::testing::AssertionSuccess();
}

// A number followed by a unit ("27.4ns", "0.95MHz"): the value scaled by the unit's
// factor, or -1 when the text is not such a number with one of the units.
inline double scaled_number(const std::string &text, const std::map<std::string, double> &units)
{
    char *end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !isdigit(static_cast<unsigned char>(text[0])))
        return -1;
    auto unit = units.find(end);
    return unit == units.end() ? -1 : v * unit->second;
}

// A time as the program formats it, in ns.
inline double time_ns(const std::string &text)
{
    return scaled_number(text, {{"ns", 1}, {"us", 1e3}, {"ms", 1e6}, {"s", 1e9}});
}

inline double frequency_mhz(const std::string &text)
{
    return scaled_number(text, {{"kHz", 1e-3}, {"MHz", 1}});
}

// A target with the usual chip clock.
inline std::map<std::string, std::string> chip_vars(std::map<std::string, std::string> more = {})
{
    more.emplace("VT_CLOCK_KHZ", chip_clock_khz);
    return more;
}

// Runs a program at its own path with exactly this environment (no harness folder).
inline e2e::run_result run_program(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                                   bool fold_crlf)
{
    std::map<std::string, std::string> all = {{"PATH", "/usr/local/bin:/usr/bin:/bin"}};
    if (const char *home = std::getenv("HOME"))
        all["HOME"] = home;
    for (auto &v : env)
        all[v.first] = v.second;
    e2e::spawn_options options;
    options.clear_env = true;
    options.fold_crlf = fold_crlf;
    return e2e::spawn_program(argv, all, options);
}

inline bool copy_file(const std::string &from, const std::string &to)
{
    std::string text = e2e::read_text(from);
    if (text.empty())
        return false;
    e2e::write_text(to, text);
    return chmod(to.c_str(), 0755) == 0;
}

}  // namespace cli
