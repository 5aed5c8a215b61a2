// Link set-up: reset, Programming Enable and resynchronisation, signature
// detection, opening and closing.
#include <chrono>

#include "fake_chip.h"
#include "run/options.h"

namespace {

typedef avr_test connect_test;

TEST_F(connect_test, InStepChipIsResetEnabledAndDetected)
{
    int32_t mega8 = use_chip("mega8");
    connect(target);

    // reset, settle, pulse, settle, then the commands
    ASSERT_GE(chip->events.size(), 5u);
    EXPECT_EQ(chip->events[0], "reset on");
    EXPECT_EQ(chip->events[1], "delay");
    EXPECT_EQ(chip->events[2], "pulse_reset");
    EXPECT_EQ(chip->events[3], "delay");
    EXPECT_EQ(chip->events[4], "transfer_block");
    EXPECT_EQ(chip->delays, (std::vector<float>{100.0f, 100.0f}));
    EXPECT_EQ(chip->commands, (std::vector<command_t>{cmd(0xAC, 0x53, 0x00, 0x00),
                                                      cmd(0x30, 0x00, 0x00, 0x00),
                                                      cmd(0x30, 0x00, 0x01, 0x00),
                                                      cmd(0x30, 0x00, 0x02, 0x00)}));
    EXPECT_EQ(chip->sck_pulses, 0);
    EXPECT_EQ(chip->reset_pulses, 1);

    EXPECT_EQ(output(),
              "\t% Reset\n"
              "\t% PgmOn reply  00 AC 53 00\n"
              "\t% Synchronised after 1 try\n"
              "\t% GetID reply  00 30 00 1E\n"
              "\t% GetID reply  00 30 00 93\n"
              "\t% GetID reply  00 30 00 07\n"
              "\t% Read ID: 0x1E9307\n"
              "Device connected, mega8 detected\n");
    EXPECT_EQ(target.detected_index(), mega8);
}

TEST_F(connect_test, ResyncByPulsesUntilInStep)
{
    struct resync_case {
        const char *name;
        int failures;
        const char *kind;
        int sck_pulses;
        int reset_pulses;
    };
    const resync_case cases[] = {{"90S2313", 3, "SCK pulse", 3, 1}, {"mega8", 2, "reset pulse", 0, 3}};
    for (const resync_case &c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        use_chip(c.name);
        chip->pe_failures = c.failures;
        connect(target);
        std::string text = output();
        // a try line is continued by the reply line of the Programming Enable it caused
        for (int i = 1; i <= c.failures; i++) {
            std::string line = "\t% Try " + std::to_string(i) + " to resync by " + c.kind +
                               "\t% PgmOn reply  00 AC " + (i < c.failures ? "00" : "53") + " 00\n";
            EXPECT_NE(text.find(line), std::string::npos) << line;
        }
        EXPECT_EQ(text.find("Try " + std::to_string(c.failures + 1)), std::string::npos);
        EXPECT_NE(text.find("\t% Synchronised after " + std::to_string(c.failures + 1) + " try\n"),
                  std::string::npos);
        EXPECT_EQ(chip->sck_pulses, c.sck_pulses);
        EXPECT_EQ(chip->reset_pulses, c.reset_pulses);
        EXPECT_EQ(chip->with_op(0xAC).size(), static_cast<size_t>(c.failures + 1));
        EXPECT_NE(text.find(std::string("Device connected, ") + c.name + " detected\n"),
                  std::string::npos);
    }
}

TEST_F(connect_test, TriesAreLimitedThenResyncFails)
{
    struct limit_case {
        const char *name;
        int sck_pulses;
        int reset_pulses;
        const char *last_try;
    };
    const limit_case cases[] = {
        {"90S2313", 32, 1, "\t% Try 32 to resync by SCK pulse"},
        {"tiny12", 32, 1, "\t% Try 32 to resync by SCK pulse"},
        {"mega8", 0, 1 + 4, "\t% Try 4 to resync by reset pulse"},
        {"86RF401", 0, 1 + 4, "\t% Try 4 to resync by reset pulse"},
    };
    for (const limit_case &c : cases) {
        SCOPED_TRACE(c.name);
        start_over();
        use_chip(c.name);
        chip->pe_failures = -1;
        EXPECT_EQ(exit_status_of([this] { connect(target); }), EXIT_SYNC_LOST);
        EXPECT_EQ(chip->sck_pulses, c.sck_pulses);
        EXPECT_EQ(chip->reset_pulses, c.reset_pulses);
        // the first Programming Enable and one after every pulse
        EXPECT_EQ(chip->with_op(0xAC).size(),
                  static_cast<size_t>(1 + c.sck_pulses + c.reset_pulses - 1));
        EXPECT_TRUE(chip->with_op(0x30).empty());
        std::string text = output();
        EXPECT_NE(text.find(c.last_try), std::string::npos);
        EXPECT_EQ(text.substr(text.size() - 13), "Can't resync\n");
        EXPECT_EQ(text.find("Synchronised"), std::string::npos);
    }
}

TEST_F(connect_test, SyncRulesComeFromTheNamedChipNotAnEarlierDetection)
{
    use_chip("mega8");
    target.set_device(find_device("90S2313"));
    chip->pe_failures = -1;
    EXPECT_EQ(exit_status_of([this] { connect(target); }), EXIT_SYNC_LOST);
    EXPECT_EQ(chip->sck_pulses, 0);
    EXPECT_EQ(chip->reset_pulses, 1 + 4);
}

TEST_F(connect_test, NoSyncChipGoesStraightToSignature)
{
    int32_t index = use_chip("90S1200");
    chip->pe_failures = -1;
    connect(target);
    std::string text = output();
    EXPECT_EQ(text.find("Synchronised"), std::string::npos);
    EXPECT_EQ(text.find("Try"), std::string::npos);
    EXPECT_EQ(chip->with_op(0xAC).size(), 1u);
    EXPECT_EQ(chip->with_op(0x30).size(), 3u);
    EXPECT_EQ(chip->sck_pulses + chip->reset_pulses, 1);
    EXPECT_NE(text.find("Device connected, 90S1200 detected\n"), std::string::npos);
    EXPECT_EQ(target.detected_index(), index);
}

TEST_F(connect_test, UnknownSignaturesAreReportedNotFailed)
{
    struct id_case {
        uint8_t bytes[3];
        const char *line;
    };
    const id_case cases[] = {
        {{0x00, 0x01, 0x02}, "Device connected, but not recognised, ID: 0x000102 (looks as protected)\n"},
        {{0xFF, 0xFF, 0xFF}, "Device connected, but not recognised, ID: 0xFFFFFF \n"},
        {{0x1E, 0x01, 0x02}, "Device connected, but not recognised, ID: 0x1E0102 \n"},
    };
    for (const id_case &c : cases) {
        start_over();
        use_chip("mega8");
        target.set_device(find_device("mega8"));  // an earlier detection is overwritten
        std::copy(c.bytes, c.bytes + 3, chip->signature);
        connect(target);
        std::string text = output();
        char read_line[40];
        snprintf(read_line, sizeof read_line, "\t%% Read ID: 0x%02X%02X%02X\n", c.bytes[0],
                 c.bytes[1], c.bytes[2]);
        EXPECT_NE(text.find(read_line), std::string::npos) << read_line;
        ASSERT_GE(text.size(), strlen(c.line));
        EXPECT_EQ(text.substr(text.size() - strlen(c.line)), c.line);
        EXPECT_EQ(target.detected_index(), -1);
    }
}

TEST_F(connect_test, SharedSignaturePrefersTheNamedRecord)
{
    const char *const names[] = {"tiny22", "tiny22L", "TINY22l"};
    const char *const expected[] = {"tiny22", "tiny22L", "tiny22L"};
    for (int i = 0; i < 3; i++) {
        start_over();
        use_chip(names[i]);
        connect(target);
        EXPECT_NE(output().find(std::string("Device connected, ") + expected[i] + " detected\n"),
                  std::string::npos)
            << names[i];
        EXPECT_STREQ(device_name(target.detected_index()), expected[i]);
    }
}

TEST_F(connect_test, BrokenEchoInSignatureReadLosesSync)
{
    use_chip("mega8");
    chip->corrupt_echo_at = 2;  // second signature byte
    EXPECT_EQ(exit_status_of([this] { connect(target); }), EXIT_SYNC_LOST);
    std::string text = output();
    EXPECT_EQ(text.substr(text.size() - 22), "\nSynchronisation lost\n");
    EXPECT_EQ(text.find("Device connected"), std::string::npos);
    EXPECT_EQ(chip->with_op(0x30).size(), 2u);
}

TEST_F(connect_test, TraceLineShowsCommandAndReply)
{
    const uint8_t command[4] = {0x50, 0x00, 0x00, 0x00};
    const uint8_t reply[4] = {0x00, 0x50, 0x00, 0x6A};
    trace_command(MSG_TRACE, "Read Fuses", command, reply);
    msg_out.level = MSG_DEBUG;
    trace_command(MSG_TRACE, "hidden", command, reply);
    EXPECT_EQ(output(), "\t% Read Fuses\tcommand 50 00 00 00,  reply 00 50 00 6A\n");
}

typedef avr_test link_open_test;

TEST_F(link_open_test, PlainAdapterOpensAndClosesWithResetOnly)
{
    use_chip("mega8");
    msg_out.level = MSG_INFO;
    link_open(target);
    EXPECT_EQ(chip->count_events("power_on"), 0);
    EXPECT_EQ(chip->count_events("enable"), 0);
    EXPECT_EQ(chip->events.front(), "reset on");
    EXPECT_EQ(chip->with_op(0x58).size(), 1u);  // lock state read after detection
    EXPECT_EQ(output(), "Device connected, mega8 detected\nChip not locked\n");

    chip->events.clear();
    link_close(target);
    EXPECT_EQ(chip->events, (std::vector<std::string>{"reset off"}));
    EXPECT_EQ(output(), "Device connected, mega8 detected\nChip not locked\nReset pin released\n");
}

TEST_F(link_open_test, PowerAndEnableAreSwitchedWithHostWaits)
{
    use_chip("mega8");
    msg_out.level = MSG_INFO;
    chip->power = true;
    chip->enable = true;
    chip->lock_byte = 0xFC;  // both lock bits programmed

    auto started = std::chrono::steady_clock::now();
    link_open(target);
    auto opened = std::chrono::steady_clock::now();
    ASSERT_GE(chip->events.size(), 3u);
    EXPECT_EQ(chip->events[0], "power_on");
    EXPECT_EQ(chip->events[1], "enable");
    EXPECT_EQ(chip->events[2], "reset on");
    // the supply wait is not an adapter delay
    EXPECT_EQ(chip->delays, (std::vector<float>{100.0f, 100.0f}));
    EXPECT_GE(opened - started, std::chrono::milliseconds(295));

    chip->events.clear();
    link_close(target);
    auto closed = std::chrono::steady_clock::now();
    EXPECT_EQ(chip->events, (std::vector<std::string>{"reset off", "disable", "power_off"}));
    EXPECT_GE(closed - opened, std::chrono::milliseconds(295));
    EXPECT_EQ(output(),
              "Power ON\nAdapter enabled\nDevice connected, mega8 detected\n"
              "Chip locked - reading and programming disabled\n"
              "Reset pin released\nAdapter disabled\nPower OFF\n");
    EXPECT_EQ(target.lock_state, 2);
}

TEST_F(link_open_test, CloseDoesNothingUnlessOpenedWithAnAdapter)
{
    link_close(target);
    EXPECT_TRUE(chip->events.empty());
    EXPECT_EQ(output(), "");

    use_chip("mega8");
    link_open(target);
    EXPECT_EQ(target.lock_state, 0);
    target = avr_target_t(target.settings, chip);  // a fresh target: link closed, lock state unknown
    EXPECT_EQ(target.lock_state, -1);
    chip->events.clear();
    link_close(target);
    EXPECT_TRUE(chip->events.empty());

    link_open(target);
    target.adapter = nullptr;
    chip = nullptr;
    link_close(target);  // adapter gone: nothing to release, no crash
    EXPECT_EQ(output().find("Reset pin released"), std::string::npos);
}

}  // namespace
