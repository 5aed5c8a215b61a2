// The built program run as a separate process: exact output and exit status.
// With a Windows build folder configured, the same cases run its morvin.exe
// under Wine.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/e2e.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct runner {
    std::string name;
    std::vector<std::string> command;  // starts the program
    bool crlf;                         // the program writes CR LF line ends
};

std::string windows_exe()
{
    return e2e::windows_build() + "/morvin.exe";
}

std::vector<runner> runners()
{
    std::vector<runner> list{{"native", {MORVIN_EXE}, false}};
#if MORVIN_WINE_TESTS
    list.push_back({"wine", {"wine", windows_exe()}, true});
#endif
    return list;
}

struct outcome {
    int status = -1;
    std::string out;
};

outcome run_program(const runner &how, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = how.command;
    argv.insert(argv.end(), args.begin(), args.end());
    e2e::run_result run = e2e::spawn_program(argv, {{"WINEDEBUG", "-all"}}, e2e::spawn_options());
    outcome result{run.status, run.out};
    if (how.crlf) {
        // A Windows console program writes CR LF; compare the lines themselves.
        std::string plain;
        for (size_t i = 0; i < result.out.size(); i++) {
            if (result.out[i] == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n')
                continue;
            EXPECT_FALSE(result.out[i] == '\n' && (i == 0 || result.out[i - 1] != '\r'))
                << "bare LF at " << i;
            plain += result.out[i];
        }
        result.out = plain;
    }
    return result;
}

const std::string banner_title = "\nmorvin/WIN32  -  AVR controllers LPT programmer\n";

// Checks the banner (its version line only for the version) and returns the rest.
std::string after_banner(const std::string &out)
{
    if (out.compare(0, banner_title.size(), banner_title) != 0) {
        ADD_FAILURE() << "no banner in:\n" << out;
        return out;
    }
    size_t version_end = out.find('\n', banner_title.size());
    size_t contact_end = version_end == std::string::npos ? version_end : out.find('\n', version_end + 1);
    if (contact_end == std::string::npos) {
        ADD_FAILURE() << "banner cut short:\n" << out;
        return out;
    }
    std::string version = out.substr(banner_title.size(), version_end - banner_title.size());
    EXPECT_NE(version.find(MORVIN_VERSION), std::string::npos) << version;
    EXPECT_GT(contact_end, version_end + 1);
    return out.substr(contact_end + 1);
}

const std::string hint = "For short help type\n\tmorvin -h\n";

struct cli_case {
    std::vector<std::string> args;
    std::string expected;  // after the banner
    int status;
};

const std::vector<cli_case> &cases()
{
    static const std::vector<cli_case> list = {
        {{}, "Nothing to do!\n" + hint + "\n", 0},
        {{"-x"}, "Command:\n  -x\nInvalid switch x\n" + hint + "\n", 70},
        {{"a", "b", "c"}, "Command:\n  a b c\nToo many files\n\n", 70},
        {{"+AT90S2313", "-wv"},
         "Command:\n  +AT90S2313 -wv\nInvalid value 'v' for switch w\n\n" + hint + "\n", 70},
        {{"+ATx"}, "Command:\n  +ATx\nUnsupported device x\n\n", 70},
        {{"+mega8", "-o800,2"},
         "Command:\n  +mega8 -o800,2\n-o: divider can be used only with -o0 form of the switch\n\n", 70},
        {{"+mega8", "-o0,33"}, "Command:\n  +mega8 -o0,33\nInvalid value '0,33' for switch o\n\n" + hint + "\n", 70},
        {{"+mega8", "-c"}, "Command:\n  +mega8 -c\nFile name required for -C\n\n", 70},
        {{"my file.hex", "-n65535"},
         "Command:\n  \"my file.hex\" -n65535\nInvalid value '65535' for switch n\n\n" + hint + "\n", 70},
        {{"+mega8", "-r"}, "Command:\n  +mega8 -r\nCan't read without target files\n\n", 70},
        {{"-e-v+b", "/l+2"}, "Command:\n  -e-v+b /l+2\nChip name must be specified\n\n", 70},
        // only the two long options exactly as written are known
        {{"--helpme"}, "Command:\n  --helpme\nInvalid switch -\n" + hint + "\n", 70},
        {{"--Version"}, "Command:\n  --Version\nInvalid switch -\n" + hint + "\n", 70},
    };
    return list;
}

class program : public ::testing::TestWithParam<runner> {};

TEST_P(program, usage_errors_print_exact_text_and_status)
{
    for (const cli_case &c : cases()) {
        std::string line;
        for (const auto &a : c.args)
            line += " " + a;
        SCOPED_TRACE("morvin" + line);
        outcome o = run_program(GetParam(), c.args);
        EXPECT_EQ(after_banner(o.out), c.expected);
        EXPECT_EQ(o.status, c.status);
    }
}

// Runs a listing switch: status 0, and the text after the banner begins with
// `head` and ends with `tail`; returns that text for the checks in between.
std::string listing_between(const runner &how, const std::vector<std::string> &args, const std::string &head,
                            const std::string &tail)
{
    outcome o = run_program(how, args);
    EXPECT_EQ(o.status, 0);
    std::string rest = after_banner(o.out);
    EXPECT_EQ(rest.compare(0, head.size(), head), 0) << rest;
    EXPECT_GE(rest.size(), tail.size()) << rest;
    if (rest.size() >= tail.size()) {
        EXPECT_EQ(rest.substr(rest.size() - tail.size()), tail);
    }
    return rest;
}

TEST_P(program, help_prints_usage_and_web_address)
{
    std::string rest = listing_between(GetParam(), {"-?"},
                                       "Command:\n  -?\nUse:\tmorvin [SWITCHES] [[-c] cfile] [-d dfile]\n"
                                       "\tSwitches ( # represent number)\n\n -?,-h\t this help\n",
                                       "\n\nFor latest versions see\nhttps://morvin.example.org/\n\n");
    EXPECT_NE(rest.find("\n -%\tprint some debug info (use -%% in .bat files)\n"), std::string::npos);
    EXPECT_NE(rest.find("\tfor list of fuse names for chip 'name'\n\nSupported devices\n"), std::string::npos);
    // a device file for -p only where the system has them
    EXPECT_EQ(GetParam().name == "native",
              rest.find("\t  Default is 2 (LPT2)\n\t- /dev/parportN - the kernel's parallel port device\n") !=
                  std::string::npos)
        << rest;
}

// '/' begins a group of switches on Windows and a file name on Linux, where
// "/r" could be a file in the root folder.
TEST_P(program, slash_argument_is_a_switch_group_only_on_windows)
{
    outcome o = run_program(GetParam(), {"+mega8", "/r"});
    std::string expected = GetParam().name == "wine" ? "Can't read without target files\n\n"
                                                      : "Nothing to do with files, -r or -w or -v must be specified\n\n";
    EXPECT_EQ(after_banner(o.out), "Command:\n  +mega8 /r\n" + expected);
    EXPECT_EQ(o.status, 70);
}

// A file that ends early failed no system call, so no system text follows its
// message, whatever errno the start-up left behind.
TEST_P(program, early_end_of_file_has_no_stale_system_text)
{
    std::string name = "morvin-cli-empty-" + std::to_string(getpid()) + ".hex";
    FILE *file = fopen(name.c_str(), "w");
    ASSERT_NE(file, nullptr);
    fclose(file);
    outcome o = run_program(GetParam(), {"+mega8", "-w", name});
    remove(name.c_str());
    EXPECT_EQ(after_banner(o.out), "Command:\n  +mega8 -w " + name + "\nUnexpected end of file '" + name + "'\n\n");
    EXPECT_EQ(o.status, 50);
}

TEST_P(program, plus_question_mark_lists_chips_with_their_aliases)
{
    std::string rest = listing_between(GetParam(), {"+?"},
                                       "Command:\n  +?\n\nSupported devices and their aliases\n 86RF401\n"
                                       " 90S1200                1200\n",
                                       "\n mega32HVB\n mega8HVD\n\n");
    EXPECT_NE(rest.find("\n mega328P               m328p\n"), std::string::npos) << rest;
}

// --help and --version print their text alone: no banner, no command echo, no
// empty line from the handler, and nothing else on the command line counts.
TEST_P(program, long_options_print_their_text_alone)
{
    outcome help = run_program(GetParam(), {"-?"});
    std::string usage = after_banner(help.out);
    const std::string echo = "Command:\n  -?\n";
    ASSERT_EQ(usage.compare(0, echo.size(), echo), 0) << usage;
    ASSERT_GE(usage.size(), echo.size() + 1);
    usage = usage.substr(echo.size(), usage.size() - echo.size() - 1);
    EXPECT_NE(usage.find("\n --help\t this help alone, without the banner\n --version\tthe version alone\n"),
              std::string::npos)
        << usage;
    const std::string version = std::string("morvin ") + MORVIN_VERSION + " (built " + MORVIN_BUILD_DATE + ")\n";
    const struct {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"--help"}, usage},
        {{"+mega8", "-x", "--help", "--version"}, usage},
        {{"--version"}, version},
        {{"+ATx", "a", "b", "c", "--version", "--help"}, version},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args.back());
        outcome o = run_program(GetParam(), c.args);
        EXPECT_EQ(o.status, 0);
        EXPECT_EQ(o.out, c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(builds, program, ::testing::ValuesIn(runners()),
                         [](const ::testing::TestParamInfo<runner> &info) { return info.param.name; });

WINE_TEST(windows_build, is_there_when_configured)
{
    EXPECT_TRUE(e2e::file_exists(windows_exe())) << windows_exe() << " is missing: build it first";
}

}  // namespace
