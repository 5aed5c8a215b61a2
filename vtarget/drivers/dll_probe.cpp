// Loads the virtual target's DLLs the way a Windows program does and prints what they answer.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

typedef void(__stdcall *write_port_t)(ULONG, UCHAR);
typedef UCHAR(__stdcall *read_port_t)(ULONG);
typedef void(__stdcall *write_buffer_t)(ULONG, PUCHAR, ULONG);

struct node_t {
    ULONG Flags, Type, ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    void *ftHandle;
};
typedef ULONG(__stdcall *create_list_t)(DWORD *);
typedef ULONG(__stdcall *get_list_t)(node_t *, DWORD *);
typedef ULONG(__stdcall *open_ex_t)(void *, DWORD, void **);
typedef ULONG(__stdcall *close_t)(void *);
typedef ULONG(__stdcall *io_t)(void *, void *, DWORD, DWORD *);
typedef ULONG(__stdcall *bitmode_t)(void *, UCHAR, UCHAR);
typedef ULONG(__stdcall *timeouts_t)(void *, ULONG, ULONG);

template <typename F> F entry(HMODULE m, const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(m, name)));
}

// Loads a DLL and says whether that worked; null when it did not.
static HMODULE load(const char *name)
{
    HMODULE m = LoadLibraryA(name);
    if (!m)
        std::printf("%s not loaded (%lu)\n", name, GetLastError());
    else
        std::printf("%s loaded\n", name);
    return m;
}

static int lpt_probe()
{
    HMODULE m = load("DLportIO.dll");
    if (!m)
        return 1;
    write_port_t out = entry<write_port_t>(m, "DlPortWritePortUchar");
    read_port_t in = entry<read_port_t>(m, "DlPortReadPortUchar");
    write_buffer_t block = entry<write_buffer_t>(m, "DlPortWritePortBufferUchar");
    if (!out || !in || !block) {
        std::printf("DLportIO.dll entry point missing\n");
        return 1;
    }
    // FBPRG: RESET D4 low, then Programming Enable bit by bit (MOSI D5, SCK D6, MISO ACK)
    out(0x278, 0x10);
    out(0x278, 0x00);
    Sleep(30);
    const UCHAR cmd[4] = {0xAC, 0x53, 0x00, 0x00};
    UCHAR reply[4] = {0, 0, 0, 0};
    for (int i = 0; i < 4; i++) {
        for (int bit = 7; bit >= 0; bit--) {
            UCHAR mosi = ((cmd[i] >> bit) & 1) ? 0x20 : 0x00;
            UCHAR wave[4] = {mosi, mosi, static_cast<UCHAR>(mosi | 0x40), static_cast<UCHAR>(mosi | 0x40)};
            block(0x278, wave, 4);
            reply[i] = static_cast<UCHAR>((reply[i] << 1) | ((in(0x279) >> 6) & 1));
        }
    }
    out(0x278, 0x10);
    std::printf("lpt enable echo %02X\n", reply[2]);
    FreeLibrary(m);
    return 0;
}

static int usb_probe()
{
    HMODULE m = load("ftd2xx.dll");
    if (!m)
        return 1;
    DWORD n = 0;
    if (entry<create_list_t>(m, "FT_CreateDeviceInfoList")(&n) != 0)
        return 1;
    std::printf("devices %lu\n", n);
    node_t nodes[8];
    if (n > 8 || entry<get_list_t>(m, "FT_GetDeviceInfoList")(nodes, &n) != 0)
        return 1;
    for (DWORD i = 0; i < n; i++) {
        if (nodes[i].Flags & 1)
            std::printf("node %lu opened elsewhere\n", i);
        else
            std::printf("node %lu type %lu '%s' '%s' id %08lX flags %lu\n", i, nodes[i].Type, nodes[i].Description,
                        nodes[i].SerialNumber, nodes[i].ID, nodes[i].Flags);
    }
    void *h = nullptr;
    char description[] = "Dual RS232 A";
    ULONG st = entry<open_ex_t>(m, "FT_OpenEx")(description, 2, &h);
    std::printf("open Dual RS232 A: %lu\n", st);
    if (st)
        return 1;
    entry<bitmode_t>(m, "FT_SetBitMode")(h, 0, 2);
    entry<timeouts_t>(m, "FT_SetTimeouts")(h, 1000, 1000);
    unsigned char setup[] = {0x86, 0x05, 0x00, 0x80, 0x08, 0x0B, 0x80, 0x00, 0x0B};
    unsigned char enable[] = {0x31, 0x03, 0x00, 0xAC, 0x53, 0x00, 0x00, 0x87};
    DWORD done = 0;
    io_t write = entry<io_t>(m, "FT_Write");
    write(h, setup, sizeof setup, &done);
    Sleep(30);
    write(h, enable, sizeof enable, &done);
    unsigned char answer[4] = {0, 0, 0, 0};
    st = entry<io_t>(m, "FT_Read")(h, answer, 4, &done);
    std::printf("read %lu bytes, status %lu, enable echo %02X\n", done, st, answer[2]);
    entry<close_t>(m, "FT_Close")(h);
    // Windows D2XX: no FT_SetVIDPID (the driver's .inf names the IDs), no ftdi_sio
    std::printf("FT_SetVIDPID %s\n", GetProcAddress(m, "FT_SetVIDPID") ? "present" : "missing");
    char serial[] = "S1";
    st = entry<open_ex_t>(m, "FT_OpenEx")(serial, 1, &h);
    std::printf("open S1: %lu\n", st);
    if (st == 0)
        entry<close_t>(m, "FT_Close")(h);
    FreeLibrary(m);

    HMODULE inc = LoadLibraryA("ftd2xx_incomplete.dll");
    if (inc) {
        std::printf("ftd2xx_incomplete.dll FT_Reload %s\n", GetProcAddress(inc, "FT_Reload") ? "present" : "missing");
        FreeLibrary(inc);
    }
    return 0;
}

int main()
{
    int failed = lpt_probe();
    failed |= usb_probe();
    return failed;
}
