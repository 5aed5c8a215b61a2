// Command-line parsing and the checks after it: the exact text and status of
// every usage message that can be reached without a chip.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "avr/chip_aliases.h"
#include "avr/devices.h"
#include "harness.h"

namespace {

struct message_case {
    std::vector<std::string> args;
    std::string expected;  // after the banner and the command echo
    int status;
};

std::string joined(const std::vector<std::string> &args)
{
    std::string line;
    for (const auto &a : args)
        line += (line.empty() ? "" : " ") + a;
    return line;
}

std::string invalid_value(const std::string &value, char letter)
{
    return "Invalid value '" + value + "' for switch " + letter + "\n\n" + hint + "\n";
}

class usage_messages : public ::testing::TestWithParam<message_case> {};

TEST_P(usage_messages, print_message_and_end_with_status)
{
    const message_case &c = GetParam();
    run_result r = run_morvin(c.args);
    EXPECT_EQ(r.rest, echo(joined(c.args)) + c.expected);
    EXPECT_EQ(r.status, c.status);
}

const std::string no_chip = "Chip name must be specified\n\n";
const std::string range = "-o: OSC frequency must be 0 or from 1 to 40000kHz\n\n";
const std::string divider = "-o: divider can be used only with -o0 form of the switch\n\n";

INSTANTIATE_TEST_SUITE_P(
    parsing, usage_messages,
    ::testing::Values(
        message_case{{"-x"}, "Invalid switch x\n" + hint + "\n", 70},
        message_case{{"-eX"}, "Invalid switch X\n" + hint + "\n", 70},
        message_case{{"-rq"}, "Invalid switch q\n" + hint + "\n", 70},
        // '/' begins a file name here (a switch group only on Windows)
        message_case{{"/rq"}, no_chip, 70},
        message_case{{"+"}, "Chip name required for '+'\n\n", 70},
        message_case{{"+ATx"}, "Unsupported device x\n\n", 70},
        message_case{{"+atmega"}, "Unsupported device mega\n\n", 70},
        message_case{{"+at"}, "Unsupported device \n\n", 70},
        // ATmega165 differs from the table's mega165 in its signature: no alias
        message_case{{"+m165"}, "Unsupported device m165\n\n", 70},
        message_case{{"+mega8", "-wv"}, invalid_value("v", 'w'), 70},
        message_case{{"+mega8", "-Wv"}, invalid_value("v", 'W'), 70},
        message_case{{"-w+px"}, invalid_value("x", 'w'), 70},
        message_case{{"-bcx"}, invalid_value("x", 'b'), 70},
        message_case{{"-bv"}, invalid_value("v", 'b'), 70},
        message_case{{"a", "b", "c"}, "Too many files\n\n", 70},
        message_case{{"-ca.hex", "-c", "b.hex"}, "\tCan't use two files for CODE memory\na.hex\nb.hex\n\n", 70},
        message_case{{"a.hex", "-cb.hex"}, "\tCan't use two files for CODE memory\na.hex\nb.hex\n\n", 70},
        message_case{{"-da.hex", "-D", "b.hex"}, "\tCan't use two files for DATA memory\na.hex\nb.hex\n\n", 70},
        message_case{{"a.hex", "b.hex", "-dc.hex"}, "\tCan't use two files for DATA memory\nb.hex\nc.hex\n\n", 70},
        message_case{{"+mega8", "-c"}, "File name required for -C\n\n", 70},
        message_case{{"-rd"}, "File name required for -D\n\n", 70},
        message_case{{"-fA=1", "-fB=2"}, "Only one -F switch can be used, place all fuses in one switch\n\n", 70},
        message_case{{"-f", "-F"}, "Only one -F switch can be used, place all fuses in one switch\n\n", 70},
        message_case{{"-l"}, invalid_value("", 'l'), 70},
        message_case{{"-l3"}, invalid_value("3", 'l'), 70},
        message_case{{"-l+"}, invalid_value("", 'l'), 70},
        message_case{{"-L+3"}, invalid_value("3", 'L'), 70},
        message_case{{"-n0"}, invalid_value("0", 'n'), 70},
        message_case{{"-n65535"}, invalid_value("65535", 'n'), 70},
        message_case{{"-n12x"}, invalid_value("12x", 'n'), 70},
        message_case{{"-n-1"}, invalid_value("-1", 'n'), 70},
        message_case{{"-n99999999999999999999999"}, invalid_value("99999999999999999999999", 'n'), 70},
        message_case{{"-o999Hz"}, range, 70},
        message_case{{"-o40001"}, range, 70},
        message_case{{"-o0.5"}, range, 70},
        message_case{{"-o-5"}, range, 70},
        message_case{{"-onan"}, range, 70},
        message_case{{"-o1e30MHz"}, range, 70},
        message_case{{"-o800,2"}, divider, 70},
        message_case{{"-o0,33"}, invalid_value("0,33", 'o'), 70},
        message_case{{"-o0,0"}, invalid_value("0,0", 'o'), 70},
        message_case{{"-o0,8x"}, invalid_value("0,8x", 'o'), 70},
        message_case{{"-o"}, invalid_value("", 'o'), 70},
        message_case{{"-oabc"}, invalid_value("abc", 'o'), 70},
        message_case{{"-O4GHz"}, invalid_value("4GHz", 'O'), 70}));

INSTANTIATE_TEST_SUITE_P(
    checks, usage_messages,
    ::testing::Values(
        message_case{{"-e"}, no_chip, 70},
        message_case{{"-", "/"}, no_chip, 70},
        message_case{{"-o0,8", "-n", "-1"}, no_chip, 70},
        message_case{{"+mega8", "-r", "-w"}, "Can't both read and write or verify\n\n", 70},
        message_case{{"+mega8", "-rv", "x.hex"}, "Can't both read and write or verify\n\n", 70},
        message_case{{"+mega8", "-r"}, "Can't read without target files\n\n", 70},
        message_case{{"+mega8", "-w"}, "Can't write/verify without source files or fuse list\n\n", 70},
        message_case{{"+mega8", "-v+"}, "Can't write/verify without source files or fuse list\n\n", 70},
        message_case{{"+mega8", "a.hex"}, "Nothing to do with files, -r or -w or -v must be specified\n\n", 70},
        message_case{{"+mega8", "-e", "-dx.hex"},
                     "Nothing to do with files, -r or -w or -v must be specified\n\n", 70},
        // -c takes the next argument as the file name whatever it looks like
        message_case{{"+mega8", "-c", "-x"}, "Nothing to do with files, -r or -w or -v must be specified\n\n",
                     70}));

TEST(command_line, no_arguments_means_nothing_to_do)
{
    run_result r = run_morvin({});
    EXPECT_EQ(r.rest, "Nothing to do!\n" + hint + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST(command_line, echo_quotes_arguments_with_blanks)
{
    run_result r = run_morvin({"a b", "c\td", "-x"});
    EXPECT_EQ(r.rest, "Command:\n  \"a b\" \"c\td\" -x\nInvalid switch x\n" + hint + "\n");
}

TEST(command_line, parse_stops_at_first_error)
{
    // -n after the failing switch is never looked at
    run_result r = run_morvin({"-y", "-n"});
    EXPECT_EQ(r.status, 70);
    EXPECT_FALSE(last_options().erase_counter);
    // but what came before it was stored
    r = run_morvin({"-e", "-y", "-n"});
    EXPECT_TRUE(last_options().erase);
    EXPECT_FALSE(last_options().erase_counter);
}

TEST(command_line, unsupported_name_is_kept_as_typed_without_prefix)
{
    run_result r = run_morvin({"+ATfoo"});
    EXPECT_EQ(r.status, 70);
    ASSERT_NE(last_options().chip_name, nullptr);
    EXPECT_STREQ(last_options().chip_name, "foo");
}

TEST(command_line, an_alias_names_its_table_chip)
{
    // the prefix goes first, then the alias is the table's chip for everything after
    run_result r = run_morvin({"+ATmega8A", "-?"});
    EXPECT_EQ(r.status, 0);
    EXPECT_STREQ(last_options().chip_name, "mega8");
    const std::string head = echo("+ATmega8A -?") + "\nmega8 signature 1E9307\nFuse list\n";
    EXPECT_EQ(r.rest.compare(0, head.size(), head), 0) << r.rest;
    r = run_morvin({"+m328p", "+t13a", "-x"});
    EXPECT_EQ(r.status, 70);
    EXPECT_STREQ(last_options().chip_name, "tiny13A");
}

// ---- help ------------------------------------------------------------------

const char usage_tail[] = "\n\nFor latest versions see\nhttps://morvin.example.org/\n";

// The usage text as the program prints it for help.
std::string usage_text()
{
    captured_output capture;
    print_usage();
    return capture.text();
}

void expect_usage(const run_result &r, const std::string &command)
{
    EXPECT_EQ(r.status, 0);
    // the whole text, then the handler's empty line
    EXPECT_EQ(r.rest, echo(command) + usage_text() + "\n");
}

TEST(help, every_help_form_prints_the_usage_and_ends_with_status_0)
{
    expect_usage(run_morvin({"-h"}), "-h");
    expect_usage(run_morvin({"-?"}), "-?");
    expect_usage(run_morvin({"-H"}), "-H");
    // switches before it are parsed, arguments after it are not looked at
    expect_usage(run_morvin({"-e", "-?", "-x", "a", "b", "c"}), "-e -? -x a b c");
    expect_usage(run_morvin({"-eh"}), "-eh");
    // a chip named after the help switch is not looked at
    expect_usage(run_morvin({"-?", "+mega8"}), "-? +mega8");
}

TEST(help, plus_question_mark_lists_the_devices_with_their_aliases)
{
    captured_output listing;
    print_alias_list();
    const std::string aliases = listing.text();
    // switches before it are parsed, arguments after it are not looked at
    run_result r = run_morvin({"-e", "+?", "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.rest, echo("-e +? -x") + aliases + "\n");
    EXPECT_NE(aliases.find("\n mega328P               m328p\n"), std::string::npos) << aliases;
    // -h keeps its own list without the aliases
    r = run_morvin({"-h"});
    EXPECT_EQ(r.rest.find("m328p"), std::string::npos);
}

TEST(help, a_switch_error_before_help_wins)
{
    run_result r = run_morvin({"-x", "-h"});
    EXPECT_EQ(r.status, 70);
    EXPECT_EQ(r.rest, echo("-x -h") + "Invalid switch x\n" + hint + "\n");
}

// The switches' part of the usage text, word for word, as users and scripts know it.
std::string expected_usage_head()
{
    std::ifstream in(MORVIN_SOURCE_DIR "/tests/run/usage_head.txt", std::ios::binary);
    EXPECT_TRUE(in.good()) << "tests/run/usage_head.txt is missing";
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(help, usage_goes_through_the_formatter)
{
    const std::string text = usage_text();
    const std::string head = expected_usage_head();
    ASSERT_GT(head.size(), 1000u);
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_EQ(text.rfind("Use:\tmorvin [SWITCHES] [[-c] cfile] [-d dfile]\n"
                         "\tSwitches ( # represent number)\n\n -?,-h\t this help\n", 0), 0u) << text;
    // the percent signs of the debug switch come out halved, once
    EXPECT_NE(text.find("\n -%\tprint some debug info (use -%% in .bat files)\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("%%%%"), std::string::npos);
    // the switches end with the fuse-list hint; the device list and the address follow
    captured_output capture;
    print_device_list();
    const std::string end = "\tfor list of fuse names for chip 'name'\n" + capture.text() + usage_tail;
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
}

}  // namespace
