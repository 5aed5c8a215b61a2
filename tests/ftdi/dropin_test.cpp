// The D2XX and libftdi1 wrappers against the virtual target's drop-in driver
// libraries. Each case runs in a child process, so that the library reads the
// environment of that case when it is loaded.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ftdi/spi_ftdi_mpsse.h"
#include "recording_chip.h"
#include "support/programming_mode.h"

namespace {

struct child_result_t {
    int status;
    std::string output;
};

using env_t = std::vector<std::pair<const char *, const char *>>;

// Runs body in a child with the messages (every level) going to a pipe; the exit
// status is body's result or the status of the app_error it raised.
child_result_t run_child(const env_t &env, const std::function<int()> &body)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {-1, "pipe failed"};
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        for (const char *name : {"VT_FTDI_DEVICES", "VT_FAULT", "VT_USB_LATENCY_US", "VT_TRACE", "VT_STATE",
                                 "VT_COUNTERS", "MORVIN_FTDI_LIBRARY"})
            unsetenv(name);
        for (const auto &e : env)
            setenv(e.first, e.second, 1);
        FILE *out = fdopen(fds[1], "w");
        msg_out.stream = out;
        msg_out.level = MSG_TRACE;
        int code;
        try {
            code = body();
        } catch (const app_error &e) {
            code = e.exit_code;
        }
        fflush(out);
        _exit(code);
    }
    close(fds[1]);
    std::string output;
    char chunk[4096];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        output.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status), output};
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

std::string library_path(const char *name)
{
    return std::string(MORVIN_BUILD_DIR) + "/vtarget/" + name;
}

bool exists(const std::string &path)
{
    return access(path.c_str(), R_OK) == 0;
}

const char three_devices[] = "4/Dual RS232 A/VT000001;4/Dual RS232 B/VT000002/opened;5/FT232R USB UART/VT000003";

struct dropin : ::testing::TestWithParam<ftdi_library_kind_t> {
    std::string path;
    void SetUp() override
    {
        path = library_path(GetParam() == FTDI_LIBRARY_D2XX ? "libftd2xx.so" : "libftdi1/libftdi1.so.2");
        if (!exists(path))
            FAIL() << "no drop-in library " << path;
    }
    // The body, given this case's library.
    child_result_t run(const env_t &env, const std::function<int(const ftdi_library_t &)> &body)
    {
        const ftdi_library_t library = library_file(GetParam(), path);
        return run_child(env, [&] { return body(library); });
    }
};

TEST_P(dropin, listing_shows_busy_devices_without_attributes)
{
    child_result_t r = run({{"VT_FTDI_DEVICES", three_devices}}, [](const ftdi_library_t &library) {
        list_ftdi_devices(library);
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "' successfully loaded\n")) << r.output;
    EXPECT_TRUE(contains(r.output, "3 FTDI devices detected\n"
                                   " 0: FT_DEVICE_2232C channel A (Dual RS232 A), serno 'VT000001'\n"
                                   " 1: opened by another process\n"
                                   " 2: FT_DEVICE_232R (FT232R USB UART), serno 'VT000003', no MPSSE\n"))
        << r.output;
}

TEST_P(dropin, opening_by_serial_number_and_description)
{
    env_t env = {{"VT_FTDI_DEVICES", three_devices}};
    child_result_t r = run(env, [](const ftdi_library_t &library) {
        std::unique_ptr<ftdi_chip_t> chip = open_ftdi_chip(library, request("VT000001", ""));
        chip.reset();
        chip = open_ftdi_chip(library, request("", "Dual RS232 A"));
        chip.reset();
        chip = open_ftdi_chip(library, request("VT000001", "Dual RS232 A"));
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;

    r = run(env, [](const ftdi_library_t &library) {
        open_ftdi_chip(library, request("VT000001", "My adapter"));
        return 0;
    });
    EXPECT_EQ(r.status, EXIT_USAGE);
    EXPECT_TRUE(contains(r.output, "Can't use opened FTDI device (some of parameters not match)\n"
                                   "Requested  FT_DEVICE_2232C (description \"My adapter\", serial number \"VT000001\")\n"
                                   "Found      FT_DEVICE_2232C (description \"Dual RS232 A\", serial number \"VT000001\")\n"))
        << r.output;

    // the wrong type: opened, then refused
    r = run(env, [](const ftdi_library_t &library) {
        open_ftdi_chip(library, request("", "FT232R USB UART"));
        return 0;
    });
    EXPECT_EQ(r.status, EXIT_USAGE);
    EXPECT_TRUE(contains(r.output, "Found      FT_DEVICE_232R (description \"FT232R USB UART\", serial number \"VT000003\")\n"))
        << r.output;

    r = run(env, [](const ftdi_library_t &library) {
        open_ftdi_chip(library, request("VT999999", ""));
        return 0;
    });
    EXPECT_EQ(r.status, EXIT_USAGE);
    EXPECT_TRUE(contains(r.output, "Can't open FTDI device with serial number \"VT999999\" (")) << r.output;

    r = run(env, [](const ftdi_library_t &library) {
        open_ftdi_chip(library, request("", "Dual RS232 B"));
        return 0;
    });
    EXPECT_EQ(r.status, EXIT_USAGE);
    EXPECT_TRUE(contains(r.output, "Can't open FTDI device with description \"Dual RS232 B\" (")) << r.output;
}

// Programming Enable and the signature of the virtual mega328P through the adapter.
TEST_P(dropin, adapter_talks_to_the_virtual_chip)
{
    child_result_t r = run({{"VT_CHIP", "mega328P"}, {"VT_CLOCK_KHZ", "8000"}}, [](const ftdi_library_t &library) {
        pin_map_t map = {};
        snprintf(map.name, sizeof map.name, "FT2232 MPSSE");
        map.signals[SIG_RESET].high_mask = 0x0008;
        float t = 2 * 1050.0f / 8000;
        spi_ftdi_mpsse_t adapter(open_ftdi_chip(library, request("", "Dual RS232 A")), map, t, t);
        adapter.enable_adapter();
        if (!enter_programming_mode(adapter, 20))
            return 1;
        uint8_t signature[12] = {0x30, 0, 0, 0, 0x30, 0, 1, 0, 0x30, 0, 2, 0};
        adapter.transfer_block(signature, signature, 12);
        if (signature[3] != 0x1E || signature[7] != 0x95 || signature[11] != 0x0F)
            return 2;
        // byte-wise forms give the same answer
        adapter.write_byte(0x30);
        adapter.write_byte(0x00);
        adapter.write_byte(0x01);
        if (adapter.read_byte() != 0x95)
            return 3;
        adapter.set_reset(false);
        adapter.disable_adapter();
        return 0;
    });
    EXPECT_EQ(r.status, 0) << r.output;
}

TEST_P(dropin, a_short_read_ends_the_run_after_the_time_out)
{
    child_result_t r = run({{"VT_FAULT", "usb_short_read"}}, [](const ftdi_library_t &library) {
        std::unique_ptr<ftdi_chip_t> chip = open_ftdi_chip(library, request("", "Dual RS232 A"));
        chip->set_bit_mode(0, FTDI_BITMODE_MPSSE);
        chip->set_timeouts(300, 300);
        const uint8_t command[] = {0x21, 0x03, 0x00, 0x87};  // four bytes in
        chip->write(command, sizeof command);
        uint8_t in[4];
        auto start = std::chrono::steady_clock::now();
        try {
            chip->read(in, 4);
        } catch (const app_error &e) {
            double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            fprintf(msg_out.stream, "waited %.0f ms\n", ms);
            throw;
        }
        return 0;
    });
    EXPECT_EQ(r.status, EXIT_USAGE) << r.output;
    EXPECT_TRUE(contains(r.output, "Can't read from FTDI chip\n")) << r.output;
    if (GetParam() == FTDI_LIBRARY_LIBFTDI) {
        // libftdi1 returns what has arrived; the wrapper keeps reading until the time-out
        int waited = 0;
        size_t at = r.output.find("waited ");
        ASSERT_NE(at, std::string::npos) << r.output;
        waited = atoi(r.output.c_str() + at + 7);
        EXPECT_GE(waited, 300);
        EXPECT_LT(waited, 3000);
    }
}

TEST_P(dropin, no_devices)
{
    child_result_t r = run({{"VT_FTDI_DEVICES", " "}}, [](const ftdi_library_t &library) {
        list_ftdi_devices(library);
        return 0;
    });
    EXPECT_EQ(r.status, EXIT_USAGE);
    EXPECT_TRUE(contains(r.output, "No FTDI devices found\n")) << r.output;
}

INSTANTIATE_TEST_SUITE_P(libraries, dropin,
                         ::testing::Values(FTDI_LIBRARY_D2XX
#if !defined(_WIN32)
                                           ,
                                           FTDI_LIBRARY_LIBFTDI
#endif
                                           ),
                         [](const ::testing::TestParamInfo<ftdi_library_kind_t> &info) {
                             return info.param == FTDI_LIBRARY_D2XX ? "d2xx" : "libftdi";
                         });

TEST(dropin_d2xx, a_library_lacking_one_entry_point_is_refused)
{
    std::string path = library_path("libftd2xx_incomplete.so");
    if (!exists(path))
        FAIL() << "no drop-in library " << path;
    child_result_t r = run_child({}, [=] {
        list_ftdi_devices(library_file(FTDI_LIBRARY_D2XX, path));
        return 0;
    });
    EXPECT_EQ(r.status, EXIT_USAGE);
    EXPECT_TRUE(contains(r.output, "Can't get function 'FT_")) << r.output;
    EXPECT_TRUE(contains(r.output, "' from library '" + path + "'\n")) << r.output;
    EXPECT_FALSE(contains(r.output, "successfully loaded")) << r.output;
    EXPECT_FALSE(contains(r.output, "FTDI devices detected")) << r.output;
}

}  // namespace
