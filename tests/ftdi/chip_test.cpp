// Status and type names, listing and opening FTDI devices (over an in-memory driver
// library), and the choice and loading of the driver library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "recording_chip.h"

namespace {

ftdi_node_t node(uint32_t type, const char *serial, const char *description, uint32_t flags = 0)
{
    ftdi_node_t n;
    n.type = type;
    n.flags = flags;
    strcpy(n.serial_number, serial);
    strcpy(n.description, description);
    return n;
}

ftdi_device_attributes_t request(const char *serial, const char *description, uint32_t type = FTDI_DEVICE_2232C)
{
    ftdi_device_attributes_t a;
    a.device_type = type;
    strcpy(a.serial_number, serial);
    strcpy(a.description, description);
    return a;
}

struct ftdi_layer : ::testing::Test {
    void SetUp() override { install_fake_library(); }
    void TearDown() override { ftdi_chip_reset(); }
};

TEST(ftdi_names, status_names_cover_every_code_and_cap_the_rest)
{
    EXPECT_STREQ(ftdi_status_name(0), "FT_OK");
    EXPECT_STREQ(ftdi_status_name(2), "FT_DEVICE_NOT_FOUND");
    EXPECT_STREQ(ftdi_status_name(8), "FT_DEVICE_NOT_OPENED_FOR_ERASE");
    EXPECT_STREQ(ftdi_status_name(15), "FT_EEPROM_NOT_PROGRAMMED");
    EXPECT_STREQ(ftdi_status_name(19), "FT_DEVICE_LIST_NOT_READY");
    EXPECT_STREQ(ftdi_status_name(20), "TOO HIGH ERROR CODE");
    EXPECT_STREQ(ftdi_status_name(25), "TOO HIGH ERROR CODE");
    EXPECT_STREQ(ftdi_status_name(0xFFFFFFFFu), "TOO HIGH ERROR CODE");
}

TEST(ftdi_names, type_names_cover_every_code_and_cap_the_rest)
{
    EXPECT_STREQ(ftdi_device_type_name(0), "FT_DEVICE_BM");
    EXPECT_STREQ(ftdi_device_type_name(1), "FT_DEVICE_AM");
    EXPECT_STREQ(ftdi_device_type_name(2), "FT_DEVICE_100AX");
    EXPECT_STREQ(ftdi_device_type_name(3), "FT_DEVICE_UNKNOWN");
    EXPECT_STREQ(ftdi_device_type_name(4), "FT_DEVICE_2232C");
    EXPECT_STREQ(ftdi_device_type_name(5), "FT_DEVICE_232R");
    EXPECT_STREQ(ftdi_device_type_name(6), "TOO HIGH TYPE CODE");
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
    print_ftdi_attributes(MSG_DEBUG, "Found    ", request("", "Dual RS232 A", 6));
    EXPECT_EQ(capture.text(), "Requested  FT_DEVICE_2232C (description \"any\", serial number \"FT1\")\n"
                              "\t% Found      TOO HIGH TYPE CODE (description \"Dual RS232 A\", serial number \"any\")\n");
}

TEST_F(ftdi_layer, listing_prints_every_device_and_hides_busy_ones)
{
    fake_library().devices = {node(4, "FT4ZQ1A", "Dual RS232 A"), node(4, "FT4ZQ1B", "Dual RS232 B", 1),
                              node(5, "A600XYZ", "FT232R USB UART"), node(9, "", "", 0)};
    message_capture_t capture(MSG_INFO);
    list_ftdi_devices();
    EXPECT_EQ(capture.text(), "4 FTDI devices detected\n"
                              " 0: FT_DEVICE_2232C (Dual RS232 A), serno 'FT4ZQ1A'\n"
                              " 1: opened by another process\n"
                              " 2: FT_DEVICE_232R (FT232R USB UART), serno 'A600XYZ'\n"
                              " 3: TOO HIGH TYPE CODE (), serno ''\n");
    EXPECT_EQ(fake_library().loads, 1);
}

TEST_F(ftdi_layer, listing_failures)
{
    message_capture_t capture(MSG_INFO);
    EXPECT_EQ(exit_status_of([] { list_ftdi_devices(); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "No FTDI devices found\n");

    install_fake_library();
    fake_library().devices = {node(4, "FT1A", "Dual RS232 A")};
    fake_library().count_status = 19;
    EXPECT_EQ(exit_status_of([] { list_ftdi_devices(); }), EXIT_USAGE);
    fake_library().count_status = FTDI_OK;
    fake_library().list_status = 4;
    EXPECT_EQ(exit_status_of([] { list_ftdi_devices(); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "No FTDI devices found\n"
                              "Can't get number of FTDI devices (FT_DEVICE_LIST_NOT_READY)\n"
                              "1 FTDI devices detected\n"
                              "Can't get FTDI device list (FT_IO_ERROR)\n");
}

TEST_F(ftdi_layer, opening_needs_a_serial_number_or_description_before_loading)
{
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([] { open_ftdi_chip(request("", "")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Description and/or serial number must be set for FTDI device oprning\n");
    EXPECT_EQ(fake_library().loads, 0);
}

TEST_F(ftdi_layer, opening_by_serial_number_or_description)
{
    fake_library().devices = {node(4, "FT123456A", "Dual RS232 A"), node(4, "FT123456B", "Dual RS232 B")};
    std::unique_ptr<ftdi_chip_t> chip = open_ftdi_chip(request("FT123456B", ""));
    ASSERT_TRUE(chip);
    EXPECT_EQ(fake_library().opened_key, "FT123456B");
    EXPECT_EQ(fake_library().opened_how, 1u);
    chip.reset();

    chip = open_ftdi_chip(request("", "Dual RS232 A"));
    ASSERT_TRUE(chip);
    EXPECT_EQ(fake_library().opened_key, "Dual RS232 A");
    EXPECT_EQ(fake_library().opened_how, 2u);

    // Both given: opened by serial number, the description must match as well.
    chip = open_ftdi_chip(request("FT123456A", "Dual RS232 A"));
    ASSERT_TRUE(chip);
    EXPECT_EQ(fake_library().opened_how, 1u);
    EXPECT_EQ(fake_library().closes, 0);
    EXPECT_EQ(fake_library().loads, 3);
}

TEST_F(ftdi_layer, open_failures_name_the_key_and_status)
{
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([] { open_ftdi_chip(request("FT999", "")); }), EXIT_USAGE);
    fake_library().open_status = 25;
    EXPECT_EQ(exit_status_of([] { open_ftdi_chip(request("", "My adapter")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't open FTDI device with serial number \"FT999\" (FT_DEVICE_NOT_FOUND)\n"
                              "Can't open FTDI device with description \"My adapter\" (TOO HIGH ERROR CODE)\n");
    EXPECT_EQ(fake_library().closes, 0);
}

TEST_F(ftdi_layer, device_information_failure_closes_the_device)
{
    fake_library().devices = {node(4, "FT1A", "Dual RS232 A")};
    fake_library().info_status = 1;
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([] { open_ftdi_chip(request("FT1A", "")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't get FTDI device information (FT_INVALID_HANDLE)\n");
    EXPECT_EQ(fake_library().closes, 1);
}

TEST_F(ftdi_layer, mismatching_device_is_closed_and_both_attribute_sets_printed)
{
    fake_library().devices = {node(4, "FT123456A", "Dual RS232 A")};
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([] { open_ftdi_chip(request("FT123456A", "My adapter")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(),
              "Can't use opened FTDI device (some of parameters not match)\n"
              "Requested  FT_DEVICE_2232C (description \"My adapter\", serial number \"FT123456A\")\n"
              "Found      FT_DEVICE_2232C (description \"Dual RS232 A\", serial number \"FT123456A\")\n");
    EXPECT_EQ(fake_library().closes, 1);
}

TEST_F(ftdi_layer, type_and_case_must_match_exactly)
{
    fake_library().devices = {node(6, "FT2H1A", "Dual RS232-HS A"), node(4, "FT1A", "dual rs232 a")};
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([] { open_ftdi_chip(request("FT2H1A", "")); }), EXIT_USAGE);
    // opened by serial number, the description differs only in case
    EXPECT_EQ(exit_status_of([] { open_ftdi_chip(request("FT1A", "Dual RS232 A")); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(),
              "Can't use opened FTDI device (some of parameters not match)\n"
              "Requested  FT_DEVICE_2232C (description \"any\", serial number \"FT2H1A\")\n"
              "Found      TOO HIGH TYPE CODE (description \"Dual RS232-HS A\", serial number \"FT2H1A\")\n"
              "Can't use opened FTDI device (some of parameters not match)\n"
              "Requested  FT_DEVICE_2232C (description \"Dual RS232 A\", serial number \"FT1A\")\n"
              "Found      FT_DEVICE_2232C (description \"dual rs232 a\", serial number \"FT1A\")\n");
    EXPECT_EQ(fake_library().closes, 2);
}

struct library_choice : ::testing::Test {
    void SetUp() override { ftdi_chip_reset(); }
    void TearDown() override
    {
        ftdi_chip_reset();
        unsetenv("MORVIN_FTDI_LIBRARY");
    }
};

TEST_F(library_choice, a_missing_library_is_named)
{
    set_ftdi_library(FTDI_LIBRARY_D2XX, "/nonexistent/libftd2xx.so");
    message_capture_t capture(MSG_TRACE);
    EXPECT_EQ(exit_status_of([] { list_ftdi_devices(); }), EXIT_USAGE);
    std::string text = capture.text();
    EXPECT_NE(text.find("\t% FTDI library: D2XX"), std::string::npos) << text;
    EXPECT_NE(text.find("Can't load library '/nonexistent/libftd2xx.so'\n"), std::string::npos) << text;
}

// A library without the entry points is refused at the first one fetched.
TEST_F(library_choice, a_library_without_the_entry_points_is_refused)
{
    message_capture_t capture(MSG_ERROR);
    set_ftdi_library(FTDI_LIBRARY_D2XX, "libm.so.6");
    EXPECT_EQ(exit_status_of([] { open_ftdi_chip(request("FT1", "")); }), EXIT_USAGE);
#if !defined(_WIN32)
    set_ftdi_library(FTDI_LIBRARY_LIBFTDI, "libm.so.6");
    EXPECT_EQ(exit_status_of([] { list_ftdi_devices(); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't get function 'FT_Open' from library 'libm.so.6'\n"
                              "Can't get function 'ftdi_new' from library 'libm.so.6'\n");
#endif
}

TEST_F(library_choice, the_environment_forces_a_library)
{
    message_capture_t capture(MSG_TRACE);
    setenv("MORVIN_FTDI_LIBRARY", "usb", 1);
    EXPECT_EQ(exit_status_of([] { list_ftdi_devices(); }), EXIT_USAGE);
    EXPECT_NE(capture.text().find("Invalid MORVIN_FTDI_LIBRARY value 'usb' (d2xx or libftdi)\n"), std::string::npos);

    // Forced: that library is the one loaded (from a path that does not exist here).
    set_ftdi_library(FTDI_LIBRARY_AUTO, "/nonexistent/libftdi-test.so");
    setenv("MORVIN_FTDI_LIBRARY", "d2xx", 1);
    exit_status_of([] { list_ftdi_devices(); });
    EXPECT_NE(capture.text().find("\t% FTDI library: D2XX (MORVIN_FTDI_LIBRARY)\n"), std::string::npos);
    setenv("MORVIN_FTDI_LIBRARY", "libftdi", 1);
    exit_status_of([] { list_ftdi_devices(); });
    EXPECT_NE(capture.text().find("\t% FTDI library: libftdi1 (MORVIN_FTDI_LIBRARY)\n"), std::string::npos);
    EXPECT_NE(capture.text().find("Can't load library '/nonexistent/libftdi-test.so'\n"), std::string::npos);
}

}  // namespace
