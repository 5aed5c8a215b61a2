// Finding and opening the FT2232 in whole runs: the device list, -p attributes, pin maps,
// USB faults, the library choice on Linux, and what the adapter refuses.
#include "ftdi_e2e.h"

using namespace ftdi_e2e;

namespace {

const char *const three_devices = "4/Dual RS232 A/VT000001;4/Dual RS232 B/VT000002/opened;5/FT232R USB UART/A50001";

class devices : public each_way {};

TEST_P(devices, question_mark_lists_every_device_and_ends_the_run)
{
    ftdi_target t(GetParam(), "mega328P", fast_vars({{"VT_FTDI_DEVICES", three_devices}}));
    auto r = t.run({"+mega328P", "-aft2232", "-p?", "-e"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    std::vector<std::string> expected = {"3 FTDI devices detected",
                                         " 0: FT_DEVICE_2232C channel A (Dual RS232 A), serno 'VT000001'",
                                         " 1: opened by another process",
                                         " 2: FT_DEVICE_232R (FT232R USB UART), serno 'A50001', no MPSSE", ""};
    EXPECT_EQ(lines(r), expected) << r.out;
    // nothing was opened, let alone erased
    EXPECT_EQ(usb_lines(t.trace()), std::vector<std::string>{});
}

TEST_P(devices, opening_by_serial_number_and_description)
{
    ftdi_target t(GetParam(), "mega328P", fast_vars({{"VT_FTDI_DEVICES", three_devices}}));
    const std::vector<std::string> detect = {"+mega328P", "-aft2232", fast_osc};
    auto with = [&](const std::string &p) {
        std::vector<std::string> args = detect;
        args.push_back(p);
        return t.run(args);
    };

    for (const char *p : {"-ps=VT000001", "-pd=Dual RS232 A", "-ps=VT000001,d=Dual RS232 A", "-ps=NOPE,s=VT000001",
                          "-pv=0403", "-pv=403,p=0x6010,s=VT000001"}) {
        auto r = with(p);
        EXPECT_EQ(r.status, 0) << p << "\n" << r.out;
        EXPECT_TRUE(lines_in_order(r, {"Adapter enabled", "Device connected, mega328P detected"})) << p << r.out;
    }

    struct refusal {
        const char *p;
        std::vector<std::string> lines;
    };
    const refusal refusals[] = {
        {"-ps=VT000001,d=dual rs232 a",
         {"Can't use opened FTDI device (some of parameters not match)",
          "Requested  FT_DEVICE_2232C (description \"dual rs232 a\", serial number \"VT000001\")",
          "Found      FT_DEVICE_2232C (description \"Dual RS232 A\", serial number \"VT000001\")", ""}},
        {"-ps=A50001",
         {"Can't use opened FTDI device (it has no MPSSE engine to clock SPI)",
          "Found      FT_DEVICE_232R (description \"FT232R USB UART\", serial number \"A50001\")", ""}},
        {"-ps=VT000009", {"Can't open FTDI device with serial number \"VT000009\" (FT_DEVICE_NOT_FOUND)", ""}},
        {"-pd=Quad RS232-HS A",
         {"Can't open FTDI device with description \"Quad RS232-HS A\" (FT_DEVICE_NOT_FOUND)", ""}},
        {"-pv=04031", {"Invalid FT2232 option 'v=04031' (a USB ID is 1 to 4 hexadecimal digits)", ""}},
        {"-pS=VT000001", {"Invalid FT2232 option 'S=VT000001'", ""}},
        {"-ps=VT0000010000000001", {"Serial number too long: 's=VT0000010000000001'", ""}},
        {"-p", {"Description and/or serial number must be set for FTDI device oprning", ""}},
    };
    for (auto &c : refusals) {
        size_t before = usb_lines(t.trace()).size();
        auto r = with(c.p);
        EXPECT_EQ(r.status, 70) << c.p << "\n" << r.out;
        EXPECT_EQ(lines(r), c.lines) << c.p << "\n" << r.out;
        EXPECT_EQ(usb_lines(t.trace()).size(), before) << c.p << ": the device was used";
    }

    // a device of other USB IDs: D2XX opens it and finds the IDs wrong, libftdi1 looks
    // only among devices of the IDs asked for
    auto r = with("-ps=VT000001,p=6014");
    EXPECT_EQ(r.status, 70) << r.out;
    if (GetParam() == way_t::libftdi) {
        EXPECT_EQ(lines(r), (std::vector<std::string>{
                                "Can't open FTDI device with serial number \"VT000001\" (FT_DEVICE_NOT_FOUND)", ""}))
            << r.out;
    } else {
        EXPECT_EQ(lines(r),
                  (std::vector<std::string>{
                      "Can't use opened FTDI device (some of parameters not match)",
                      "Requested  FT_DEVICE_2232C (description \"any\", serial number \"VT000001\", USB ID 0403:6014)",
                      "Found      FT_DEVICE_2232C (description \"Dual RS232 A\", serial number \"VT000001\", USB ID 0403:6010)",
                      ""}))
            << r.out;
    }

    // a channel another program holds: each library's account and what to do about it
    r = with("-pd=Dual RS232 B");
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Can't open FTDI device with description \"Dual RS232 B\" (FT_DEVICE_NOT_OPENED)",
                                   "The channel may be held by another program (a terminal on its serial port, another "
                                   "programmer): close it and try again"}))
        << r.out;
    if (GetParam() == way_t::libftdi) {
        EXPECT_TRUE(has_line(r, "libftdi1: unable to claim usb device. Make sure the default FTDI driver is not in use (-5)"))
            << r.out;
    }
}

TEST_P(devices, without_port_switch_the_first_mpsse_channel_is_opened)
{
    ftdi_target t(GetParam(), "mega328P",
                  fast_vars({{"VT_FTDI_DEVICES", "5/FT232R USB UART/A50001;4/Dual RS232 B/VT000002;4/Dual RS232 A/VT000001"}}));
    auto r = t.run({"+mega328P", "-aft2232", fast_osc, "-%"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"\t% FTDI device 1 chosen: FT_DEVICE_2232C (Dual RS232 B), serno 'VT000002'",
                                   "Device connected, mega328P detected"}))
        << r.out;

    t.set("VT_FTDI_DEVICES", "5/FT232R USB UART/A50001");
    r = t.run({"+mega328P", "-aft2232", fast_osc});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_EQ(lines(r), (std::vector<std::string>{
                            "No FTDI channel with an MPSSE engine found among 1 FTDI devices (-p? lists them)", ""}))
        << r.out;
}

TEST_P(devices, no_devices_at_all)
{
    ftdi_target t(GetParam(), "mega328P", fast_vars({{"VT_FTDI_DEVICES", " "}}));
    auto r = t.run({"+mega328P", "-aft2232", "-p?"});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_EQ(lines(r), (std::vector<std::string>{"No FTDI devices found", ""})) << r.out;
}

TEST_P(devices, a_short_usb_read_ends_the_run)
{
    // the reads: construction needs none; the 1st is Programming Enable's answer, the 4th the
    // last signature byte
    ftdi_target t(GetParam(), "mega328P", fast_vars({{"VT_FAULT", "usb_short_read=4"}}));
    auto r = t.run({"+mega328P", "-aft2232", fast_osc, "-e"});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Adapter enabled", "Can't read from FTDI chip", "", "Reset pin released",
                                   "Adapter disabled"}))
        << r.out;
    EXPECT_FALSE(has_line(r, "Device erased"));
    EXPECT_NE(t.trace().find("usb short read 3 of 4"), std::string::npos) << t.trace();

    // a failed write names the status
    ftdi_target w(GetParam(), "mega328P", fast_vars({{"VT_FAULT", "usb_write_error=8"}}));
    r = w.run({"+mega328P", "-aft2232", fast_osc});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_TRUE(has_line(r, "Can't write to FTDI chip (FT_IO_ERROR)")) << r.out;
}

TEST_P(devices, the_adapter_cannot_clock_the_chip)
{
    ftdi_target t(GetParam(), "mega328P");
    for (const char *o : {"-o0", "-o0,4"}) {
        auto r = t.run({"+mega328P", "-aft2232", o, "-e"});
        EXPECT_EQ(r.status, 70) << o << r.out;
        EXPECT_EQ(lines(r), (std::vector<std::string>{"FT2232 hardware SPI adapter can't generate XTAL", ""})) << r.out;
    }
    EXPECT_EQ(usb_lines(t.trace()), std::vector<std::string>{}) << "no device was opened";
}

INSTANTIATE_TEST_SUITE_P(ways, devices, ::testing::ValuesIn(all_ways()),
                         [](const ::testing::TestParamInfo<way_t> &info) { return way_name(info.param); });

class pin_maps : public ::testing::TestWithParam<way_t> {};

TEST_P(pin_maps, reset_and_enable_where_the_map_puts_them)
{
    ftdi_target t(GetParam(), "mega328P", fast_vars({{"VT_FTDI_RESET", "acbus0"}}));
    write_state(t, "mega328P", {{0x0000, pattern(32, 41)}}, {});
    std::string image = hex_file(t, "code.hex", {{0x0000, pattern(32, 41)}});

    auto r = t.run({"+mega328P", "-aft2232:reset=acbus0", fast_osc, "-v", image});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(lines_in_order(r, {"Device connected, mega328P detected", "Verifying CODE memory", " passed"}))
        << r.out;

    // the default map drives adbus3, which does not reach this chip's RESET
    r = t.run({"+mega328P", "-aft2232", fast_osc, "-v", image});
    EXPECT_EQ(r.status, 40) << r.out;
    EXPECT_TRUE(has_line(r, "Can't resync")) << r.out;

    // behind a buffer enabled by adbus4 low, the map must name it
    t.set("VT_FTDI_ENABLE", "adbus4");
    r = t.run({"+mega328P", "-aft2232:reset=acbus0:enable=adbus4", fast_osc, "-v", image});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Device connected, mega328P detected")) << r.out;
    r = t.run({"+mega328P", "-aft2232:reset=acbus0", fast_osc, "-v", image});
    EXPECT_EQ(r.status, 40) << r.out;

    // a reset written inverted is never driven by this adapter
    t.set("VT_FTDI_ENABLE", "");
    r = t.run({"+mega328P", "-aft2232:reset=~acbus0", fast_osc});
    EXPECT_EQ(r.status, 40) << r.out;

    r = t.run({"+mega328P", "-aft2232:reset=adbus9", fast_osc});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_TRUE(has_line(r, "adapter: invalid pin name 'adbus9'")) << r.out;
}

INSTANTIATE_TEST_SUITE_P(ways, pin_maps, ::testing::Values(way_t::d2xx, way_t::libftdi),
                         [](const ::testing::TestParamInfo<way_t> &info) { return way_name(info.param); });

// The library the program picks on Linux, shown with -%.
TEST(library_choice, d2xx_first_then_libftdi1_unless_the_environment_says)
{
    ftdi_target t(way_t::d2xx, "mega328P");
    std::string both = native_library_dir(way_t::d2xx) + ":" + native_library_dir(way_t::libftdi);
    struct choice {
        vars_t env;
        const char *line;
    };
    const choice choices[] = {
        {{{"MORVIN_FTDI_LIBRARY", ""}, {"LD_LIBRARY_PATH", both}}, "\t% FTDI library: D2XX (D2XX library found)"},
        {{{"MORVIN_FTDI_LIBRARY", ""}, {"LD_LIBRARY_PATH", native_library_dir(way_t::libftdi)}},
         "\t% FTDI library: libftdi1 (no D2XX library found)"},
        {{{"MORVIN_FTDI_LIBRARY", "libftdi"}, {"LD_LIBRARY_PATH", both}}, "\t% FTDI library: libftdi1 (MORVIN_FTDI_LIBRARY)"},
        {{{"MORVIN_FTDI_LIBRARY", "d2xx"}, {"LD_LIBRARY_PATH", both}}, "\t% FTDI library: D2XX (MORVIN_FTDI_LIBRARY)"},
    };
    for (auto &c : choices) {
        auto r = t.run({"+mega328P", "-aft2232", fast_osc, "-%"}, c.env);
        EXPECT_EQ(r.status, 0) << c.line << "\n" << r.out;
        EXPECT_TRUE(lines_in_order(r, {c.line, "\t% FT2232 MPSSE SPI adapter created, SCK frequency 2.00MHz",
                                       "Device connected, mega328P detected"}))
            << r.out;
    }

    auto r = t.run({"+mega328P", "-aft2232", fast_osc}, {{"MORVIN_FTDI_LIBRARY", "ftd2xx"}});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_TRUE(has_line(r, "Invalid MORVIN_FTDI_LIBRARY value 'ftd2xx' (d2xx or libftdi)")) << r.out;

    // D2XX forced where there is none
    r = t.run({"+mega328P", "-aft2232", fast_osc},
              {{"MORVIN_FTDI_LIBRARY", "d2xx"}, {"LD_LIBRARY_PATH", native_library_dir(way_t::libftdi)}});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_TRUE(has_line(r, "Can't load library 'ftd2xx.dll'")) << r.out;
}

}  // namespace
