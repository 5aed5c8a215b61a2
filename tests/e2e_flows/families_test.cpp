// Whole runs on the chip families with their own write and clock rules, and runs that fail
// part way: nothing may look like success, and no half file may be left.
#include "flows.h"

using namespace flows;

namespace {

// Trace lines of reads between the first write and the last write.
int reads_between_writes(const std::string &trace, const std::string &read_note)
{
    std::istringstream in(trace);
    std::string line;
    int reads = 0, pending = 0;
    bool writing = false;
    while (std::getline(in, line)) {
        if (line.find("write") != std::string::npos) {
            writing = true;
            reads += pending;
            pending = 0;
        } else if (writing && line.find(read_note) != std::string::npos) {
            pending++;
        }
    }
    return reads;
}

TEST(E2eFamilies, At90sDataPollingSkipsItsBusyValues)
{
    // the AT90S reads 7F (flash) and 80/7F (EEPROM) while busy: those values can't be polled
    e2e::virtual_target t("90S2313", clocked("8000"));
    runs_t code = {{0x0000, {0x12, 0x7F, 0x34, 0x7F, 0x7F, 0x80, 0x00, 0x56}}};
    runs_t data = {{0x0000, {0x80, 0x7F, 0x21, 0x80}}};
    std::string c = hex_file(t, "c.hex", code), d = hex_file(t, "d.hex", data);

    auto r = t.morvin({"+90S2313", "-o8MHz", "-2", "-wp", "-v", c, "-d", d});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count_lines(r, " passed"), 2) << r.out;
    auto s = read_state(t);
    EXPECT_TRUE(holds(s.flash, code));
    EXPECT_TRUE(holds(s.eeprom, data));
    EXPECT_EQ(count_trace(t, "ignored: busy"), 0) << "a write went to a busy chip";
    EXPECT_GT(reads_between_writes(t.trace(), "flash_read"), 0) << "no data polling seen";
    EXPECT_GT(reads_between_writes(t.trace(), "eeprom_read"), 0) << "no data polling seen";
}

TEST(E2eFamilies, WritesTooShortForTheChipNeverPass)
{
    // the virtual 90S2313 needs 9 ms per byte; the table's 6 ms are not enough (32 bytes, so
    // that a host too busy to keep its own waits short can't stretch every one of them)
    e2e::virtual_target t("90S2313", clocked("8000"));
    std::string c = hex_file(t, "c.hex", {{0x0000, pattern(32, 5)}});
    auto r = t.morvin({"+90S2313", "-o8MHz", "-w", "-v", c});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(r.has("failed, ")) << r.out;

    // polled, 7F (the busy value) gets the timed wait; the chip is still busy with it, so
    // the next byte never shows up and the run ends at once
    std::string busy_first = hex_file(t, "b.hex", {{0x0000, {0x7F, 0x12}}});
    r = t.morvin({"+90S2313", "-o8MHz", "-e", "-wp", "-v", busy_first});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(has_line(r, "Poll: can't write byte to CODE memory at 0x1")) << r.out;
    EXPECT_FALSE(r.has("Verifying CODE memory"));
}

TEST(E2eFamilies, PagedChipWithReadyBusyPolling)
{
    e2e::virtual_target t("tiny2313", fast());
    runs_t code = {{0x0000, pattern(40, 1)}, {0x07F0, pattern(16, 2)}};
    runs_t data = {{0x0004, pattern(6, 3)}};
    std::string c = hex_file(t, "c.hex", code), d = hex_file(t, "d.hex", data);
    auto r = t.morvin({"+tiny2313", fast_osc, "-wp", "-v", c, "-d", d});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(count_lines(r, " passed"), 2) << r.out;
    EXPECT_TRUE(holds(read_state(t).flash, code));
    EXPECT_TRUE(holds(read_state(t).eeprom, data));
    EXPECT_GT(count_trace(t, "poll_busy"), 0) << "no ready/busy polling seen";
    EXPECT_EQ(count_trace(t, "ignored: busy"), 0);

    // a write that never finishes: polled, the page write times out; timed, verify fails
    e2e::virtual_target stuck("tiny2313", fast({{"VT_FAULT", "stuck_write"}}));
    r = stuck.morvin({"+tiny2313", fast_osc, "-wp", "-v", c});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(has_line(r, "Poll: can't write page at 0x0")) << r.out;
    r = stuck.morvin({"+tiny2313", fast_osc, "-w", "-v", c});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(r.has("failed, ")) << r.out;
}

TEST(E2eFamilies, Rf401UsesTheSlowClock)
{
    // 86RF401 wants SCK low 5 and high 17 chip clocks: a cycle of at least 22 clocks
    e2e::virtual_target t("86RF401", clocked("8000"));
    runs_t code = {{0x0000, pattern(12, 7)}}, data = {{0x0070, pattern(4, 9)}};
    std::string c = hex_file(t, "c.hex", code), d = hex_file(t, "d.hex", data);
    auto r = t.morvin({"+86RF401", "-o8MHz", "-e", "-w", "-v", c, "-d", d});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Device connected, 86RF401 detected")) << r.out;
    EXPECT_EQ(count_lines(r, " passed"), 2) << r.out;
    auto counters = t.counters();
    EXPECT_GE(counters["sck_period_ns"], 22u * 125u) << "SCK faster than the chip allows";
    EXPECT_EQ(counters["missed_edges"], 0u);

    std::string rc = t.path("rc.hex"), rd = t.path("rd.hex");
    r = t.morvin({"+86RF401", "-o8MHz", "-r", "-c", rc, "-d", rd});
    ASSERT_EQ(r.status, 0) << r.out;
    auto code_back = e2e::hex_bytes(rc), data_back = e2e::hex_bytes(rd);
    EXPECT_EQ(code_back.size(), 2048u);
    EXPECT_EQ(data_back.size(), 128u);
    EXPECT_TRUE(holds(std::map<uint32_t, uint8_t>(code_back.begin(), code_back.end()), code));
    EXPECT_TRUE(holds(std::map<uint32_t, uint8_t>(data_back.begin(), data_back.end()), data));
}

TEST(E2eFamilies, ChipLosingStepLeavesNoHalfFile)
{
    e2e::virtual_target t("mega8", fast());
    write_state(t, {{0x0000, pattern(64, 1)}}, {{0x0000, pattern(16, 2)}});
    std::string rc = t.path("rc.hex"), rd = t.path("rd.hex");

    // one SCK edge lost during the code read: the echoes may still look right, but the
    // run ends with status 40 before a file of shifted data is written
    t.set("VT_FAULT", "lose_after=3000");
    auto r = t.morvin({"+mega8", fast_osc, "-r", "-c", rc, "-d", rd});
    EXPECT_EQ(r.status, 40) << r.out;
    EXPECT_TRUE(has_line(r, "Synchronisation lost")) << r.out;
    EXPECT_FALSE(r.has("Total time"));
    EXPECT_FALSE(e2e::file_exists(rc));
    EXPECT_FALSE(e2e::file_exists(rd));

    // a write or verify that loses step never ends with status 0
    std::string image = hex_file(t, "w.hex", {{0x0000, pattern(600, 5)}});
    t.set("VT_FAULT", "lose_after=300");
    r = t.morvin({"+mega8", fast_osc, "-e", "-w", "-v", image});
    EXPECT_TRUE(r.status == 40 || r.status == 10) << r.out;
    EXPECT_TRUE(has_line(r, "Synchronisation lost") || r.has("failed, ")) << r.out;
    EXPECT_FALSE(r.has("Total time"));
}

}  // namespace
