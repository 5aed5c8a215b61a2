// Whole runs: which chip answers, a wrong or unknown chip with and without -!, and
// bringing an out-of-step chip back.
#include "flows.h"

using namespace flows;

namespace {

TEST(E2eDetection, WrongChipNamedStopsUnlessForced)
{
    e2e::virtual_target t("mega328P", fast());
    runs_t flash = {{0x0000, pattern(64, 1)}, {0x1FC0, pattern(64, 9)}, {0x2000, pattern(32, 3)}};
    write_state(t, flash, {});
    std::string out = t.path("read.hex");

    auto r = t.morvin({"+mega8", fast_osc, "-r", "-c", out});
    EXPECT_EQ(r.status, 30) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, mega328P detected", "Chip not locked",
                                   "Requested <mega8>, detected <mega328P>", "Can't continue"}))
        << r.out;
    EXPECT_FALSE(has_line(r, "Reading CODE memory")) << r.out;
    EXPECT_FALSE(e2e::file_exists(out));

    // forced, the run goes on with the named chip's sizes: 8 KiB of code
    r = t.morvin({"+mega8", fast_osc, "-!", "-r", "-c", out});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, mega328P detected", "Requested <mega8>, detected <mega328P>",
                                   "Device type forced to mega8", "Reading CODE memory"}))
        << r.out;
    EXPECT_FALSE(has_line(r, "Can't continue"));
    auto bytes = e2e::hex_bytes(out);
    ASSERT_EQ(bytes.size(), 8192u);
    EXPECT_EQ(bytes.rbegin()->first, 0x1FFFu);
    for (auto &b : bytes)
        ASSERT_EQ(b.second, read_state(t).flash_at(b.first)) << "at " << b.first;
    EXPECT_TRUE(holds(std::map<uint32_t, uint8_t>(bytes.begin(), bytes.end()),
                      {{0x0000, pattern(64, 1)}, {0x1FC0, pattern(64, 9)}}));
}

TEST(E2eDetection, AnAliasIsItsTableChip)
{
    e2e::virtual_target t("mega328P", fast());
    // one file: what lies above the 32 KiB of flash goes to the EEPROM
    runs_t code = {{0x0000, pattern(200, 3)}, {0x7F80, pattern(128, 8)}};
    runs_t data = {{0x0000, pattern(16, 50)}};
    runs_t both = code;
    both[0x8000] = data.at(0);
    std::string image = hex_file(t, "both.hex", both);

    auto r = t.morvin({"+m328p", fast_osc, "-e", "-w", "-v", image});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, mega328P detected", "Device erased", "Programming CODE memory",
                                   "Verifying CODE memory", " passed", "Programming DATA memory",
                                   "Verifying DATA memory", " passed"}))
        << r.out;
    EXPECT_EQ(r.out.find("Requested"), std::string::npos) << r.out;
    auto s = read_state(t);
    EXPECT_TRUE(holds(s.flash, code));
    EXPECT_TRUE(holds(s.eeprom, data));

    // a variant's name compares as its table chip
    r = t.morvin({"+ATmega8A", fast_osc, "-r", "-c", t.path("read.hex")});
    EXPECT_EQ(r.status, 30) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, mega328P detected", "Requested <mega8>, detected <mega328P>",
                                   "Can't continue"}))
        << r.out;
}

TEST(E2eDetection, ProtectedChipIsUnknownUntilErased)
{
    // a fully locked AT90S hides its signature behind 00 01 02
    e2e::virtual_target t("90S2313", clocked("8000"));
    write_state(t, {{0x0000, pattern(16, 5)}}, {}, "lock F9\n");
    std::string image = hex_file(t, "code.hex", {{0x0000, pattern(16, 5)}});

    auto r = t.morvin({"+90S2313", "-o8MHz", "-v", image});
    EXPECT_EQ(r.status, 30) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, but not recognised, ID: 0x000102 (looks as protected)",
                                   "Can't continue"}))
        << r.out;
    EXPECT_FALSE(has_line(r, "Verifying CODE memory"));
    EXPECT_FALSE(has_line(r, "Requested <90S2313>, detected <90S2313>"));

    // forced, the named chip's data serves: the erase unlocks it and it answers again
    r = t.morvin({"+90S2313", "-o8MHz", "-!", "-e", "-b"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, but not recognised, ID: 0x000102 (looks as protected)",
                                   "Device erased", "Device connected, 90S2313 detected", "Blank check",
                                   "Code:  done", "  blank", "Data:  done", "  blank"}))
        << r.out;
    EXPECT_EQ(read_state(t).lock, 0xFFu);
    EXPECT_TRUE(read_state(t).flash.empty());
}

TEST(E2eDetection, AbsentChipNeverPassesForAnother)
{
    // a chip that needs Programming Enable's echo: no echo, no run, forced or not
    {
        e2e::virtual_target t("mega8", fast({{"VT_FAULT", "absent"}}));
        for (bool force : {false, true}) {
            std::vector<std::string> args = {"+mega8", fast_osc, "-r", "-c", t.path("r.hex")};
            if (force)
                args.push_back("-!");
            auto r = t.morvin(args);
            EXPECT_EQ(r.status, 40) << r.out;
            EXPECT_TRUE(has_line(r, "Can't resync")) << r.out;
            EXPECT_FALSE(has_line(r, "Device type forced to mega8"));
            EXPECT_FALSE(e2e::file_exists(t.path("r.hex")));
        }
    }
    // 90S1200 is not synchronised: a missing chip fails the first echo check, forced or not
    e2e::virtual_target t("90S1200", clocked("4000", {{"VT_FAULT", "absent"}}));
    std::string out = t.path("r.hex");
    for (bool force : {false, true}) {
        std::vector<std::string> args = {"+90S1200", "-o4MHz", "-r", "-c", out};
        if (force)
            args.push_back("-!");
        auto r = t.morvin(args);
        EXPECT_EQ(r.status, 40) << r.out;
        EXPECT_TRUE(has_line(r, "Synchronisation lost")) << r.out;
        EXPECT_FALSE(r.has("Device connected")) << r.out;
        EXPECT_FALSE(r.has("Reading CODE memory")) << r.out;
        EXPECT_FALSE(e2e::file_exists(out));
    }
}

TEST(E2eDetection, OutOfStepChipsComeBack)
{
    // AT90S chips slip one bit per SCK pulse; later chips need reset pulses
    e2e::virtual_target at90("90S8515", clocked("8000", {{"VT_FAULT", "offset=5"}}));
    auto r = at90.morvin({"+90S8515", "-o8MHz", "-%"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Device connected, 90S8515 detected")) << r.out;
    EXPECT_TRUE(r.has("\t% Try 1 to resync by SCK pulse")) << r.out;
    EXPECT_FALSE(r.has("by reset pulse"));
    EXPECT_FALSE(r.has("Synchronised after 1 try"));

    e2e::virtual_target mega("mega8", fast({{"VT_FAULT", "offset=5"}}));
    r = mega.morvin({"+mega8", fast_osc, "-%"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Device connected, mega8 detected")) << r.out;
    EXPECT_TRUE(r.has("\t% Try 1 to resync by reset pulse")) << r.out;
    EXPECT_FALSE(r.has("by SCK pulse"));

    // never in step: 32 SCK pulses, then the run ends
    e2e::virtual_target lost("90S2313", clocked("8000", {{"VT_FAULT", "never_sync"}}));
    r = lost.morvin({"+90S2313", "-o8MHz", "-%"});
    EXPECT_EQ(r.status, 40) << r.out;
    EXPECT_TRUE(r.has("Try 32 to resync by SCK pulse")) << r.out;
    EXPECT_FALSE(r.has("Try 33 "));
    EXPECT_TRUE(has_line(r, "Can't resync"));
}

}  // namespace
