// Pin maps: inline and file forms, every message, merge and checks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "adapters/pin_map.h"
#include "expected_map.h"
#include "fake_lpt.h"

namespace fs = std::filesystem;

namespace {

struct parse_result {
    int status;
    std::string messages;
    pin_map_t map;
};

parse_result parse(const char *text, const pin_def_t *table = lpt_pin_table)
{
    parse_result result;
    clear_pin_map(result.map);
    message_capture messages;
    result.status = status_of([&] { parse_pin_map(result.map, text, table); }, EXIT_OK);
    result.messages = messages.text();
    return result;
}

void expect_refused(const char *text, const std::string &message, const pin_def_t *table = lpt_pin_table)
{
    SCOPED_TRACE(text);
    parse_result result = parse(text, table);
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_EQ(message, result.messages);
}

TEST(pin_map, fresh_map_is_empty)
{
    pin_map_t map;
    memset(&map, 0x5A, sizeof map);
    clear_pin_map(map);
    EXPECT_EQ('\0', map.name[0]);
    for (const auto &signal : map.signals)
        EXPECT_FALSE(signal.defined());
}

TEST(pin_map, text_without_separator_leaves_map_alone)
{
    parse_result result = parse("m");
    EXPECT_EQ(0, result.status);
    EXPECT_EQ("", result.messages);
    EXPECT_EQ('\0', result.map.name[0]);
    for (const auto &signal : result.map.signals)
        EXPECT_FALSE(signal.defined());
}

TEST(pin_map, inline_map_sets_masks_by_line_polarity)
{
    parse_result result = parse("m:name=My cable:mosi=D5:miso=ACK:sck=D6:reset=D4");
    ASSERT_EQ(0, result.status) << result.messages;
    expect_map(result.map,
               {"My cable", {{SIG_MOSI, {0x20, 0}}, {SIG_MISO, {0x4000, 0}}, {SIG_SCK, {0x40, 0}}, {SIG_RESET, {0x10, 0}}}});

    // Lines that the port inverts: a plain name still means "high while active".
    result = parse("m:miso=BUSY:enable=~ALF:power=D0,D1,D2,D7:set=~D3,~D4:xtal=STROBE");
    ASSERT_EQ(0, result.status) << result.messages;
    expect_map(result.map, {"",
                            {{SIG_MISO, {0, 0x8000}},
                             {SIG_ENABLE, {0x20000, 0}},
                             {SIG_POWER, {0x87, 0}},
                             {SIG_SET, {0, 0x18}},
                             {SIG_XTAL, {0, 0x10000}}}});
}

TEST(pin_map, names_match_without_case_and_blanks_are_trimmed)
{
    parse_result result = parse("m:MOSI=d5: Reset = ~ d4 ::Led_OK=init , bidir_en:");
    // "~ d4": nothing after the '~' is trimmed again
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_EQ("adapter: invalid pin name ' d4'\n", result.messages);

    result = parse("m:MOSI=d5: Reset = ~d4 ::Led_OK=init , bidir_en:");
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_EQ(0x20u, result.map.signals[SIG_MOSI].high_mask);
    EXPECT_EQ(0x10u, result.map.signals[SIG_RESET].low_mask);
    EXPECT_EQ(0x240000u, result.map.signals[SIG_LED_OK].high_mask);
}

TEST(pin_map, name_is_cut_and_blank_inline_name_stays_empty)
{
    parse_result result = parse("m:name=  0123456789012345678901234567890123456789ABC  ");
    ASSERT_EQ(0, result.status);
    EXPECT_STREQ("012345678901234567890123456789012345678", result.map.name);

    result = parse("m:name=   :name=Second");
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_STREQ("Second", result.map.name);
}

TEST(pin_map, entry_messages)
{
    expect_refused("m=", "Invalid adapter switch 'm='\n");
    expect_refused("m:", "Invalid adapter switch 'm:'\n");
    expect_refused("m:mosi", "adapter: invalid string 'mosi'\n");
    expect_refused("m:mosi=", "adapter: invalid string 'mosi='\n");
    expect_refused("m:name=A:name=B", "adapter: duplicate keyword 'name'\n");
    expect_refused("m:clock=D1", "adapter: invalid signal name 'clock'\n");
}

TEST(pin_map, signal_and_pin_messages)
{
    expect_refused("m:mosi=D5:mosi=D6", "adapter: duplicate signal name 'mosi'\n");
    expect_refused("m:mosi=D5: MOSI =D6", "adapter: duplicate signal name 'MOSI'\n");
    expect_refused("m:mosi=D8", "adapter: invalid pin name 'D8'\n");
    expect_refused("m:mosi=~Q", "adapter: invalid pin name 'Q'\n");
    expect_refused("m:mosi=D5,D5", "adapter: can't use 'D5' for 'mosi' - already used for 'mosi'\n");
    expect_refused("m:sck=d6:Mosi=~D6",
                   "adapter: can't use 'D6' for 'Mosi' - already used for 'sck'\n");
    expect_refused("m:miso=D0", "adapter: can't use output pin 'D0' for input signal 'miso'\n");
    expect_refused("m:reset=busy", "adapter: can't use input pin 'BUSY' for output signal 'reset'\n");
    expect_refused("m:button=ALF", "adapter: can't use output pin 'ALF' for input signal 'button'\n");
}

TEST(pin_map, ft2232_pins_serve_both_directions)
{
    parse_result result = parse("ft2232:miso=adbus2:mosi=~ADBUS1:led_ok=acbus3", ft2232_pin_table);
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_EQ(0x004u, result.map.signals[SIG_MISO].high_mask);
    EXPECT_EQ(0x002u, result.map.signals[SIG_MOSI].low_mask);
    EXPECT_EQ(0x800u, result.map.signals[SIG_LED_OK].high_mask);
    expect_refused("ft2232:mosi=D5", "adapter: invalid pin name 'D5'\n", ft2232_pin_table);
    expect_refused("ft2232:mosi=adbus1:sck=adbus1",
                   "adapter: can't use 'adbus1' for 'sck' - already used for 'mosi'\n", ft2232_pin_table);
}

TEST(pin_map, lpt_table_layout)
{
    // data 0..7, status 8..15, control 16..23; directions by register
    int count = 0;
    for (const pin_def_t *pin = lpt_pin_table; pin->name; pin++, count++) {
        SCOPED_TRACE(pin->name);
        if (pin->mask <= 0xFF)
            EXPECT_EQ(PIN_OUTPUT, pin->direction);
        else if (pin->mask <= 0xFF00)
            EXPECT_EQ(PIN_INPUT, pin->direction);
        else
            EXPECT_EQ(PIN_OUTPUT, pin->direction);
    }
    EXPECT_EQ(18, count);
    EXPECT_STREQ("reset", signal_table[SIG_RESET].name);
    EXPECT_STREQ("button", signal_table[SIG_BUTTON].name);
}

TEST(pin_map, merge_fills_only_what_is_missing)
{
    pin_map_t defaults, map;
    clear_pin_map(defaults);
    clear_pin_map(map);
    strcpy(defaults.name, "Default");
    defaults.signals[SIG_MOSI] = {0x02, 0};
    defaults.signals[SIG_SCK] = {0x01, 0};
    defaults.signals[SIG_RESET] = {0, 0x10};
    map.signals[SIG_MOSI] = {0, 0x40};
    merge_pin_map(map, defaults);
    EXPECT_STREQ("Default", map.name);
    EXPECT_EQ(0u, map.signals[SIG_MOSI].high_mask);
    EXPECT_EQ(0x40u, map.signals[SIG_MOSI].low_mask);
    EXPECT_EQ(0x01u, map.signals[SIG_SCK].high_mask);
    EXPECT_EQ(0x10u, map.signals[SIG_RESET].low_mask);
    EXPECT_FALSE(map.signals[SIG_XTAL].defined());

    strcpy(map.name, "Mine");
    merge_pin_map(map, defaults);
    EXPECT_STREQ("Mine", map.name);
}

TEST(pin_map, required_signals_and_allowed_pins)
{
    pin_map_t map;
    clear_pin_map(map);
    map.signals[SIG_MOSI] = {0x20, 0};
    map.signals[SIG_SCK] = {0, 0x10000};
    const int required[] = {SIG_MOSI, SIG_SCK, SIG_RESET, SIG_MISO};
    {
        message_capture messages;
        EXPECT_EQ(EXIT_USAGE, exit_status_of([&] { require_signals(map, required, 4); }));
        EXPECT_EQ("reset must be defined\n", messages.text());
    }
    map.signals[SIG_RESET] = {0x10, 0};
    map.signals[SIG_MISO] = {0x4000, 0};
    require_signals(map, required, 4);
    const int data_only[] = {SIG_MOSI, SIG_SCK, SIG_RESET, SIG_XTAL};
    {
        message_capture messages;
        EXPECT_EQ(EXIT_USAGE,
                  exit_status_of([&] { require_pins_within(map, data_only, 4, 0xFF, "D0..D7 lines"); }));
        EXPECT_EQ("sck must be in D0..D7 lines\n", messages.text());
    }
    map.signals[SIG_SCK] = {0x40, 0};
    require_pins_within(map, data_only, 4, 0xFF, "D0..D7 lines");
}

// Configuration files found through MORVIN_CONFIG_PATH.
class pin_map_file : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() /
              ("morvin_maps_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(dir);
        fs::create_directories(dir / "a");
        fs::create_directories(dir / "b");
        const char *old = getenv("MORVIN_CONFIG_PATH");
        saved = old ? old : "";
        had_path = old != nullptr;
        std::string path = (dir / "a").string() + ";;" + (dir / "b").string() + "/";
        setenv("MORVIN_CONFIG_PATH", path.c_str(), 1);
    }
    void TearDown() override
    {
        if (had_path)
            setenv("MORVIN_CONFIG_PATH", saved.c_str(), 1);
        else
            unsetenv("MORVIN_CONFIG_PATH");
        fs::remove_all(dir);
    }
    void write(const fs::path &path, const std::string &text) { std::ofstream(path, std::ios::binary) << text; }

    fs::path dir;
    std::string saved;
    bool had_path = false;
};

TEST_F(pin_map_file, lines_comments_and_blanks)
{
    write(dir / "b" / "cable.cfg",
          "# my cable\n"
          "name = Home made   ; the name\n"
          "\n"
          "   \t\n"
          "  sck = D6   # clock\n"
          "mosi=D5\r\n"
          "miso = ~busy\n"
          "reset=D4;D3\n");
    parse_result result = parse("m=cable.cfg");
    ASSERT_EQ(0, result.status) << result.messages;
    // "~busy": the inverted line named inverted is high while active; D3 stands in a comment
    expect_map(result.map, {"Home made",
                            {{SIG_SCK, {0x40, 0}}, {SIG_MOSI, {0x20, 0}}, {SIG_MISO, {0x8000, 0}}, {SIG_RESET, {0x10, 0}}}});
    EXPECT_TRUE(contains(result.messages, "\t% loading config file '")) << result.messages;
    EXPECT_TRUE(contains(result.messages, (dir / "b").string())) << result.messages;
}

TEST_F(pin_map_file, first_directory_wins)
{
    write(dir / "a" / "x.cfg", "mosi=D1\n");
    write(dir / "b" / "x.cfg", "mosi=D2\n");
    parse_result result = parse("m=x.cfg");
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_EQ(0x02u, result.map.signals[SIG_MOSI].high_mask);
}

TEST_F(pin_map_file, one_entry_per_line)
{
    write(dir / "a" / "one.cfg", "mosi=D5:sck=D6\n");
    EXPECT_EQ(EXIT_USAGE, parse("m=one.cfg").status);
    EXPECT_TRUE(ends_with(parse("m=one.cfg").messages, "adapter: invalid pin name 'D5:sck=D6'\n"));
}

TEST_F(pin_map_file, blank_name_in_a_file_is_an_invalid_string)
{
    write(dir / "a" / "blank.cfg", "name=   \n");
    parse_result result = parse("m=blank.cfg");
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_TRUE(ends_with(result.messages, "adapter: invalid string 'name='\n")) << result.messages;
}

TEST_F(pin_map_file, long_lines_are_read_whole)
{
    // Longer than one read of 511 characters: the tail of the line is not an
    // entry of its own, so a long comment stays a comment.
    write(dir / "a" / "long.cfg",
          "name=" + std::string(506, 'x') + "sck=D6\n"
          "# " + std::string(600, '-') + " reset=D7\n"
          "mosi=D5 ;" + std::string(1200, ' ') + "miso=ACK\n"
          "sck=D1\n");
    parse_result result = parse("m=long.cfg");
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_EQ(std::string(39, 'x'), result.map.name);
    EXPECT_EQ(0x02u, result.map.signals[SIG_SCK].high_mask);
    EXPECT_EQ(0x20u, result.map.signals[SIG_MOSI].high_mask);
    EXPECT_FALSE(result.map.signals[SIG_RESET].defined());
    EXPECT_FALSE(result.map.signals[SIG_MISO].defined());

    // a long entry is read as one, and its last piece needs no line end
    write(dir / "a" / "tail.cfg", "reset=" + std::string(700, ' ') + "D7");
    result = parse("m=tail.cfg");
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_EQ(0x80u, result.map.signals[SIG_RESET].high_mask);
}

TEST_F(pin_map_file, missing_file)
{
    parse_result result = parse("m=nothere.cfg");
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_TRUE(ends_with(result.messages, "File 'nothere.cfg' not found\n")) << result.messages;
}

TEST_F(pin_map_file, file_named_by_its_path)
{
    fs::path path = dir / "direct.cfg";
    write(path, "xtal=D3\n");
    std::string text = "m=" + path.string();
    parse_result result = parse(text.c_str());
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_EQ(0x08u, result.map.signals[SIG_XTAL].high_mask);
}

}  // namespace
