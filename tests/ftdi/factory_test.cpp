// create_ft2232_adapter: the -p options, the pin map, the clock and the device it opens.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftdi/ft2232_adapter.h"
#include "recording_chip.h"

namespace {

struct factory : ::testing::Test {
    void SetUp() override
    {
        fake.devices = {node(FTDI_DEVICE_2232C, "FT123456A", "Dual RS232 A"),
                        node(FTDI_DEVICE_2232C, "FT123456B", "Dual RS232 B"),
                        node(FTDI_DEVICE_2232C, "FT0123456789ABCD", "My adapter"),
                        node(FTDI_DEVICE_2232C, "FT77", std::string(64, 'x').c_str())};
    }
    chip_log_t &chip() { return *fake.chip_log; }

    // The factory with these settings and the given -a and -p texts.
    std::unique_ptr<spi_t> create(const char *adapter_text, const char *port_text)
    {
        adapter_settings_t with_texts = settings;
        with_texts.adapter_text = adapter_text;
        with_texts.port_text = port_text;
        return create_ft2232_adapter(with_texts, fake.choice()).spi;
    }

    // What the run hands the factory: by default a mega8 on its 800 kHz
    // clock, SCK low and high 2 periods each.
    adapter_settings_t settings;
    // The driver library the factory loads, fresh for each test.
    fake_library_t fake;
};

TEST_F(factory, without_port_switch_the_default_device_and_map_are_used)
{
    message_capture_t capture(MSG_TRACE);
    std::unique_ptr<spi_t> adapter = create("ft2232", nullptr);
    // the first channel with an MPSSE engine, by its serial number
    EXPECT_EQ(fake.opened_key, "FT123456A");
    EXPECT_EQ(fake.opened_how, 1u);
    EXPECT_STREQ(adapter->adapter_name(), "FT2232 MPSSE");
    EXPECT_EQ(hex(chip().writes.at(0)), "86 1F 00 87");
    std::string text = capture.text();
    EXPECT_NE(text.find("No FT2232 \"port\" switch found\nthe first FTDI channel with an MPSSE engine will be used\n"
                        "\t% FTDI device 0 chosen: FT_DEVICE_2232C (Dual RS232 A), serno 'FT123456A'\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\t% FT2232 MPSSE SPI adapter created, SCK frequency 188kHz\n"), std::string::npos) << text;

    // reset on adbus3, no enable: directions 0x000B
    adapter->enable_adapter();
    adapter->pulse_reset();
    EXPECT_EQ(hex(chip().writes.at(1)), "80 08 0B 82 00 00");
    EXPECT_EQ(hex(chip().writes.at(2)), "80 08 0B 80 08 0B 80 08 0B 80 08 0B 80 00 0B");
}

TEST_F(factory, clock_follows_target_frequency_and_sck_periods)
{
    settings.osc_khz = 16000;
    settings.sck_low_periods = settings.sck_high_periods = 3;
    message_capture_t capture(MSG_TRACE);
    std::unique_ptr<spi_t> adapter = create("ft2232", nullptr);
    EXPECT_EQ(hex(chip().writes.at(0)), "86 02 00 87");
    EXPECT_DOUBLE_EQ(static_cast<double>(adapter->spi_frequency()), 2.0);
    EXPECT_NE(capture.text().find("SCK frequency 2.00MHz\n"), std::string::npos) << capture.text();
    adapter.reset();

    // unequal periods at 800 kHz: the longer phase rules, t = 2 x 4 x 1.3125 us, 63 cycles
    fake = fake_library_t();
    fake.devices = {node(FTDI_DEVICE_2232C, "FT123456A", "Dual RS232 A")};
    settings.osc_khz = 800;
    settings.sck_low_periods = 2;
    settings.sck_high_periods = 4;
    adapter = create("ft2232", nullptr);
    EXPECT_EQ(hex(chip().writes.at(0)), "86 3E 00 87");
}

TEST_F(factory, cannot_generate_the_target_clock)
{
    settings.osc_khz = 0;
    message_capture_t capture(MSG_TRACE);
    EXPECT_EQ(exit_status_of([this] { create("ft2232", nullptr); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "FT2232 hardware SPI adapter can't generate XTAL\n");
    EXPECT_EQ(fake.loads, 0);
}

TEST_F(factory, question_mark_lists_devices_and_ends_the_run_successfully)
{
    message_capture_t capture(MSG_INFO);
    EXPECT_EQ(exit_status_of([this] { create("ft2232", "?"); }), EXIT_OK);
    std::string text = capture.text();
    EXPECT_EQ(text.substr(0, text.find('\n') + 1), "4 FTDI devices detected\n");
    EXPECT_NE(text.find(" 2: FT_DEVICE_2232C channel A (My adapter), serno 'FT0123456789ABCD'\n"), std::string::npos)
        << text;
    EXPECT_EQ(fake.opened_key, "");
    EXPECT_TRUE(chip().calls.empty());
}

TEST_F(factory, serial_number_and_description_options)
{
    const std::string long_description(64, 'x');
    const struct {
        std::string port_text;
        std::string key;  // what the device is opened by
        uint32_t how;
    } cases[] = {
        {"s=FT123456B", "FT123456B", FTDI_OPEN_BY_SERIAL_NUMBER},
        // both: opened by serial number, the description checked afterwards
        {"s=FT123456A,d=Dual RS232 A", "FT123456A", FTDI_OPEN_BY_SERIAL_NUMBER},
        // a later item replaces an earlier one; a trailing comma adds nothing
        {"d=Dual RS232 A,d=My adapter,", "My adapter", FTDI_OPEN_BY_DESCRIPTION},
        // the longest values: 16-character serial number, 64-character description
        {"s=FT0123456789ABCD", "FT0123456789ABCD", FTDI_OPEN_BY_SERIAL_NUMBER},
        {"d=" + long_description, long_description, FTDI_OPEN_BY_DESCRIPTION},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.port_text);
        EXPECT_TRUE(create("ft2232", c.port_text.c_str()));
        EXPECT_EQ(fake.opened_key, c.key);
        EXPECT_EQ(fake.opened_how, c.how);
    }

    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([this] { create("ft2232", "s=FT123456A,d=My adapter"); }), EXIT_USAGE);
    EXPECT_NE(capture.text().find("Can't use opened FTDI device (some of parameters not match)\n"), std::string::npos);
}

struct option_case {
    const char *value;
    const char *message;
};

TEST_F(factory, malformed_options_are_refused_before_any_device_is_opened)
{
    const std::string long_item = "d=" + std::string(65, 'y');  // 67 characters
    const std::string long_list = "s=FT1," + long_item + ",d=z";
    const option_case cases[] = {
        {"v=", "Invalid FT2232 option 'v='\n"},
        {"v=04G3", "Invalid FT2232 option 'v=04G3' (a USB ID is 1 to 4 hexadecimal digits)\n"},
        {"p=10000", "Invalid FT2232 option 'p=10000' (a USB ID is 1 to 4 hexadecimal digits)\n"},
        {"p=0x", "Invalid FT2232 option 'p=0x' (a USB ID is 1 to 4 hexadecimal digits)\n"},
        {"s=FT1,v=0", "Invalid FT2232 option 'v=0' (a USB ID is 1 to 4 hexadecimal digits)\n"},
        {"V=0403", "Invalid FT2232 option 'V=0403'\n"},
        {"S=FT1", "Invalid FT2232 option 'S=FT1'\n"},
        {"D=Dual RS232 A", "Invalid FT2232 option 'D=Dual RS232 A'\n"},
        {"d=", "Invalid FT2232 option 'd='\n"},
        {"d", "Invalid FT2232 option 'd'\n"},
        {"dd=x", "Invalid FT2232 option 'dd=x'\n"},
        {"==x", "Invalid FT2232 option '==x'\n"},
        {"d=x,,s=y", "Invalid FT2232 option ''\n"},
        {",d=x", "Invalid FT2232 option ''\n"},
        {"s=FT0123456789ABCDE", "Serial number too long: 's=FT0123456789ABCDE'\n"},
        {long_list.c_str(), nullptr},
    };
    for (const option_case &c : cases) {
        fake = fake_library_t();
        message_capture_t capture(MSG_TRACE);
        EXPECT_EQ(exit_status_of([&] { create("ft2232", c.value); }), EXIT_USAGE) << c.value;
        std::string expected = c.message ? c.message : "Option too long: '" + long_item + "'\n";
        EXPECT_EQ(capture.text(), expected) << c.value;
        EXPECT_EQ(fake.loads, 0) << c.value;
    }
}

// The high-speed chips get adaptive and three-phase clocking off and the divide-by-5 chosen
// with the clock; the fastest SCK from either base. The FT2232C's stream has none of that.
TEST_F(factory, high_speed_chips_are_set_up_and_clocked_from_both_bases)
{
    struct clock_case {
        uint32_t type;
        uint32_t osc_khz;
        const char *setup;
        double mhz;
    };
    const clock_case cases[] = {
        // 16 MHz target: period 0.39375 us -> 12 cycles of 30 MHz (2.5 MHz); 3 of 6 MHz (2 MHz)
        {FTDI_DEVICE_2232H, 16000, "8A 97 8D 86 0B 00 87", 2.5},
        {FTDI_DEVICE_4232H, 16000, "8A 97 8D 86 0B 00 87", 2.5},
        {FTDI_DEVICE_232H, 16000, "8A 97 8D 86 0B 00 87", 2.5},
        {FTDI_DEVICE_2232C, 16000, "86 02 00 87", 2.0},
        // 800 kHz: 5.25 us -> 158 cycles of 30 MHz (0.1899 MHz) beat 32 of 6 MHz (0.1875 MHz)
        {FTDI_DEVICE_2232H, 800, "8A 97 8D 86 9D 00 87", 30.0 / 158},
        // 1 kHz: 4200 us -> 126000 cycles of 30 MHz do not fit; 25200 of 6 MHz do
        {FTDI_DEVICE_232H, 1, "8B 97 8D 86 6F 62 87", 6.0 / 25200},
    };
    for (const clock_case &c : cases) {
        fake = fake_library_t();
        fake.devices = {node(c.type, "FT9", c.type == FTDI_DEVICE_232H ? "Single RS232-HS" : "Dual RS232-HS A")};
        settings.osc_khz = c.osc_khz;
        // what the run computes for a mega8: 3 clocks a phase above 12 MHz, else 2
        settings.sck_low_periods = settings.sck_high_periods = c.osc_khz > 12000 ? 3 : 2;
        std::unique_ptr<spi_t> adapter = create("ft2232", nullptr);
        EXPECT_EQ(hex(chip().writes.at(0)), c.setup) << c.type << " at " << c.osc_khz;
        EXPECT_NEAR(static_cast<double>(adapter->spi_frequency()), c.mhz, 1e-5) << c.type << " at " << c.osc_khz;
    }
}

TEST_F(factory, usb_ids_and_listing_items)
{
    for (ftdi_node_t &n : fake.devices)
        n.id = 0x04036010;
    fake.devices[2].id = 0x1234ABCD;
    std::unique_ptr<spi_t> adapter = create("ft2232", "v=1234,p=0xabcd");
    EXPECT_EQ(fake.opened_key, "FT0123456789ABCD");
    EXPECT_EQ(fake.usb_ids, std::vector<uint32_t>{0x1234ABCD});
    adapter.reset();

    // '?' as an item lists the devices of those IDs
    message_capture_t capture(MSG_INFO);
    EXPECT_EQ(exit_status_of([this] { create("ft2232", "v=1234,p=ABCD,?"); }), EXIT_OK);
    EXPECT_EQ(capture.text(), "1 FTDI devices detected\n 0: FT_DEVICE_2232C channel A (My adapter), serno 'FT0123456789ABCD'\n");
}

TEST_F(factory, empty_port_value_leaves_nothing_to_open_by)
{
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([this] { create("ft2232", ""); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Description and/or serial number must be set for FTDI device oprning\n");
}

TEST_F(factory, user_pin_map_is_completed_from_the_default_map)
{
    const struct {
        const char *adapter_text;
        const char *name;
        void (*drive)(spi_t &adapter);
        std::vector<std::string> writes;  // the pin writes after the clock set-up
    } cases[] = {
        {"FT2232:reset=acbus0", "FT2232 MPSSE",
         [](spi_t &adapter) {
             adapter.set_reset(false);
             adapter.pulse_reset();
         },
         {"80 00 03 82 01 01", "82 01 01 82 01 01 82 01 01 82 01 01 82 00 01"}},
        {"ft2232:name=My box:enable=adbus4,acbus3", "My box",
         [](spi_t &adapter) {
             adapter.enable_adapter();
             adapter.disable_adapter();
         },
         {"80 08 1B 82 00 08", "80 00 00 82 00 00"}},
        // reset written with '~': high mask empty, RESET never driven
        {"ft2232:reset=~adbus3", "FT2232 MPSSE", [](spi_t &adapter) { adapter.set_reset(false); },
         {"80 00 03 82 00 00"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.adapter_text);
        fake = fake_library_t();
        fake.devices = {node(FTDI_DEVICE_2232C, "FT123456A", "Dual RS232 A")};
        std::unique_ptr<spi_t> adapter = create(c.adapter_text, nullptr);
        EXPECT_STREQ(adapter->adapter_name(), c.name);
        c.drive(*adapter);
        for (size_t i = 0; i < c.writes.size(); i++)
            EXPECT_EQ(hex(chip().writes.at(i + 1)), c.writes[i]);
    }
}

TEST_F(factory, pin_map_errors_stop_before_the_device_is_opened)
{
    message_capture_t capture(MSG_ERROR);
    EXPECT_NE(exit_status_of([this] { create("ft2232:reset=adbus9", nullptr); }), -1);
    EXPECT_NE(exit_status_of([this] { create("ft2232=", nullptr); }), -1);
    EXPECT_EQ(fake.loads, 0);
    EXPECT_NE(capture.text().find("adapter: invalid pin name 'adbus9'\n"), std::string::npos) << capture.text();
}

TEST_F(factory, a_chip_that_fails_while_the_adapter_is_built_is_closed)
{
    fake.chip_log->fail_bit_mode = true;
    message_capture_t capture(MSG_ERROR);
    EXPECT_EQ(exit_status_of([this] { create("ft2232", nullptr); }), EXIT_USAGE);
    EXPECT_EQ(capture.text(), "Can't set bit mode (FT_IO_ERROR)\n");
    EXPECT_EQ(chip().calls.back(), "destroyed");
}

}  // namespace
