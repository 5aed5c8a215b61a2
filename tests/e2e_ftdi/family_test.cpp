// The FTDI family in whole runs: every chip with an MPSSE engine programs the virtual chip at
// the fastest clock it allows, a high-speed chip left in a foreign MPSSE state by an earlier
// program still works, chips and channels without MPSSE are refused by name, own USB IDs
// select devices, the list needs no chip, and a channel that is held or forbidden says why.
#include "ftdi_e2e.h"

using namespace ftdi_e2e;

namespace {

class family : public each_way {
protected:
    bool linux_d2xx() const { return GetParam() == way_t::d2xx; }
};

TEST_P(family, each_mpsse_chip_programs_at_its_fastest_clock)
{
    struct chip_case {
        const char *devices;
        const char *p;  // the channel, or none for the first MPSSE one
        const char *sck_line;
        uint64_t sck_period_ns;
    };
    // mega328P at 16 MHz: 6 chip clocks + 5 % per SCK period; 2 MHz from 6 MHz, 2.5 MHz from 30 MHz
    const chip_case chips[] = {
        {"FT2232C/FTC1", nullptr, "\t% FT2232 MPSSE SPI adapter created, SCK frequency 2.00MHz", 500},
        {"FT2232D/FTD1", "-ps=FTD1B", "\t% FT2232 MPSSE SPI adapter created, SCK frequency 2.00MHz", 500},
        {"FT2232H/FTH1", nullptr, "\t% FT2232 MPSSE SPI adapter created, SCK frequency 2.50MHz", 400},
        {"FT4232H/FTQ1", "-pd=Quad RS232-HS B", "\t% FT2232 MPSSE SPI adapter created, SCK frequency 2.50MHz", 400},
        {"FT232R/A50001;FT232H/FTS1", nullptr, "\t% FT2232 MPSSE SPI adapter created, SCK frequency 2.50MHz", 400},
    };
    for (const chip_case &c : chips) {
        ftdi_target t(GetParam(), "mega328P", fast_vars({{"VT_FTDI_DEVICES", c.devices}}));
        runs_t code = {{0x0000, pattern(200, 7)}, {0x7F00, pattern(256, 8)}};
        runs_t data = {{0x0010, pattern(20, 9)}};
        std::string code_hex = hex_file(t, "code.hex", code);
        std::string data_hex = hex_file(t, "data.hex", data);
        std::vector<std::string> args = {"+mega328P", "-aft2232", fast_osc, "-e", "-wp", "-v", "-%", code_hex,
                                         "-d", data_hex};
        if (c.p)
            args.push_back(c.p);
        auto r = t.run(args);
        ASSERT_EQ(r.status, 0) << c.devices << "\n" << r.out << r.err;
        // status 0: both verifications passed
        EXPECT_TRUE(lines_in_order(r, {c.sck_line, "Device connected, mega328P detected", "Verifying CODE memory",
                                       "Verifying DATA memory", "Total time"}))
            << c.devices << "\n" << r.out;
        chip_state s = read_state(t);
        EXPECT_TRUE(holds(s.flash, code)) << c.devices;
        EXPECT_TRUE(holds(s.eeprom, data)) << c.devices;
        EXPECT_EQ(t.counters()["sck_period_ns"], c.sck_period_ns) << c.devices;
        EXPECT_EQ(t.counters()["missed_edges"], 0u) << c.devices;
    }
}

// A high-speed chip keeps adaptive clocking, three-phase clocking and the divide-by-5 as an
// earlier program left them; the adapter sets all three itself.
TEST_P(family, settings_an_earlier_program_left_are_undone)
{
    for (const char *devices : {"FT2232H/FTH1", "FT232H/FTS1", "FT4232H/FTQ1"}) {
        ftdi_target t(GetParam(), "mega328P",
                      fast_vars({{"VT_FTDI_DEVICES", devices}, {"VT_FTDI_LEFT", "adaptive,three_phase,no_divide_by_5"}}));
        runs_t code = {{0x0100, pattern(300, 11)}};
        std::string code_hex = hex_file(t, "code.hex", code);
        auto r = t.run({"+mega328P", "-aft2232", fast_osc, "-e", "-wp", "-v", code_hex});
        ASSERT_EQ(r.status, 0) << devices << "\n" << r.out;
        EXPECT_TRUE(holds(read_state(t).flash, code)) << devices;

        // and at the default 800 kHz the slow clock still comes from the 60 MHz base
        t.set("VT_FTDI_LEFT", "adaptive,three_phase");
        r = t.run({"+mega328P", "-aft2232", "-v", code_hex, "-%"});
        EXPECT_EQ(r.status, 0) << devices << "\n" << r.out;
        EXPECT_TRUE(has_line(r, "\t% FT2232 MPSSE SPI adapter created, SCK frequency 190kHz")) << r.out;
    }
}

TEST_P(family, chips_and_channels_without_mpsse_are_refused)
{
    ftdi_target t(GetParam(), "mega328P",
                  fast_vars({{"VT_FTDI_DEVICES", "FT4232H/FTQ1;FT232R/A50001;FT230X/DK0001;FT232BM/BM0001"}}));
    auto r = t.run({"-aft2232", "-p?"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(lines(r), (std::vector<std::string>{
                            "7 FTDI devices detected",
                            " 0: FT_DEVICE_4232H channel A (Quad RS232-HS A), serno 'FTQ1A'",
                            " 1: FT_DEVICE_4232H channel B (Quad RS232-HS B), serno 'FTQ1B'",
                            " 2: FT_DEVICE_4232H channel C (Quad RS232-HS C), serno 'FTQ1C', no MPSSE",
                            " 3: FT_DEVICE_4232H channel D (Quad RS232-HS D), serno 'FTQ1D', no MPSSE",
                            " 4: FT_DEVICE_232R (FT232R USB UART), serno 'A50001', no MPSSE",
                            " 5: FT_DEVICE_X_SERIES (FT230X Basic UART), serno 'DK0001', no MPSSE",
                            " 6: FT_DEVICE_BM (USB <-> Serial), serno 'BM0001', no MPSSE",
                            ""}))
        << r.out;

    struct refusal {
        const char *p;
        const char *why;
        const char *found;
    };
    const refusal refusals[] = {
        {"-ps=FTQ1C", "channel C of it has no MPSSE engine, only channels A and B have one",
         "FT_DEVICE_4232H (description \"Quad RS232-HS C\", serial number \"FTQ1C\")"},
        {"-pd=Quad RS232-HS D", "channel D of it has no MPSSE engine, only channels A and B have one",
         "FT_DEVICE_4232H (description \"Quad RS232-HS D\", serial number \"FTQ1D\")"},
        {"-ps=A50001", "it has no MPSSE engine to clock SPI",
         "FT_DEVICE_232R (description \"FT232R USB UART\", serial number \"A50001\")"},
        {"-ps=DK0001", "it has no MPSSE engine to clock SPI",
         "FT_DEVICE_X_SERIES (description \"FT230X Basic UART\", serial number \"DK0001\")"},
        {"-ps=BM0001", "it has no MPSSE engine to clock SPI",
         "FT_DEVICE_BM (description \"USB <-> Serial\", serial number \"BM0001\")"},
    };
    for (const refusal &c : refusals) {
        size_t before = usb_lines(t.trace()).size();
        r = t.run({"+mega328P", "-aft2232", fast_osc, c.p});
        EXPECT_EQ(r.status, 70) << c.p << "\n" << r.out;
        EXPECT_EQ(lines(r), (std::vector<std::string>{std::string("Can't use opened FTDI device (") + c.why + ")",
                                                      std::string("Found      ") + c.found, ""}))
            << c.p << "\n" << r.out;
        EXPECT_EQ(usb_lines(t.trace()).size(), before) << c.p << ": the device was used";
    }
    r = t.run({"+mega328P", "-aft2232", fast_osc, "-ps=FTQ1B"});
    EXPECT_EQ(r.status, 0) << r.out;
}

// Adapters with their own USB IDs are found with -pv/-pp (D2XX on Linux is told them first);
// without them only FTDI's own IDs count.
TEST_P(family, own_usb_ids_select_the_adapter)
{
    ftdi_target t(GetParam(), "mega328P",
                  fast_vars({{"VT_FTDI_DEVICES", "FT2232H/FTH1;FT232H/OWN1/id=1234:ABCD;FT232H/OWN2/id=1234:ABCE"}}));
    auto chosen = [&](const std::vector<std::string> &p) {
        std::vector<std::string> args = {"+mega328P", "-aft2232", fast_osc, "-%"};
        args.insert(args.end(), p.begin(), p.end());
        return t.run(args);
    };
    auto r = chosen({});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has_line(r, "\t% FTDI device 0 chosen: FT_DEVICE_2232H (Dual RS232-HS A), serno 'FTH1A'")) << r.out;

    r = chosen({"-pv=1234,p=abce"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has_line(r, "\t% FTDI device 0 chosen: FT_DEVICE_232H (Single RS232-HS), serno 'OWN2'")) << r.out;
    EXPECT_TRUE(has_line(r, "Device connected, mega328P detected")) << r.out;

    r = chosen({"-pv=0x1234,p=ABCD,s=OWN1"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(has_line(r, "Device connected, mega328P detected")) << r.out;

    r = t.run({"-aft2232", "-pv=1234,p=ABCD,?"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(lines(r), (std::vector<std::string>{"1 FTDI devices detected",
                                                  " 0: FT_DEVICE_232H (Single RS232-HS), serno 'OWN1'", ""}))
        << r.out;

    r = chosen({"-pv=1234,p=1111"});
    EXPECT_EQ(r.status, 70) << r.out;
    EXPECT_TRUE(has_line(r, "No FTDI devices found")) << r.out;
}

// A channel Linux's serial driver holds: libftdi1 detaches the driver, D2XX can't open it and
// says what to do; the Windows D2XX has no such driver. A device this user may not open
// says "permission denied" and where the udev rules are.
TEST_P(family, held_and_forbidden_channels_say_what_to_do)
{
    ftdi_target t(GetParam(), "mega328P", fast_vars({{"VT_FTDI_DEVICES", "FT2232H/FTH1/sio"}}));
    auto r = t.run({"+mega328P", "-aft2232", fast_osc});
    if (linux_d2xx()) {
        // channel A is tried quietly, the last candidate (B) with every message
        EXPECT_EQ(r.status, 70) << r.out;
        EXPECT_TRUE(lines_in_order(r, {"Can't open FTDI device with serial number \"FTH1B\" (FT_DEVICE_NOT_OPENED)",
                                       "The channel may be held by another program (a terminal on its serial port, "
                                       "another programmer): close it and try again",
                                       "On Linux the kernel's serial driver ftdi_sio may hold it: unbind it from the "
                                       "channel or unload it (sudo rmmod ftdi_sio usbserial), or use libftdi1, which "
                                       "detaches it (MORVIN_FTDI_LIBRARY=libftdi)"}))
            << r.out;
    } else {
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(has_line(r, "Device connected, mega328P detected")) << r.out;
    }

    const std::string permission = "Permission denied? This user may need access to the USB device: install the udev "
                                   "rules (README, FTDI adapters on Linux) and plug the adapter in again";
    t.set("VT_FTDI_DEVICES", "FT2232H/FTH1/denied");
    r = t.run({"+mega328P", "-aft2232", fast_osc, "-ps=FTH1A"});
    if (GetParam() == way_t::wine) {
        EXPECT_EQ(r.status, 0) << r.out;
    } else {
        EXPECT_EQ(r.status, 70) << r.out;
        EXPECT_TRUE(has_line(r, permission)) << r.out;
        if (GetParam() == way_t::libftdi) {
            EXPECT_TRUE(has_line(r, "libftdi1: libusb_open() failed (-4)")) << r.out;
        }
        // D2XX lists both channels without strings, libftdi1 the one USB device it can't read
        r = t.run({"+mega328P", "-aft2232", fast_osc});
        EXPECT_EQ(r.status, 70) << r.out;
        std::string none = std::string("No FTDI channel with an MPSSE engine found among ") +
                           (linux_d2xx() ? "2" : "1") + " FTDI devices (-p? lists them)";
        EXPECT_TRUE(lines_in_order(r, {none, permission})) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(ways, family, ::testing::ValuesIn(all_ways()),
                         [](const ::testing::TestParamInfo<way_t> &info) { return way_name(info.param); });

}  // namespace
