// The drop-in driver libraries, loaded as programs load them: D2XX, DLPortIO and libftdi1
// over the virtual target (a mega328P on its own 8 MHz clock unless VT_CHIP says otherwise).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <libftdi1/ftdi.h>

#include "support/e2e.h"
#include "support/scoped_env.h"

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string lib_dir = std::string(MORVIN_BUILD_DIR) + "/vtarget/";

// Clears every VT_ variable the tests set, then applies the given ones, until the scope ends.
e2e::scoped_env environment(const e2e::env_vars &vars)
{
    e2e::scoped_env env;
    for (const char *name : {"VT_FTDI_DEVICES", "VT_USB_LATENCY_US", "VT_FAULT", "VT_COUNTERS", "VT_CABLE",
                             "VT_PORT_CYCLE_NS", "VT_LPT_BASE", "VT_STATE", "VT_TRACE"})
        env.set(name, nullptr);
    for (const auto &v : vars)
        env.set(v.first, v.second);
    return env;
}

struct library {
    void *handle;
    explicit library(const std::string &path) : handle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) {}
    ~library()
    {
        if (handle)
            dlclose(handle);
    }
    template <typename F> F get(const char *name) const { return reinterpret_cast<F>(dlsym(handle, name)); }
};

// D2XX as published: 32-bit DWORD/ULONG, pointer handle.
typedef uint32_t DWORD;
typedef void *FT_HANDLE;
struct FT_DEVICE_LIST_INFO_NODE {
    DWORD Flags, Type, ID, LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};
typedef DWORD (*ft_create_list)(DWORD *);
typedef DWORD (*ft_get_list)(FT_DEVICE_LIST_INFO_NODE *, DWORD *);
typedef DWORD (*ft_open_ex)(void *, DWORD, FT_HANDLE *);
typedef DWORD (*ft_close)(FT_HANDLE);
typedef DWORD (*ft_get_info)(FT_HANDLE, DWORD *, DWORD *, char *, char *, void *);
typedef DWORD (*ft_io)(FT_HANDLE, void *, DWORD, DWORD *);
typedef DWORD (*ft_bitmode)(FT_HANDLE, uint8_t, uint8_t);
typedef DWORD (*ft_timeouts)(FT_HANDLE, DWORD, DWORD);
typedef DWORD (*ft_list)(void *, void *, DWORD);

struct d2xx {
    library lib;
    explicit d2xx(const char *name = "libftd2xx.so") : lib(lib_dir + name) {}
    DWORD open(const char *key, DWORD how, FT_HANDLE *h)
    {
        return lib.get<ft_open_ex>("FT_OpenEx")(const_cast<char *>(key), how, h);
    }
    DWORD write(FT_HANDLE h, std::vector<uint8_t> bytes, DWORD *written)
    {
        return lib.get<ft_io>("FT_Write")(h, bytes.data(), static_cast<DWORD>(bytes.size()), written);
    }
    DWORD read(FT_HANDLE h, uint8_t *buffer, DWORD n, DWORD *got) { return lib.get<ft_io>("FT_Read")(h, buffer, n, got); }
    void close(FT_HANDLE h) { lib.get<ft_close>("FT_Close")(h); }
};

const char *entry_points[] = {
    "FT_Open", "FT_OpenEx", "FT_ListDevices", "FT_Close", "FT_Read", "FT_Write", "FT_SetBaudRate", "FT_SetDivisor",
    "FT_Purge", "FT_SetTimeouts", "FT_GetQueueStatus", "FT_GetStatus", "FT_SetLatencyTimer", "FT_GetLatencyTimer",
    "FT_SetBitMode", "FT_SetUSBParameters", "FT_GetDeviceInfo", "FT_CreateDeviceInfoList", "FT_GetDeviceInfoList",
    "FT_GetDeviceInfoDetail", "FT_GetDriverVersion", "FT_GetLibraryVersion", "FT_Reload",
};

// MPSSE at 1 MHz, RESET (adbus3) low, then the time the chip wants before Programming Enable.
const std::vector<uint8_t> mpsse_enter = {0x86, 0x05, 0x00, 0x80, 0x08, 0x0B, 0x80, 0x00, 0x0B};
const std::vector<uint8_t> programming_enable = {0x31, 0x03, 0x00, 0xAC, 0x53, 0x00, 0x00, 0x87};

}  // namespace

TEST(DriverD2xx, ExportsEveryEntryPointAndTheTestLibraryLacksOne)
{
    auto env = environment({});
    d2xx full;
    ASSERT_TRUE(full.lib.handle) << dlerror();
    for (const char *name : entry_points)
        EXPECT_TRUE(dlsym(full.lib.handle, name)) << name;
    d2xx incomplete("libftd2xx_incomplete.so");
    ASSERT_TRUE(incomplete.lib.handle) << dlerror();
    for (const char *name : entry_points)
        EXPECT_EQ(dlsym(incomplete.lib.handle, name) != nullptr, std::strcmp(name, "FT_Reload") != 0) << name;
}

TEST(DriverD2xx, ListsDevicesIncludingOneOpenedElsewhere)
{
    auto env = environment({{"VT_FTDI_DEVICES", "4/Dual RS232 A/VT1A;4/Dual RS232 B/VT1B/opened;5/USB Serial/VT3"}});
    d2xx d;
    ASSERT_TRUE(d.lib.handle);
    static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, SerialNumber) == 16, "published layout");
    static_assert(offsetof(FT_DEVICE_LIST_INFO_NODE, Description) == 32, "published layout");
    DWORD n = 0;
    ASSERT_EQ(d.lib.get<ft_create_list>("FT_CreateDeviceInfoList")(&n), 0u);
    ASSERT_EQ(n, 3u);
    FT_DEVICE_LIST_INFO_NODE nodes[3];
    std::memset(nodes, 0x55, sizeof nodes);
    ASSERT_EQ(d.lib.get<ft_get_list>("FT_GetDeviceInfoList")(nodes, &n), 0u);
    EXPECT_EQ(nodes[0].Flags & 1, 0u);
    EXPECT_EQ(nodes[0].Type, 4u);
    EXPECT_STREQ(nodes[0].SerialNumber, "VT1A");
    EXPECT_STREQ(nodes[0].Description, "Dual RS232 A");
    EXPECT_EQ(nodes[1].Flags & 1, 1u);
    EXPECT_STREQ(nodes[1].Description, "");
    EXPECT_EQ(nodes[2].Type, 5u);
    EXPECT_STREQ(nodes[2].SerialNumber, "VT3");

    DWORD count = 0;
    EXPECT_EQ(d.lib.get<ft_list>("FT_ListDevices")(&count, nullptr, 0x80000000u), 0u);
    EXPECT_EQ(count, 3u);
    char serial[64];
    EXPECT_EQ(d.lib.get<ft_list>("FT_ListDevices")(reinterpret_cast<void *>(uintptr_t(2)), serial, 0x40000001u), 0u);
    EXPECT_STREQ(serial, "VT3");
}

TEST(DriverD2xx, OpensBySerialNumberOrDescription)
{
    auto env = environment({{"VT_FTDI_DEVICES", "4/Dual RS232 A/VT1A;4/Dual RS232 B/VT1B/opened;5/USB Serial/VT3"},
                            {"VT_USB_LATENCY_US", "0"}});
    d2xx d;
    FT_HANDLE a = nullptr, b = nullptr, c = nullptr;
    ASSERT_EQ(d.open("VT1A", 1, &a), 0u);
    EXPECT_EQ(d.open("VT1A", 1, &b), 3u);             // already open here
    EXPECT_EQ(d.open("Dual RS232 B", 2, &b), 3u);     // held by another process
    EXPECT_EQ(d.open("VT1B", 1, &b), 3u);
    EXPECT_EQ(d.open("nothing", 1, &b), 2u);          // FT_DEVICE_NOT_FOUND
    EXPECT_EQ(d.open("Dual RS232", 2, &b), 2u);       // descriptions compare exactly
    ASSERT_EQ(d.open("USB Serial", 2, &c), 0u);
    DWORD type = 0, id = 0;
    char serial[17], description[65];
    ASSERT_EQ(d.lib.get<ft_get_info>("FT_GetDeviceInfo")(c, &type, &id, serial, description, nullptr), 0u);
    EXPECT_EQ(type, 5u);
    EXPECT_STREQ(serial, "VT3");
    EXPECT_STREQ(description, "USB Serial");
    ASSERT_EQ(d.lib.get<ft_get_info>("FT_GetDeviceInfo")(a, &type, &id, serial, description, nullptr), 0u);
    EXPECT_EQ(type, 4u);
    EXPECT_STREQ(description, "Dual RS232 A");
    d.close(a);
    EXPECT_EQ(d.lib.get<ft_get_info>("FT_GetDeviceInfo")(a, &type, &id, serial, description, nullptr), 1u);
    ASSERT_EQ(d.open("Dual RS232 A", 2, &a), 0u);  // free again after closing
    d.close(a);
    d.close(c);
}

// The FTDI family as D2XX on Linux lists it: a node per channel with its type code, IDs
// and high-speed flag; only FTDI's own IDs until FT_SetVIDPID names another pair; no way in
// past ftdi_sio or the device node's permissions.
const char family[] = "FT2232H/H1;FT4232H/Q1/opened=B/sio=D;FT232H/S1/id=1209:7001;FT232R/R1/denied;FT232BM/B1";

TEST(DriverD2xx, ListsTheFamilyAndOpensWhatLinuxAllows)
{
    auto env = environment({{"VT_FTDI_DEVICES", family}, {"VT_USB_LATENCY_US", "0"}});
    d2xx d;
    ASSERT_TRUE(d.lib.handle);
    auto set_vid_pid = d.lib.get<DWORD (*)(DWORD, DWORD)>("FT_SetVIDPID");
    ASSERT_TRUE(set_vid_pid);
    struct node_case {
        DWORD flags, type, id;
        const char *description, *serial;
        DWORD open_status;
    };
    const node_case want[] = {
        {2, 6, 0x04036010, "Dual RS232-HS A", "H1A", 0},
        {2, 6, 0x04036010, "Dual RS232-HS B", "H1B", 0},
        {2, 7, 0x04036011, "Quad RS232-HS A", "Q1A", 0},
        {3, 7, 0x04036011, "", "", 3},  // held by another program
        {2, 7, 0x04036011, "Quad RS232-HS C", "Q1C", 0},
        {2, 7, 0x04036011, "Quad RS232-HS D", "Q1D", 3},  // bound to ftdi_sio
        {2, 8, 0x12097001, "Single RS232-HS", "S1", 0},   // listed once its IDs are set
        {0, 5, 0x04036001, "", "", 3},                    // no permission
        {0, 0, 0x04036001, "USB <-> Serial", "B1", 0},
    };
    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE(pass);
        if (pass == 1) {
            ASSERT_EQ(set_vid_pid(0x1209, 0x7001), 0u);
        }
        DWORD n = 0;
        ASSERT_EQ(d.lib.get<ft_create_list>("FT_CreateDeviceInfoList")(&n), 0u);
        ASSERT_EQ(n, pass == 0 ? 8u : 9u);
        FT_DEVICE_LIST_INFO_NODE nodes[9];
        ASSERT_EQ(d.lib.get<ft_get_list>("FT_GetDeviceInfoList")(nodes, &n), 0u);
        for (DWORD i = 0, w = 0; i < n; i++, w++) {
            if (pass == 0 && w == 6)
                w++;  // the FT232H with its own IDs
            SCOPED_TRACE(w);
            const node_case &want_node = want[w];
            EXPECT_EQ(nodes[i].Flags, want_node.flags);
            EXPECT_EQ(nodes[i].Type, want_node.type);
            EXPECT_EQ(nodes[i].ID, want_node.id);
            EXPECT_STREQ(nodes[i].Description, want_node.description);
            EXPECT_STREQ(nodes[i].SerialNumber, want_node.serial);
            FT_HANDLE h = nullptr;
            EXPECT_EQ(d.lib.get<DWORD (*)(int, FT_HANDLE *)>("FT_Open")(static_cast<int>(i), &h), want_node.open_status);
            if (h)
                d.close(h);
        }
    }
    FT_HANDLE h = nullptr;
    EXPECT_EQ(d.open("Quad RS232-HS D", 2, &h), 3u);
    EXPECT_EQ(d.open("Dual RS232-HS B", 2, &h), 0u);
    DWORD type = 0, id = 0;
    char serial[17], description[65];
    ASSERT_EQ(d.lib.get<ft_get_info>("FT_GetDeviceInfo")(h, &type, &id, serial, description, nullptr), 0u);
    EXPECT_EQ(type, 6u);
    EXPECT_EQ(id, 0x04036010u);
    EXPECT_STREQ(serial, "H1B");
    d.close(h);
}

TEST(DriverD2xx, ProgrammingEnableThroughMpsseAndUsbCounters)
{
    std::string counters = std::string(MORVIN_BUILD_DIR) + "/vports_d2xx_counters.txt";
    std::remove(counters.c_str());
    auto env = environment({{"VT_USB_LATENCY_US", "200"}, {"VT_COUNTERS", counters.c_str()}});
    {
        d2xx d;
        FT_HANDLE h = nullptr;
        ASSERT_EQ(d.open("Dual RS232 A", 2, &h), 0u);
        ASSERT_EQ(d.lib.get<ft_bitmode>("FT_SetBitMode")(h, 0, 2), 0u);
        ASSERT_EQ(d.lib.get<ft_timeouts>("FT_SetTimeouts")(h, 500, 500), 0u);
        DWORD done = 0;
        ASSERT_EQ(d.write(h, mpsse_enter, &done), 0u);
        EXPECT_EQ(done, mpsse_enter.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(d.write(h, programming_enable, &done), 0u);
        uint8_t answer[4] = {};
        ASSERT_EQ(d.read(h, answer, 4, &done), 0u);
        // 32 bits at 1 MHz, then the USB round trip
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(232));
        EXPECT_EQ(done, 4u);
        EXPECT_EQ(answer[2], 0x53);  // in step: the echo of the second byte
        d.close(h);
    }
    std::string text = e2e::read_text(counters);
    EXPECT_NE(text.find("usb_round_trips"), std::string::npos) << text;
    EXPECT_NE(text.find("usb_round_trips", 0), std::string::npos);
    size_t at = text.find("usb_round_trips");
    ASSERT_NE(at, std::string::npos);
    std::string rest = text.substr(at + 15);
    EXPECT_EQ(std::strtoul(rest.c_str() + rest.find_first_of("0123456789"), nullptr, 10), 1ul) << text;
    std::remove(counters.c_str());
}

// The first channel of the default device, opened by serial number in MPSSE mode
// with the USB latency off and the given fault, handed to check.
void with_faulty_channel(const char *fault, const std::function<void(d2xx &, FT_HANDLE)> &check)
{
    SCOPED_TRACE(fault);
    auto env = environment({{"VT_USB_LATENCY_US", "0"}, {"VT_FAULT", fault}});
    d2xx d;
    FT_HANDLE h = nullptr;
    ASSERT_EQ(d.open("VT000001", 1, &h), 0u);
    d.lib.get<ft_bitmode>("FT_SetBitMode")(h, 0, 2);
    check(d, h);
    d.close(h);
}

TEST(DriverD2xx, ShortReadAndWriteErrorFaults)
{
    with_faulty_channel("usb_short_read=1", [](d2xx &d, FT_HANDLE h) {
        DWORD done = 0;
        ASSERT_EQ(d.write(h, {0x31, 0x03, 0x00, 1, 2, 3, 4, 0x87}, &done), 0u);
        uint8_t answer[4];
        EXPECT_EQ(d.read(h, answer, 4, &done), 0u);  // status OK, count short
        EXPECT_EQ(done, 3u);
    });
    with_faulty_channel("usb_write_error=2", [](d2xx &d, FT_HANDLE h) {
        DWORD done = 99;
        EXPECT_EQ(d.write(h, {0x80, 0x08, 0x0B}, &done), 0u);
        EXPECT_EQ(d.write(h, {0x80, 0x00, 0x0B}, &done), 4u);  // FT_IO_ERROR
        EXPECT_EQ(done, 0u);
    });
}

TEST(DriverDlportio, BitBangedProgrammingEnableAtAnyBase)
{
    auto env = environment({{"VT_CABLE", "fbprg"}, {"VT_PORT_CYCLE_NS", "1000"}});
    for (uint32_t base : {0x378u, 0x278u, 0x3BCu, 0xE000u}) {
        SCOPED_TRACE(base);
        library lib(lib_dir + "libdlportio.so");
        ASSERT_TRUE(lib.handle) << dlerror();
        auto out = lib.get<void (*)(uint32_t, uint8_t)>("DlPortWritePortUchar");
        auto in = lib.get<uint8_t (*)(uint32_t)>("DlPortReadPortUchar");
        auto block = lib.get<void (*)(uint32_t, uint8_t *, uint32_t)>("DlPortWritePortBufferUchar");
        ASSERT_TRUE(out && in && block);
        out(base + 2, static_cast<uint8_t>(in(base + 2) | 0x20));  // direction bit works
        EXPECT_EQ(in(base + 2) & 0x20, 0x20);
        out(base + 2, 0x00);
        out(base, 0x10);
        out(base, 0x00);  // RESET low
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        uint8_t reply[4] = {};
        const uint8_t cmd[4] = {0xAC, 0x53, 0x00, 0x00};
        for (int i = 0; i < 4; i++) {
            for (int bit = 7; bit >= 0; bit--) {
                uint8_t mosi = ((cmd[i] >> bit) & 1) ? 0x20 : 0x00;
                uint8_t wave[4] = {mosi, mosi, static_cast<uint8_t>(mosi | 0x40), static_cast<uint8_t>(mosi | 0x40)};
                block(base, wave, 4);
                reply[i] = static_cast<uint8_t>((reply[i] << 1) | ((in(base + 1) >> 6) & 1));
            }
        }
        out(base, 0x00);
        EXPECT_EQ(reply[2], 0x53);
    }
}

TEST(DriverDlportio, FixedBaseIgnoresOtherAddresses)
{
    auto env = environment({{"VT_CABLE", "stk200"}, {"VT_LPT_BASE", "378"}});
    library lib(lib_dir + "libdlportio.so");
    auto out = lib.get<void (*)(uint32_t, uint8_t)>("DlPortWritePortUchar");
    auto in = lib.get<uint8_t (*)(uint32_t)>("DlPortReadPortUchar");
    // STK200: D0 comes back on PE
    out(0x378, 0x01);
    EXPECT_EQ(in(0x379) & 0x20, 0x20);
    out(0x378, 0x00);
    EXPECT_EQ(in(0x379) & 0x20, 0x00);
    out(0x278, 0x01);  // nothing there
    EXPECT_EQ(in(0x379) & 0x20, 0x00);
    EXPECT_EQ(in(0x279), 0xFF);
}

// Every libftdi1 entry point the program calls, each a local named as in ftdi.h; a
// missing one fails the case.
#define LIBFTDI1_ENTRY(lib, name)                      \
    auto name = (lib).get<decltype(&::name)>(#name);   \
    ASSERT_TRUE(name) << #name
#define LIBFTDI1_ENTRY_POINTS(lib)                                                                          \
    LIBFTDI1_ENTRY(lib, ftdi_new);                                                                          \
    LIBFTDI1_ENTRY(lib, ftdi_free);                                                                         \
    LIBFTDI1_ENTRY(lib, ftdi_set_interface);                                                                \
    LIBFTDI1_ENTRY(lib, ftdi_usb_find_all);                                                                 \
    LIBFTDI1_ENTRY(lib, ftdi_list_free);                                                                    \
    LIBFTDI1_ENTRY(lib, ftdi_usb_get_strings);                                                              \
    LIBFTDI1_ENTRY(lib, ftdi_usb_get_strings2);                                                             \
    LIBFTDI1_ENTRY(lib, ftdi_usb_open_dev);                                                                 \
    LIBFTDI1_ENTRY(lib, ftdi_usb_open_desc_index);                                                          \
    LIBFTDI1_ENTRY(lib, ftdi_usb_close);                                                                    \
    LIBFTDI1_ENTRY(lib, ftdi_set_bitmode);                                                                  \
    LIBFTDI1_ENTRY(lib, ftdi_write_data);                                                                   \
    LIBFTDI1_ENTRY(lib, ftdi_read_data);                                                                    \
    auto ftdi_usb_purge_rx_buffer = (lib).get<int (*)(ftdi_context *)>("ftdi_usb_purge_rx_buffer");        \
    ASSERT_TRUE(ftdi_usb_purge_rx_buffer);                                                                  \
    LIBFTDI1_ENTRY(lib, ftdi_set_latency_timer);                                                            \
    LIBFTDI1_ENTRY(lib, ftdi_get_error_string);                                                             \
    LIBFTDI1_ENTRY(lib, ftdi_usb_reset);                                                                    \
    LIBFTDI1_ENTRY(lib, ftdi_set_baudrate);                                                                 \
    LIBFTDI1_ENTRY(lib, ftdi_read_data_set_chunksize);                                                      \
    LIBFTDI1_ENTRY(lib, ftdi_write_data_set_chunksize)

TEST(DriverLibftdi1, ListsOpensAndTransfers)
{
    auto env =
        environment({{"VT_FTDI_DEVICES", "4/Dual RS232 A/VT1A;4/Dual RS232 B/VT1B/opened"}, {"VT_USB_LATENCY_US", "0"}});
    library lib(lib_dir + "libftdi1/libftdi1.so.2");
    ASSERT_TRUE(lib.handle) << dlerror();
    LIBFTDI1_ENTRY_POINTS(lib);
    ftdi_context *ctx = ftdi_new();
    ASSERT_TRUE(ctx);
    EXPECT_EQ(ctx->usb_read_timeout, 5000);
    EXPECT_EQ(ftdi_set_interface(ctx, INTERFACE_A), 0);
    EXPECT_EQ(ftdi_set_bitmode(ctx, 0, BITMODE_MPSSE), -2);  // nothing open yet
    ftdi_device_list *list = nullptr;
    ASSERT_EQ(ftdi_usb_find_all(ctx, &list, 0, 0), 2);
    ASSERT_TRUE(list && list->next && !list->next->next);
    ftdi_device_list *none = nullptr;
    EXPECT_EQ(ftdi_usb_find_all(ctx, &none, 0x0403, 0x6001), 0);
    char manufacturer[32], description[64], serial[16];
    ASSERT_EQ(ftdi_usb_get_strings(ctx, list->next->dev, manufacturer, 32, description, 64, serial, 16), 0);
    EXPECT_STREQ(description, "Dual RS232 B");
    EXPECT_STREQ(serial, "VT1B");
    EXPECT_EQ(ftdi_usb_open_dev(ctx, list->next->dev), -5);
    EXPECT_NE(std::string(ftdi_get_error_string(ctx)).find("unable to claim"), std::string::npos);
    ASSERT_EQ(ftdi_usb_get_strings(ctx, list->dev, nullptr, 0, description, 64, serial, 16), 0);
    EXPECT_STREQ(serial, "VT1A");
    ASSERT_EQ(ftdi_usb_open_dev(ctx, list->dev), 0);
    ftdi_context *other = ftdi_new();
    EXPECT_EQ(ftdi_usb_open_dev(other, list->dev), -5);  // one owner at a time
    ftdi_free(other);
    EXPECT_EQ(ftdi_usb_reset(ctx), 0);
    EXPECT_EQ(ftdi_read_data_set_chunksize(ctx, 65536), 0);
    EXPECT_EQ(ftdi_write_data_set_chunksize(ctx, 4096), 0);
    EXPECT_EQ(ftdi_set_latency_timer(ctx, 0), -1);
    EXPECT_EQ(ftdi_set_latency_timer(ctx, 2), 0);
    EXPECT_EQ(ftdi_set_baudrate(ctx, 0), -1);
    ASSERT_EQ(ftdi_set_bitmode(ctx, 0, BITMODE_MPSSE), 0);
    EXPECT_EQ(ftdi_usb_purge_rx_buffer(ctx), 0);
    ASSERT_EQ(ftdi_write_data(ctx, mpsse_enter.data(), static_cast<int>(mpsse_enter.size())),
              static_cast<int>(mpsse_enter.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_EQ(ftdi_write_data(ctx, programming_enable.data(), static_cast<int>(programming_enable.size())),
              static_cast<int>(programming_enable.size()));
    uint8_t answer[5] = {};
    ctx->usb_read_timeout = 40;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ftdi_read_data(ctx, answer, 5), 4);  // asks one more than comes: waits the time-out
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(39));
    EXPECT_EQ(answer[2], 0x53);
    EXPECT_EQ(ftdi_usb_close(ctx), 0);
    EXPECT_EQ(ftdi_read_data(ctx, answer, 1), -666);
    ftdi_list_free(&list);
    EXPECT_EQ(list, nullptr);
    ftdi_list_free(&none);
    ftdi_free(ctx);
}

// The same family through libftdi1: a USB device per chip with its own strings and type,
// interfaces A..D as its channels, libusb's failures as libftdi1 reports them.
TEST(DriverLibftdi1, FamilyInterfacesAndRefusals)
{
    auto env = environment({{"VT_FTDI_DEVICES", family}, {"VT_USB_LATENCY_US", "0"}});
    library lib(lib_dir + "libftdi1/libftdi1.so.2");
    ASSERT_TRUE(lib.handle) << dlerror();
    LIBFTDI1_ENTRY_POINTS(lib);
    ftdi_context *ctx = ftdi_new();
    ftdi_device_list *list = nullptr;
    ASSERT_EQ(ftdi_usb_find_all(ctx, &list, 0, 0), 4);  // FTDI's own IDs only
    struct device_case {
        const char *product, *serial;
        ftdi_chip_type type;
    };
    const device_case want[] = {{"Dual RS232-HS", "H1", TYPE_2232H},
                                {"Quad RS232-HS", "Q1", TYPE_4232H},
                                {"FT232R USB UART", "R1", TYPE_R},
                                {"USB <-> Serial", "B1", TYPE_BM}};
    std::vector<libusb_device *> devs;
    for (ftdi_device_list *node = list; node; node = node->next)
        devs.push_back(node->dev);
    ASSERT_EQ(devs.size(), 4u);
    for (size_t i = 0; i < devs.size(); i++) {
        SCOPED_TRACE(i);
        char manufacturer[32], description[64], serial[16];
        if (i == 2) {  // no permission on the device node
            errno = 0;
            EXPECT_EQ(ftdi_usb_get_strings(ctx, devs[i], manufacturer, 32, description, 64, serial, 16), -4);
            EXPECT_EQ(errno, EACCES);
            EXPECT_STREQ(ftdi_get_error_string(ctx), "libusb_open() failed");
            EXPECT_EQ(ftdi_usb_open_dev(ctx, devs[i]), -4);
            continue;
        }
        ASSERT_EQ(ftdi_usb_get_strings2(ctx, devs[i], manufacturer, 32, description, 64, serial, 16), 0);
        EXPECT_STREQ(description, want[i].product);
        EXPECT_STREQ(serial, want[i].serial);
        ASSERT_EQ(ftdi_usb_open_dev(ctx, devs[i]), 0);  // interface A
        EXPECT_EQ(ctx->type, want[i].type);
        EXPECT_EQ(ctx->max_packet_size, i < 2 ? 512u : 64u);
        EXPECT_EQ(ftdi_usb_close(ctx), 0);
    }
    // FT4232H: B is held by another program, C is free, D bound to ftdi_sio
    struct interface_case {
        ftdi_interface interface;
        int detach_mode;
        int result;
    };
    for (interface_case k : {interface_case{INTERFACE_B, AUTO_DETACH_SIO_MODULE, -5},
                             interface_case{INTERFACE_C, AUTO_DETACH_SIO_MODULE, 0},
                             interface_case{INTERFACE_D, DONT_DETACH_SIO_MODULE, -5},
                             interface_case{INTERFACE_D, AUTO_DETACH_SIO_MODULE, 0}}) {
        SCOPED_TRACE(k.interface);
        ftdi_context *c = ftdi_new();
        ASSERT_EQ(ftdi_set_interface(c, k.interface), 0);
        c->module_detach_mode = static_cast<ftdi_module_detach_mode>(k.detach_mode);
        EXPECT_EQ(ftdi_usb_open_dev(c, devs[1]), k.result);
        if (k.result) {
            EXPECT_NE(std::string(ftdi_get_error_string(c)).find("unable to claim usb device"), std::string::npos);
        }
        ftdi_free(c);
    }
    ftdi_context *b = ftdi_new();
    ASSERT_EQ(ftdi_set_interface(b, INTERFACE_B), 0);
    EXPECT_EQ(ftdi_usb_open_dev(b, devs[3]), 0);  // a one-interface chip
    ftdi_free(b);
    // by IDs and strings; the FT232H with its own IDs is found only by them
    EXPECT_EQ(ftdi_usb_open_desc_index(ctx, 0x0403, 0x6014, nullptr, nullptr, 0), -3);
    ASSERT_EQ(ftdi_usb_open_desc_index(ctx, 0x1209, 0x7001, "Single RS232-HS", "S1", 0), 0);
    EXPECT_EQ(ctx->type, TYPE_232H);
    ftdi_usb_close(ctx);
    EXPECT_EQ(ftdi_usb_open_desc_index(ctx, 0x0403, 0x6010, nullptr, "H1", 1), -3);
    EXPECT_EQ(ftdi_usb_open_desc_index(ctx, 0x0403, 0x6001, "FT232R USB UART", nullptr, 0), -4);
    ftdi_list_free(&list);
    ftdi_free(ctx);
}

WINE_TEST(DriverWindows, DllsLoadAndAnswerUnderWine)
{
    std::string dir = e2e::windows_build() + "/vtarget/";
    std::ifstream probe(dir + "vt_dll_probe.exe");
    ASSERT_TRUE(probe.good()) << "vt_dll_probe.exe missing in " << dir;
    // the FT232H with its own IDs, bound to ftdi_sio and without permission on Linux, is
    // listed and opened on Windows
    auto env = environment(
        {{"VT_FTDI_DEVICES", "4/Dual RS232 A/VT1A;4/Dual RS232 B/VT1B/opened;FT232H/S1/id=1209:7001/sio/denied"},
         {"VT_USB_LATENCY_US", "0"},
         {"VT_PORT_CYCLE_NS", "1000"}});
    std::string cmd = "cd '" + dir + "' && WINEDEBUG=-all wine vt_dll_probe.exe 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    ASSERT_TRUE(p);
    std::string output;
    char line[512];
    while (std::fgets(line, sizeof line, p))
        output += line;
    int status = pclose(p);
    EXPECT_EQ(status, 0) << output;
    for (const char *expected : {"DLportIO.dll loaded", "ftd2xx.dll loaded", "devices 3",
                                 "node 0 type 4 'Dual RS232 A' 'VT1A' id 04036010 flags 0", "node 1 opened elsewhere",
                                 "node 2 type 8 'Single RS232-HS' 'S1' id 12097001 flags 2",
                                 "open Dual RS232 A: 0", "enable echo 53", "FT_SetVIDPID missing", "open S1: 0",
                                 "lpt enable echo 53", "ftd2xx_incomplete.dll FT_Reload missing"})
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
}
