// The MPSSE bytes that whole runs send, as the virtual FT2232 logs them.
#include "ftdi_e2e.h"

#include <cctype>

using namespace ftdi_e2e;

namespace {

// The 4-byte commands the chip saw, in order, as "AC 53 00 00" (its trace lines read
// "<time> ms  AC 53 00 00 -> 00 AC 53 00  pgm_enable").
std::vector<std::string> chip_commands(const std::string &trace)
{
    std::vector<std::string> result;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(" ms  ");
        if (at == std::string::npos || line.compare(at + 16, 4, " -> ") != 0)
            continue;
        std::string command = line.substr(at + 5, 11);
        bool hex = command.size() == 11;
        for (size_t i = 0; hex && i < 11; i++)
            hex = i % 3 == 2 ? command[i] == ' ' : isxdigit((unsigned char)command[i]) != 0;
        if (hex)
            result.push_back(command);
    }
    return result;
}

std::vector<std::string> slice(const std::vector<std::string> &v, size_t from, size_t count)
{
    if (from >= v.size())
        return {};
    return std::vector<std::string>(v.begin() + (long)from, v.begin() + (long)std::min(v.size(), from + count));
}

class mpsse_stream : public ::testing::TestWithParam<way_t> {};

TEST_P(mpsse_stream, detection_at_the_default_clock)
{
    // -o left at 800 kHz: divisor 31 (0.1875 MHz), a reset pulse of four pin commands
    ftdi_target t(GetParam(), "mega328P", {{"VT_CLOCK_KHZ", "800"}, {"VT_USB_LATENCY_US", "100"}});
    auto r = t.run({"+mega328P", "-aft2232"});
    ASSERT_EQ(r.status, 0) << r.out;
    auto usb = usb_lines(t.trace());
    const std::vector<std::string> head = {
        "usb bitmode 00 02",  // MPSSE
        "mpsse 86 1F 00",     // divisor
        "mpsse 87",
        "usb purge 01",
        "mpsse 80 08 0B",  // enable: RESET released, SCK and MOSI low, all three driven
        "mpsse 82 00 00",
        "mpsse 80 00 0B",  // reset held
        "mpsse 82 00 00",
        "mpsse 80 08 0B",  // pulse: released for four pin commands, then held again
        "mpsse 80 08 0B",
        "mpsse 80 08 0B",
        "mpsse 80 08 0B",
        "mpsse 80 00 0B",
        "mpsse 31 03 00 AC 53 00 00",  // Programming Enable, answered at once
        "mpsse 87",
    };
    const std::vector<std::string> tail = {
        "mpsse 80 08 0B",  // reset released
        "mpsse 82 00 00",
        "mpsse 80 00 00",  // every pin an input
        "mpsse 82 00 00",
        "usb bitmode 00 00",
    };
    ASSERT_GE(usb.size(), head.size() + tail.size());
    EXPECT_EQ(slice(usb, 0, head.size()), head);
    EXPECT_EQ(slice(usb, usb.size() - tail.size(), tail.size()), tail);

    // in between, each chip command is one transfer with its send-immediate
    auto commands = chip_commands(t.trace());
    ASSERT_GE(commands.size(), 9u) << "enable, 3 signature bytes, lock, calibration, 4 fuse reads";
    EXPECT_EQ(commands[0], "AC 53 00 00");
    std::vector<std::string> expected;
    for (size_t i = 1; i < commands.size(); i++) {
        expected.push_back("mpsse 31 03 00 " + commands[i]);
        expected.push_back("mpsse 87");
    }
    EXPECT_EQ(slice(usb, head.size(), usb.size() - head.size() - tail.size()), expected);
    EXPECT_EQ(slice(commands, 1, 3), (std::vector<std::string>{"30 00 00 00", "30 00 01 00", "30 00 02 00"}));
}

TEST_P(mpsse_stream, reset_on_the_high_byte_port)
{
    ftdi_target t(GetParam(), "mega328P", fast_vars({{"VT_FTDI_RESET", "acbus0"}}));
    auto r = t.run({"+mega328P", "-aft2232:reset=acbus0", fast_osc});
    ASSERT_EQ(r.status, 0) << r.out;
    auto usb = usb_lines(t.trace());
    const std::vector<std::string> head = {
        "usb bitmode 00 02",
        "mpsse 86 02 00",  // 2 MHz
        "mpsse 87",
        "usb purge 01",
        "mpsse 80 00 03",  // SCK, MOSI driven low; RESET on acbus0 high
        "mpsse 82 01 01",
        "mpsse 80 00 03",
        "mpsse 82 00 01",
        "mpsse 82 01 01",  // one pin command at 2 MHz, the low port untouched
        "mpsse 82 00 01",
        "mpsse 31 03 00 AC 53 00 00",
        "mpsse 87",
    };
    EXPECT_EQ(slice(usb, 0, head.size()), head);
    EXPECT_EQ(slice(usb, usb.size() - 5, 5), (std::vector<std::string>{"mpsse 80 00 03", "mpsse 82 01 01",
                                                                        "mpsse 80 00 00", "mpsse 82 00 00",
                                                                        "usb bitmode 00 00"}));
}

TEST_P(mpsse_stream, pages_go_out_in_one_write_and_verification_reads_whole_blocks)
{
    ftdi_target t(GetParam(), "mega328P");
    bytes_t page = pattern(128, 51), rest = pattern(600, 52);
    auto r = t.run({"+mega328P", "-aft2232", fast_osc, "-e", "-w", "-v",
                    hex_file(t, "code.hex", {{0x0080, page}, {0x0200, rest}})});
    ASSERT_EQ(r.status, 0) << r.out;
    auto usb = usb_lines(t.trace());

    // one page: 64 words, two load commands each, in one 0x11 command of 512 bytes
    std::string loads = "mpsse 11 FF 01";
    char byte[16];
    for (unsigned i = 0; i < 128; i++) {
        unsigned word = (0x80 + i) / 2;
        snprintf(byte, sizeof byte, " %02X", (i & 1) ? 0x48 : 0x40);
        loads += byte;
        snprintf(byte, sizeof byte, " %02X %02X %02X", word >> 8, word & 0xFF, page[i]);
        loads += byte;
    }
    auto at = std::find(usb.begin(), usb.end(), loads);
    ASSERT_NE(at, usb.end()) << "the first page's loads:\n" << loads;
    ASSERT_LT(at + 2, usb.end());
    EXPECT_EQ(at[1], "mpsse 31 03 00 4C 00 7F 00") << "Write Program Memory Page at the last word loaded";
    EXPECT_EQ(at[2], "mpsse 87");

    // verification, portion by portion in blocks of up to 512 bytes of flash, each block
    // one transfer of its read commands: 128 bytes, then 600 = 512 + 88
    std::vector<size_t> lengths;
    for (auto &line : usb)
        if (line.compare(0, 9, "mpsse 31 ") == 0 && line.size() > 60)
            lengths.push_back((line.size() - 14) / 3);
    EXPECT_EQ(lengths, (std::vector<size_t>{4 * 128, 4 * 512, 4 * 88}));
}

INSTANTIATE_TEST_SUITE_P(ways, mpsse_stream, ::testing::Values(way_t::d2xx, way_t::libftdi),
                         [](const ::testing::TestParamInfo<way_t> &info) { return way_name(info.param); });

}  // namespace
