// Port set-up, write-cycle measurement, -p values and the ppdev device choice.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "adapters/lpt.h"
#include "fake_lpt.h"
#include "os/os.h"

namespace fs = std::filesystem;

namespace {

class lpt_port : public adapter_test {};

TEST_F(lpt_port, init_port_probes_direction_bit_and_measures_cycle)
{
    fake_lpt port;
    port.control = 0xDC;  // interrupt enable and direction set, SELECT, INIT
    port.data = 0x5A;
    // t100 = 0.150 ms, t4 = 0.006 ms: 96 writes in 0.144 ms
    port.block_times = {0.150L, 0.006L};
    port.init_port();
    EXPECT_TRUE(port.bidirectional);
    // interrupts off and data to input, then the direction bit cleared again
    EXPECT_EQ((std::vector<uint8_t>{0xEC, 0xCC}), port.record->control_writes());
    EXPECT_FLOAT_EQ(1.5f, port.write_cycle_us);
    EXPECT_EQ((std::vector<uint32_t>{100, 4}), port.measured);
    EXPECT_EQ(0x5A, port.data) << "the measurement leaves the data lines as they were";
}

TEST_F(lpt_port, port_without_direction_bit_is_not_bidirectional)
{
    fake_lpt port;
    port.direction_works = false;
    port.control = 0x04;
    port.block_times = {0.2L, 0.008L};
    port.init_port();
    EXPECT_FALSE(port.bidirectional);
    EXPECT_EQ((std::vector<uint8_t>{0x24}), port.record->control_writes());
    EXPECT_EQ(0, port.control & LPT_CTRL_BIDIR);
}

TEST_F(lpt_port, unmeasurable_cycle_is_measured_again_then_falls_back)
{
    {
        message_capture messages;
        fake_lpt port;
        // 96 writes look free; 996 writes take 0.996 ms - 0.004 ms
        port.block_times = {0.004L, 0.004L, 0.996L, 0.004L};
        port.init_port();
        EXPECT_EQ((std::vector<uint32_t>{100, 4, 1000, 4}), port.measured);
        EXPECT_NEAR(0.99598, port.write_cycle_us, 1e-4);
        EXPECT_TRUE(contains(messages.text(), "not measurable with 96 writes"));
    }
    {
        message_capture messages;
        fake_lpt port;
        // a timer that runs backwards both times: never divide by that
        port.block_times = {0.003L, 0.004L, 0.002L, 0.004L};
        port.init_port();
        EXPECT_FLOAT_EQ(LPT_FALLBACK_CYCLE_US, port.write_cycle_us);
        EXPECT_TRUE(contains(messages.text(), "\t% LPT write cycle not measurable, assuming 100ns\n"))
            << messages.text();
    }
}

TEST_F(lpt_port, real_measurement_of_a_port_is_positive)
{
    fake_lpt port;
    port.recording_blocks = false;
    port.init_port();
    EXPECT_GT(port.write_cycle_us, 0.0f);
}

// -p values that name a port.
TEST_F(lpt_port, port_numbers_and_base_addresses)
{
    struct case_t {
        const char *spec;
        int number;
        uint32_t base;
        const char *lines;
    } cases[] = {
        {nullptr, 2, 0x278, "\t% LPT port number 2\n\t% LPT base address 0x278\n"},
        {"1", 1, 0x378, "\t% LPT port number 1\n\t% LPT base address 0x378\n"},
        {"2", 2, 0x278, "\t% LPT port number 2\n\t% LPT base address 0x278\n"},
        {"3", 3, 0x3BC, "\t% LPT port number 3\n\t% LPT base address 0x3BC\n"},
        {"378", 0, 0x378, "\t% LPT base address 0x378\n"},
        {"0x3BC", 0, 0x3BC, "\t% LPT base address 0x3BC\n"},
        {"100", 0, 0x100, "\t% LPT base address 0x100\n"},
        {"3bc", 0, 0x3BC, "\t% LPT base address 0x3BC\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.spec ? c.spec : "(none)");
        message_capture messages;
        fake_lpt *port = attach_fake(2.0f);
        port->control = 0x2C;
        std::unique_ptr<lpt_t> opened = select_lpt_port(c.spec, settings.lpt);
        EXPECT_EQ(port, opened.get());
        EXPECT_EQ(c.number, chosen.lpt_number);
        EXPECT_EQ(c.base, chosen.base);
        EXPECT_EQ(std::string(c.lines) + "\t% LPT write cycle 2.00us\n", messages.text());
        EXPECT_EQ(0x0C, port->control) << "data lines driven after opening";
    }
}

TEST_F(lpt_port, cycle_time_after_comma_is_ignored_with_warning)
{
    message_capture messages;
    attach_fake();
    select_lpt_port("378,2.5", settings.lpt);
    EXPECT_EQ(0x378u, chosen.base);
    EXPECT_EQ(0, chosen.lpt_number);
    EXPECT_EQ(0u, messages.text().find("warning: forced LPT cycle time will be ignored\n"));
}

TEST_F(lpt_port, invalid_values_are_refused_before_any_port_is_touched)
{
    // 10000 and above: the registers would lie outside the 16-bit I/O space
    for (const char *spec : {"0", "4", "FF", "/1", "xyz", "", "10000", "-1", ",5"}) {
        SCOPED_TRACE(spec);
        message_capture messages(MSG_INFO);
        bool opened = false;
        lpt_access_t access;
        access.opener = [&](const lpt_port_choice_t &) {
            opened = true;
            return std::unique_ptr<lpt_t>(new fake_lpt());
        };
        EXPECT_EQ(EXIT_USAGE, exit_status_of([&] { select_lpt_port(spec, access); }));
        EXPECT_FALSE(opened);
        std::string text = messages.text();
        EXPECT_TRUE(ends_with(text, "Invalid value for switch -p\n")) << text;
    }
}

// A fake /proc/sys/dev/parport and /dev.
class ppdev_choice : public adapter_test {
protected:
    void SetUp() override
    {
        adapter_test::SetUp();
        root = fs::temp_directory_path() /
               ("morvin_ppdev_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "info" / "default");
        fs::create_directories(root / "dev");
        port_info(0, "888\t1912\n");
        port_info(2, "632\t-1\n");
        std::ofstream(root / "info" / "default" / "base-addr") << "632\n";
        dirs = {(root / "info").string(), (root / "dev").string()};
    }
    void TearDown() override
    {
        adapter_test::TearDown();
        fs::remove_all(root);
    }
    void port_info(int number, const char *text)
    {
        fs::path dir = root / "info" / ("parport" + std::to_string(number));
        fs::create_directories(dir);
        std::ofstream(dir / "base-addr") << text;
    }
    fs::path root;
    os::ppdev_dirs_t dirs;  // the made-up tree
};

lpt_port_choice_t lpt(int number)
{
    lpt_port_choice_t choice;
    choice.lpt_number = number;
    choice.base = lpt_base_addresses[number - 1];
    return choice;
}

lpt_port_choice_t at(uint32_t base)
{
    lpt_port_choice_t choice;
    choice.base = base;
    return choice;
}

TEST_F(ppdev_choice, lpt_number_is_the_port_at_its_base_else_parport_n_minus_1)
{
    EXPECT_EQ(0, ppdev_number_for_port(lpt(1), dirs));
    EXPECT_EQ(2, ppdev_number_for_port(lpt(2), dirs)) << "parport2 sits at LPT2's base";
    EXPECT_EQ(2, ppdev_number_for_port(lpt(3), dirs)) << "no port at 0x3BC: parport2";
    port_info(1, "956\t0\n");
    EXPECT_EQ(1, ppdev_number_for_port(lpt(3), dirs));
    EXPECT_EQ(2, ppdev_number_for_port(lpt(2), dirs));
    fs::remove_all(root / "info" / "parport2");
    EXPECT_EQ(1, ppdev_number_for_port(lpt(2), dirs));
    fs::remove_all(root / "info" / "parport1");
    EXPECT_EQ(-1, ppdev_number_for_port(lpt(2), dirs)) << "no port at 0x278, no parport1";
    // a device file without the kernel's information still counts, by number
    std::ofstream(root / "dev" / "parport1") << "";
    EXPECT_EQ(1, ppdev_number_for_port(lpt(2), dirs));
}

TEST_F(ppdev_choice, base_address_is_matched_through_kernel_information)
{
    EXPECT_EQ(0, ppdev_number_for_port(at(0x378), dirs));
    EXPECT_EQ(2, ppdev_number_for_port(at(0x278), dirs));
    EXPECT_EQ(-1, ppdev_number_for_port(at(0x3BC), dirs));
    EXPECT_EQ(-1, ppdev_number_for_port(at(1912), dirs)) << "the high base is not the port's base";
    port_info(1, "956\t0\n");
    EXPECT_EQ(1, ppdev_number_for_port(at(0x3BC), dirs));
    dirs.info = (root / "missing").string();
    EXPECT_EQ(-1, ppdev_number_for_port(at(0x378), dirs));
}

TEST_F(ppdev_choice, device_that_is_not_a_parallel_port_is_not_used)
{
    std::ofstream(root / "dev" / "parport0") << "not a device";
    os::ppdev_open_t opened = os::ppdev_open(dirs, (root / "dev" / "parport0").string());
    EXPECT_EQ(nullptr, opened.port);
    EXPECT_EQ(os::ppdev_failure::other, opened.failure);
    EXPECT_EQ(strerror(ENOTTY), opened.reason);
    opened = os::ppdev_open(dirs, (root / "dev" / "parport1").string());
    EXPECT_EQ(nullptr, opened.port);
    EXPECT_EQ(os::ppdev_failure::no_device, opened.failure);
}

TEST_F(ppdev_choice, the_library_stands_in_only_without_any_parport)
{
    int fallbacks = 0;
    auto fallback = [&](const lpt_port_choice_t &) {
        fallbacks++;
        return std::unique_ptr<lpt_t>(new fake_lpt());
    };
    {
        // listed by the kernel but without a device file: the fix is named, no library
        message_capture messages;
        EXPECT_EQ(EXIT_USAGE, exit_status_of([&] { open_ppdev_port(lpt(1), dirs, fallback); }));
        std::string device = (root / "dev" / "parport0").string();
        EXPECT_EQ("Can't open parallel port " + device + ": " + strerror(ENOENT) +
                      "\nThe port has no device file: load the kernel's ppdev driver (sudo modprobe ppdev)\n",
                  messages.text());
        EXPECT_EQ(0, fallbacks);
    }
    message_capture messages;
    dirs = {(root / "missing").string(), (root / "none").string()};
    std::unique_ptr<lpt_t> port = open_ppdev_port(lpt(1), dirs, fallback);
    EXPECT_NE(nullptr, port.get());
    EXPECT_EQ(1, fallbacks);
    EXPECT_EQ("\t% ppdev: no parallel port device, trying DLportIO\n", messages.text());
}

}  // namespace
