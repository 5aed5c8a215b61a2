// Status and type names, listing and opening FTDI devices (over an in-memory driver
// library), and the choice and loading of the driver library.
#include <gtest/gtest.h>

#include <cstdlib>

#include "recording_chip.h"
#include "support/name_table.h"

namespace {

// Each test gets a fresh in-memory driver library.
struct ftdi_layer : ::testing::Test {
    fake_library_t fake;
    const ftdi_library_t library = fake.choice();
};

TEST(ftdi_names, status_names_cover_every_code_and_cap_the_rest)
{
    expect_names(ftdi_status_name,
                 {{0, "FT_OK"}, {2, "FT_DEVICE_NOT_FOUND"}, {8, "FT_DEVICE_NOT_OPENED_FOR_ERASE"},
                  {15, "FT_EEPROM_NOT_PROGRAMMED"}, {19, "FT_DEVICE_LIST_NOT_READY"}, {20, "TOO HIGH ERROR CODE"},
                  {25, "TOO HIGH ERROR CODE"}, {0xFFFFFFFFu, "TOO HIGH ERROR CODE"}});
}

TEST(ftdi_names, type_names_cover_every_code_and_cap_the_rest)
{
    expect_names(ftdi_device_type_name,
                 {{0, "FT_DEVICE_BM"}, {1, "FT_DEVICE_AM"}, {2, "FT_DEVICE_100AX"}, {3, "FT_DEVICE_UNKNOWN"},
                  {4, "FT_DEVICE_2232C"}, {5, "FT_DEVICE_232R"}, {6, "FT_DEVICE_2232H"}, {7, "FT_DEVICE_4232H"},
                  {8, "FT_DEVICE_232H"}, {9, "FT_DEVICE_X_SERIES"}, {10, "FT_DEVICE_4222H_0"},
                  {17, "FT_DEVICE_2233HP"}, {25, "FT_DEVICE_232RN"}, {32, "FT_DEVICE_BM_A"},
                  {33, "TOO HIGH TYPE CODE"}, {0xFFFFFFFFu, "TOO HIGH TYPE CODE"}});
}

// Which channel of which chip can clock SPI, and which chips are set up as high-speed ones.
TEST(ftdi_names, mpsse_channels_and_high_speed_chips)
{
    struct row {
        uint32_t type;
        const char *description;
        int channel;
        bool mpsse;
        bool high_speed;
    };
    const row rows[] = {
        {4, "Dual RS232 A", 0, true, false},        {4, "Dual RS232 B", 1, true, false},
        {4, "My adapter", 0, true, false},          {6, "Dual RS232-HS B", 1, true, true},
        {7, "Quad RS232-HS A", 0, true, true},      {7, "Quad RS232-HS B", 1, true, true},
        {7, "Quad RS232-HS C", 2, false, true},     {7, "Quad RS232-HS D", 3, false, true},
        {8, "Single RS232-HS", 0, true, true},      {8, "UM232H B", 0, true, true},
        {0, "FT232BM", 0, false, false},            {1, "FT232AM", 0, false, false},
        {2, "100AX", 0, false, false},              {5, "FT232R USB UART", 0, false, false},
        {9, "FT230X Basic UART", 0, false, false},  {33, "Future chip A", 0, false, false},
    };
    for (const row &r : rows) {
        int channel = ftdi_channel_index(r.type, r.description);
        EXPECT_EQ(channel, r.channel) << r.description;
        EXPECT_EQ(ftdi_mpsse_refusal(r.type, channel) == nullptr, r.mpsse) << r.description;
        EXPECT_EQ(ftdi_high_speed(r.type), r.high_speed) << r.description;
    }
    EXPECT_STREQ(ftdi_mpsse_refusal(5, 0), "it has no MPSSE engine to clock SPI");
    EXPECT_STREQ(ftdi_mpsse_refusal(7, 3), "channel D of it has no MPSSE engine, only channels A and B have one");
}

TEST(ftdi_names, status_check_messages)
{
    message_capture_t capture(MSG_ERROR);
    check_ftdi_status("set bit mode", FTDI_OK, false);
    EXPECT_EQ(capture.text(), "");
    EXPECT_EQ(exit_status_of([] { check_ftdi_status("set timeouts", 4); }), EXIT_USAGE);
    EXPECT_EQ(exit_status_of([] { check_ftdi_status("write to FTDI chip", 25, true); }), EXIT_USAGE);
    EXPECT_EQ(exit_status_of([] { check_ftdi_status("read from FTDI chip", FTDI_OK, true); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't set timeouts (FT_IO_ERROR)\n"
                              "Can't write to FTDI chip (TOO HIGH ERROR CODE)\n"
                              "Can't read from FTDI chip\n");
}

TEST(ftdi_names, attribute_lines_show_any_for_empty_fields_and_mark_debug_lines)
{
    message_capture_t capture(MSG_TRACE);
    print_ftdi_attributes(MSG_ERROR, "Requested", request("FT1", ""));
    print_ftdi_attributes(MSG_DEBUG, "Found    ", request("", "Dual RS232 A", 33));
    ftdi_device_attributes_t with_ids = request("FT1", "");
    with_ids.vendor_id = 0x0403;
    with_ids.product_id = 0x6014;
    print_ftdi_attributes(MSG_ERROR, "Requested", with_ids);
    EXPECT_EQ(capture.text(), "Requested  FT_DEVICE_2232C (description \"any\", serial number \"FT1\")\n"
                              "\t% Found      TOO HIGH TYPE CODE (description \"Dual RS232 A\", serial number \"any\")\n"
                              "Requested  FT_DEVICE_2232C (description \"any\", serial number \"FT1\", USB ID 0403:6014)\n");
}

TEST_F(ftdi_layer, listing_prints_every_device_and_hides_busy_ones)
{
    fake.devices = {node(4, "FT4ZQ1A", "Dual RS232 A"),     node(4, "FT4ZQ1B", "Dual RS232 B", 1),
                    node(5, "A600XYZ", "FT232R USB UART"), node(33, "", "", 0),
                    node(7, "FT4Q9C", "Quad RS232-HS C"),  node(8, "FT2H7", "Single RS232-HS")};
    message_capture_t capture(MSG_INFO);
    list_ftdi_devices(library);
    EXPECT_EQ(capture.text(), "6 FTDI devices detected\n"
                              " 0: FT_DEVICE_2232C channel A (Dual RS232 A), serno 'FT4ZQ1A'\n"
                              " 1: opened by another process\n"
                              " 2: FT_DEVICE_232R (FT232R USB UART), serno 'A600XYZ', no MPSSE\n"
                              " 3: TOO HIGH TYPE CODE (), serno '', no MPSSE\n"
                              " 4: FT_DEVICE_4232H channel C (Quad RS232-HS C), serno 'FT4Q9C', no MPSSE\n"
                              " 5: FT_DEVICE_232H (Single RS232-HS), serno 'FT2H7'\n");
    EXPECT_EQ(fake.loads, 1);
    EXPECT_TRUE(fake.usb_ids.empty()) << "the library's own IDs are left alone";
}

TEST_F(ftdi_layer, listing_failures)
{
    message_capture_t capture(MSG_INFO);
    EXPECT_EQ(exit_status_of([&] { list_ftdi_devices(library); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "No FTDI devices found\n");

    fake = fake_library_t();
    fake.devices = {node(4, "FT1A", "Dual RS232 A")};
    fake.count_status = 19;
    EXPECT_EQ(exit_status_of([&] { list_ftdi_devices(library); }), EXIT_USAGE);
    fake.count_status = FTDI_OK;
    fake.list_status = 4;
    EXPECT_EQ(exit_status_of([&] { list_ftdi_devices(library); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "No FTDI devices found\n"
                              "Can't get number of FTDI devices (FT_DEVICE_LIST_NOT_READY)\n"
                              "1 FTDI devices detected\n"
                              "Can't get FTDI device list (FT_IO_ERROR)\n");
}

TEST_F(ftdi_layer, opening_needs_a_serial_number_or_description_before_loading)
{
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("", "")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Description and/or serial number must be set for FTDI device oprning\n");
    EXPECT_EQ(fake.loads, 0);
}

TEST_F(ftdi_layer, opening_by_serial_number_or_description)
{
    fake.devices = {node(4, "FT123456A", "Dual RS232 A"), node(4, "FT123456B", "Dual RS232 B")};
    std::unique_ptr<ftdi_chip_t> chip = open_ftdi_chip(library, request("FT123456B", ""));
    ASSERT_TRUE(chip);
    EXPECT_EQ(fake.opened_key, "FT123456B");
    EXPECT_EQ(fake.opened_how, 1u);
    chip.reset();

    chip = open_ftdi_chip(library, request("", "Dual RS232 A"));
    ASSERT_TRUE(chip);
    EXPECT_EQ(fake.opened_key, "Dual RS232 A");
    EXPECT_EQ(fake.opened_how, 2u);

    // Both given: opened by serial number, the description must match as well.
    chip = open_ftdi_chip(library, request("FT123456A", "Dual RS232 A"));
    ASSERT_TRUE(chip);
    EXPECT_EQ(fake.opened_how, 1u);
    EXPECT_EQ(fake.closes, 0);
    EXPECT_EQ(fake.loads, 3);
}

TEST_F(ftdi_layer, open_failures_name_the_key_and_status)
{
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("FT999", "")); }), EXIT_USAGE);
    fake.open_status = 25;
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("", "My adapter")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't open FTDI device with serial number \"FT999\" (FT_DEVICE_NOT_FOUND)\n"
                              "Can't open FTDI device with description \"My adapter\" (TOO HIGH ERROR CODE)\n");
    EXPECT_EQ(fake.closes, 0);
}

TEST_F(ftdi_layer, device_information_failure_closes_the_device)
{
    fake.devices = {node(4, "FT1A", "Dual RS232 A")};
    fake.info_status = 1;
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("FT1A", "")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't get FTDI device information (FT_INVALID_HANDLE)\n");
    EXPECT_EQ(fake.closes, 1);
}

TEST_F(ftdi_layer, mismatching_device_is_closed_and_both_attribute_sets_printed)
{
    fake.devices = {node(4, "FT123456A", "Dual RS232 A")};
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("FT123456A", "My adapter")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(),
              "Can't use opened FTDI device (some of parameters not match)\n"
              "Requested  FT_DEVICE_2232C (description \"My adapter\", serial number \"FT123456A\")\n"
              "Found      FT_DEVICE_2232C (description \"Dual RS232 A\", serial number \"FT123456A\")\n");
    EXPECT_EQ(fake.closes, 1);
}

TEST_F(ftdi_layer, any_mpsse_channel_serves_others_are_refused_and_case_must_match)
{
    fake.devices = {node(6, "FT2H1A", "Dual RS232-HS A"), node(4, "FT1A", "dual rs232 a"),
                    node(5, "A50001", "FT232R USB UART"), node(7, "FT4Q1C", "Quad RS232-HS C")};
    ftdi_device_attributes_t found;
    std::unique_ptr<ftdi_chip_t> chip = open_ftdi_chip(library, request("FT2H1A", ""), &found);
    ASSERT_TRUE(chip);
    EXPECT_EQ(found.device_type, 6u);
    EXPECT_STREQ(found.description, "Dual RS232-HS A");
    chip.reset();

    message_capture_t capture(MSG_ERROR);
    // opened by serial number, the description differs only in case
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("FT1A", "Dual RS232 A")); }), EXIT_USAGE);
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("A50001", "")); }), EXIT_USAGE);
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("", "Quad RS232-HS C")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(),
              "Can't use opened FTDI device (some of parameters not match)\n"
              "Requested  FT_DEVICE_2232C (description \"Dual RS232 A\", serial number \"FT1A\")\n"
              "Found      FT_DEVICE_2232C (description \"dual rs232 a\", serial number \"FT1A\")\n"
              "Can't use opened FTDI device (it has no MPSSE engine to clock SPI)\n"
              "Found      FT_DEVICE_232R (description \"FT232R USB UART\", serial number \"A50001\")\n"
              "Can't use opened FTDI device (channel C of it has no MPSSE engine, only channels A and B have one)\n"
              "Found      FT_DEVICE_4232H (description \"Quad RS232-HS C\", serial number \"FT4Q1C\")\n");
    EXPECT_EQ(fake.closes, 3);
}

// Without serial number and description: the first free channel with an MPSSE engine, in
// the listing's order, opened by its serial number (by its description when it has none).
TEST_F(ftdi_layer, first_free_mpsse_channel_is_chosen)
{
    ftdi_device_attributes_t first;
    first.first_mpsse = true;
    fake.devices = {node(5, "A50001", "FT232R USB UART"), node(4, "FT1A", "Dual RS232 A", 1),
                    node(7, "FT4Q1C", "Quad RS232-HS C"), node(8, "", "Single RS232-HS"),
                    node(6, "FT2H1A", "Dual RS232-HS A")};
    ftdi_device_attributes_t found;
    ASSERT_TRUE(open_ftdi_chip(library, first, &found));
    EXPECT_EQ(fake.opened_key, "Single RS232-HS");
    EXPECT_EQ(fake.opened_how, 2u);
    EXPECT_EQ(found.device_type, 8u);

    fake.devices.erase(fake.devices.begin() + 3);
    ASSERT_TRUE(open_ftdi_chip(library, first));
    EXPECT_EQ(fake.opened_key, "FT2H1A");
    EXPECT_EQ(fake.opened_how, 1u);

    // a channel listed as held but with its strings (libftdi1's view of one bound to the
    // serial driver) is tried last, with the usual messages when it does not open
    message_capture_t capture(MSG_ERROR);
    fake.devices.pop_back();
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, first); }), EXIT_USAGE);
    // D2XX shows neither strings of a held channel nor of one it may not read
    fake.devices = {node(5, "A50001", "FT232R USB UART"), node(4, "", "", 1), node(6, "", "")};
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, first); }), EXIT_USAGE);
    fake.devices = {node(5, "A50001", "FT232R USB UART")};
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, first); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(),
              "Can't open FTDI device with serial number \"FT1A\" (FT_DEVICE_NOT_FOUND)\n"
              "No free FTDI channel with an MPSSE engine found (1 of 3 opened by another process)\n"
              "Close the program that holds it, or name a device with -ps= or -pd= (-p? lists them)\n" +
                  std::string(ftdi_advice_permission) +
                  "No FTDI channel with an MPSSE engine found among 1 FTDI devices (-p? lists them)\n");
}

// -pv/-pp: the library is told the IDs, and only devices of those IDs are listed and opened.
TEST_F(ftdi_layer, usb_ids_select_the_devices)
{
    auto with_id = [](ftdi_node_t n, uint32_t id) {
        n.id = id;
        return n;
    };
    fake.devices = {with_id(node(4, "FT1A", "Dual RS232 A"), 0x04036010),
                    with_id(node(8, "OWN1", "My programmer"), 0x1234ABCD),
                    with_id(node(8, "FT2H", "Single RS232-HS"), 0x04036014)};
    ftdi_device_attributes_t own;
    own.vendor_id = 0x1234;
    own.product_id = 0xABCD;
    message_capture_t capture(MSG_INFO);
    list_ftdi_devices(library, own);
    EXPECT_EQ(capture.text(), "1 FTDI devices detected\n 0: FT_DEVICE_232H (My programmer), serno 'OWN1'\n");
    EXPECT_EQ(fake.usb_ids, std::vector<uint32_t>{0x1234ABCD});

    own.first_mpsse = true;
    ASSERT_TRUE(open_ftdi_chip(library, own));
    EXPECT_EQ(fake.opened_key, "OWN1");

    // a product ID alone: FTDI's vendor ID
    ftdi_device_attributes_t product;
    product.product_id = 0x6014;
    product.first_mpsse = true;
    ASSERT_TRUE(open_ftdi_chip(library, product));
    EXPECT_EQ(fake.opened_key, "FT2H");

    // opened by serial number, but of other IDs
    message_capture_t errors(MSG_ERROR);
    ftdi_device_attributes_t wrong = request("FT1A", "");
    wrong.product_id = 0x6014;
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, wrong); }), EXIT_USAGE);
    EXPECT_EQ(errors.text(),
              "Can't use opened FTDI device (some of parameters not match)\n"
              "Requested  FT_DEVICE_2232C (description \"any\", serial number \"FT1A\", USB ID 0403:6014)\n"
              "Found      FT_DEVICE_2232C (description \"Dual RS232 A\", serial number \"FT1A\", USB ID 0403:6010)\n");
}

// A failed opening adds what the library knows of the cause.
TEST_F(ftdi_layer, failed_opening_prints_the_libraries_advice)
{
    fake.devices = {node(4, "FT1A", "Dual RS232 A", 1)};
    fake.open_status = FTDI_DEVICE_NOT_OPENED;
    fake.advice = "libftdi1: unable to claim usb device (-5)\nThe channel may be held by another program\n";
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("FT1A", "")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't open FTDI device with serial number \"FT1A\" (FT_DEVICE_NOT_OPENED)\n"
                              "libftdi1: unable to claim usb device (-5)\nThe channel may be held by another program\n");
}

struct library_choice : ::testing::Test {
    void TearDown() override { unsetenv("MORVIN_FTDI_LIBRARY"); }
};

TEST_F(library_choice, a_missing_library_is_named)
{
    const ftdi_library_t library = library_file(FTDI_LIBRARY_D2XX, "/nonexistent/libftd2xx.so");
    message_capture_t capture(MSG_TRACE);
    EXPECT_EQ(exit_status_of([&] { list_ftdi_devices(library); }), EXIT_USAGE);
    std::string text = capture.text();
    EXPECT_NE(text.find("\t% FTDI library: D2XX"), std::string::npos) << text;
    EXPECT_NE(text.find("Can't load library '/nonexistent/libftd2xx.so'\n"), std::string::npos) << text;
}

// A library without the entry points is refused at the first one fetched.
TEST_F(library_choice, a_library_without_the_entry_points_is_refused)
{
    message_capture_t capture(MSG_ERROR);
    ftdi_library_t library = library_file(FTDI_LIBRARY_D2XX, "libm.so.6");
    EXPECT_EQ(exit_status_of([&] { open_ftdi_chip(library, request("FT1", "")); }), EXIT_USAGE);
#if !defined(_WIN32)
    library = library_file(FTDI_LIBRARY_LIBFTDI, "libm.so.6");
    EXPECT_EQ(exit_status_of([&] { list_ftdi_devices(library); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't get function 'FT_Open' from library 'libm.so.6'\n"
                              "Can't get function 'ftdi_new' from library 'libm.so.6'\n");
#endif
}

TEST_F(library_choice, the_environment_forces_a_library)
{
    message_capture_t capture(MSG_TRACE);
    ftdi_library_t library;  // the automatic choice
    setenv("MORVIN_FTDI_LIBRARY", "usb", 1);
    EXPECT_EQ(exit_status_of([&] { list_ftdi_devices(library); }), EXIT_USAGE);
    EXPECT_NE(capture.text().find("Invalid MORVIN_FTDI_LIBRARY value 'usb' (d2xx or libftdi)\n"), std::string::npos);

    // Forced: that library is the one loaded (from a path that does not exist here).
    library.path = "/nonexistent/libftdi-test.so";
    setenv("MORVIN_FTDI_LIBRARY", "d2xx", 1);
    exit_status_of([&] { list_ftdi_devices(library); });
    EXPECT_NE(capture.text().find("\t% FTDI library: D2XX (MORVIN_FTDI_LIBRARY)\n"), std::string::npos);
    setenv("MORVIN_FTDI_LIBRARY", "libftdi", 1);
    exit_status_of([&] { list_ftdi_devices(library); });
    EXPECT_NE(capture.text().find("\t% FTDI library: libftdi1 (MORVIN_FTDI_LIBRARY)\n"), std::string::npos);
    EXPECT_NE(capture.text().find("Can't load library '/nonexistent/libftdi-test.so'\n"), std::string::npos);
}

}  // namespace
