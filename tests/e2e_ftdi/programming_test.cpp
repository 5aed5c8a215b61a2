// Programming a chip over the FT2232 adapter: erase, write, verify, read back, fuses and
// lock bits, on a paged chip and on one with more than 128 KiB of flash; through D2XX and
// libftdi1 natively and D2XX in the Windows build.
#include "ftdi_e2e.h"

using namespace ftdi_e2e;

namespace {

class programming : public each_way {};

TEST_P(programming, paged_chip_erase_write_verify_and_read_back)
{
    ftdi_target t(GetParam(), "mega328P");
    // stale bytes where the image has none: the erase must clear them
    write_state(t, "mega328P", {{0x4000, pattern(64, 99)}}, {{0x80, pattern(8, 98)}});
    runs_t code = {{0x0000, pattern(300, 1)}, {0x1FF0, pattern(40, 2)}, {0x7F80, pattern(128, 3)}};
    runs_t data = {{0x0000, pattern(16, 4)}, {0x3F0, pattern(16, 5)}};
    std::string code_hex = hex_file(t, "code.hex", code);
    std::string data_hex = hex_file(t, "data.hex", data);

    auto r = t.run({"+mega328P", "-aft2232", fast_osc, "-e", "-wp", "-v", code_hex, "-d", data_hex});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(lines_in_order(r, {"Adapter enabled", "Device connected, mega328P detected", "Chip not locked",
                                   "Device erased", "Device connected, mega328P detected", "Programming CODE memory",
                                   "Verifying CODE memory", " passed", "Programming DATA memory",
                                   "Verifying DATA memory", " passed", "Total time", "Reset pin released",
                                   "Adapter disabled"}))
        << r.out;
    chip_state s = read_state(t);
    EXPECT_TRUE(holds(s.flash, code));
    EXPECT_TRUE(holds(s.eeprom, data));
    size_t code_bytes = 0, data_bytes = 0;
    for (auto &run : code)
        code_bytes += run.second.size();
    for (auto &run : data)
        data_bytes += run.second.size();
    EXPECT_EQ(s.flash.size(), code_bytes) << "stale or stray flash bytes";
    EXPECT_EQ(s.eeprom.size(), data_bytes) << "stale or stray EEPROM bytes";
    if (GetParam() == way_t::wine) {
        // the chip the Windows build left behind is the same chip for the native build
        ftdi_target native(way_t::d2xx, "mega328P", fast_vars({{"VT_STATE", t.path("chip.state")}}));
        auto n = native.run({"+mega328P", "-aft2232", fast_osc, "-v", t.path("code.hex"), "-d", t.path("data.hex")});
        EXPECT_EQ(n.status, 0) << n.out << n.err;
        EXPECT_TRUE(lines_in_order(n, {"Verifying CODE memory", " passed", "Verifying DATA memory", " passed"}))
            << n.out;
    }

    // the program reads both memories back whole, as the chip holds them
    std::string code_out = t.path("read_code.hex"), data_out = t.path("read_data.hex");
    r = t.run({"+mega328P", "-aft2232", fast_osc, "-r", t.file_arg(code_out), "-d", t.file_arg(data_out)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(lines_in_order(r, {"Reading CODE memory", "Reading DATA memory", "Total time"})) << r.out;
    auto read_code = e2e::hex_bytes(code_out);
    auto read_data = e2e::hex_bytes(data_out);
    ASSERT_EQ(read_code.size(), 32768u);
    ASSERT_EQ(read_data.size(), 1024u);
    for (auto &b : read_code)
        ASSERT_EQ(b.second, chip_state::at(s.flash, b.first)) << "flash at " << b.first;
    for (auto &b : read_data)
        ASSERT_EQ(b.second, chip_state::at(s.eeprom, b.first)) << "EEPROM at " << b.first;

    // a verification against other bytes fails and says how many differ
    runs_t other = code;
    other[0x1FF0][3] ^= 0x40;
    other[0x7F80][127] ^= 0x01;
    r = t.run({"+mega328P", "-aft2232", fast_osc, "-v", hex_file(t, "other.hex", other)});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Verifying CODE memory", "failed, 2 errors"})) << r.out;
}

TEST_P(programming, mega2560_above_128k)
{
    // 40 MHz gives the fastest SCK the MPSSE has (6 MHz), for the whole 256 KiB read
    ftdi_target t(GetParam(), "mega2560", {{"VT_CLOCK_KHZ", "40000"}, {"VT_USB_LATENCY_US", "100"}});
    runs_t code = {{0x0000, pattern(256, 11)},
                   {0x1FF80, pattern(256, 12)},  // across the 128 KiB boundary
                   {0x2A000, pattern(64, 13)},
                   {0x3FF00, pattern(256, 14)}};  // the last page
    runs_t data = {{0x0FF0, pattern(16, 15)}};
    std::string code_hex = hex_file(t, "code.hex", code);

    auto r = t.run({"+mega2560", "-aft2232", "-o40MHz", "-e", "-wp", "-v", code_hex, "-d",
                    hex_file(t, "data.hex", data)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, mega2560 detected", "Device erased", "Programming CODE memory",
                                   "Verifying CODE memory", " passed", "Programming DATA memory",
                                   "Verifying DATA memory", " passed"}))
        << r.out;
    chip_state s = read_state(t);
    EXPECT_TRUE(holds(s.flash, code));
    EXPECT_TRUE(holds(s.eeprom, data));
    // nothing landed 128 KiB lower (a lost extended address byte)
    EXPECT_EQ(chip_state::at(s.flash, 0x1FF00), 0xFF);
    EXPECT_EQ(chip_state::at(s.flash, 0x0A000), 0xFF);
    EXPECT_EQ(s.flash.size(), 832u);

    // a chip preset above 128 KiB reads back into the right places
    runs_t preset = {{0x00100, pattern(32, 21)}, {0x20000, pattern(32, 22)}, {0x3FFE0, pattern(32, 23)}};
    write_state(t, "mega2560", preset, {});
    std::string out = t.path("read.hex");
    r = t.run({"+mega2560", "-aft2232", "-o40MHz", "-r", t.file_arg(out)});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto bytes = e2e::hex_bytes(out);
    ASSERT_EQ(bytes.size(), 262144u);
    std::map<uint32_t, uint8_t> got(bytes.begin(), bytes.end());
    EXPECT_TRUE(holds(got, preset));
    size_t not_ff = std::count_if(got.begin(), got.end(), [](const std::pair<const uint32_t, uint8_t> &b) {
        return b.second != 0xFF;
    });
    EXPECT_EQ(not_ff, 96u);
}

TEST_P(programming, fuses_and_lock_bits)
{
    ftdi_target t(GetParam(), "mega328P");
    runs_t code = {{0x0000, pattern(128, 31)}};
    std::string code_hex = hex_file(t, "code.hex", code);

    auto r = t.run({"+mega328P", "-aft2232", fast_osc, "-e", "-w", code_hex, "-fSUT=1,EESAVE=ON,BODLEVEL=5", "-l1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(lines_in_order(r, {"Chip not locked", "Device erased", "_LOW = 0x62", "_EXT = 0xFF",
                                   "Programming CODE memory", "Device locked to level 1!", "Total time"}))
        << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Programming fuses", "New fuses value", "_LOW = 0x52", "  SUT       \t= 1",
                                   "  EESAVE    \t= 0", "_EXT = 0xFD", "  BODLEVEL  \t= 5"}))
        << r.out;
    chip_state s = read_state(t);
    EXPECT_EQ(s.fuses[0], 0x52u);
    EXPECT_EQ(s.fuses[1] & 0x08u, 0u) << "EESAVE programmed";
    EXPECT_EQ(s.fuses[1] & 0xD7u, 0xD9u & 0xD7u) << "the other high fuses kept";
    EXPECT_EQ(s.fuses[2], 0xFDu);
    EXPECT_EQ(s.lock & 0x03u, 0x02u) << "LB1 programmed";
    EXPECT_TRUE(holds(s.flash, code));

    // writing to a chip locked at level 1 is refused; the flash stays as it was
    runs_t other = {{0x0000, pattern(128, 32)}};
    r = t.run({"+mega328P", "-aft2232", fast_osc, "-w", hex_file(t, "other.hex", other)});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Chip locked - programming disabled", "Can't write to locked chip"})) << r.out;
    EXPECT_TRUE(holds(read_state(t).flash, code));

    // erase unlocks; EESAVE keeps the EEPROM; then level 2 stops verification too
    r = t.run({"+mega328P", "-aft2232", fast_osc, "-e", "-l2"});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Chip locked - programming disabled", "Device erased", "Device locked to level 2!"}))
        << r.out;
    s = read_state(t);
    EXPECT_EQ(s.lock & 0x03u, 0x00u) << "LB1 and LB2 programmed";
    EXPECT_TRUE(s.flash.empty());
    EXPECT_EQ(s.fuses[0], 0x52u) << "fuses survive the erase";

    r = t.run({"+mega328P", "-aft2232", fast_osc, "-v", code_hex});
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Chip locked - reading and programming disabled",
                                   "Can't read (blank check, verify) fully locked chip"}))
        << r.out;
    EXPECT_FALSE(has_line(r, "Verifying CODE memory")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(ways, programming, ::testing::ValuesIn(all_ways()),
                         [](const ::testing::TestParamInfo<way_t> &info) { return way_name(info.param); });

}  // namespace
