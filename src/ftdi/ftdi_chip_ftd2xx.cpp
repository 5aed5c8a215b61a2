// FTDI chip access through FTDI's D2XX library (ftd2xx.dll; libftd2xx.so on Linux).
#include <cstring>
#include <memory>
#include <string>

#include "ftdi/ftdi_chip.h"
#include "ftdi/ftdi_driver.h"
#include "base/dll.h"
#include "base/messages.h"
#include "os/os.h"

namespace {

// The library's published types: 32-bit DWORD/ULONG on both platforms,
// stdcall entry points on 32-bit Windows.
#define FT_API OS_DRIVER_CALL

typedef void *FT_HANDLE;
typedef uint32_t FT_STATUS;
typedef uint32_t DWORD;

struct FT_DEVICE_LIST_INFO_NODE {
    DWORD Flags;
    DWORD Type;
    DWORD ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

typedef FT_STATUS(FT_API *FT_Open_t)(int, FT_HANDLE *);
typedef FT_STATUS(FT_API *FT_OpenEx_t)(void *, DWORD, FT_HANDLE *);
typedef FT_STATUS(FT_API *FT_ListDevices_t)(void *, void *, DWORD);
typedef FT_STATUS(FT_API *FT_Close_t)(FT_HANDLE);
typedef FT_STATUS(FT_API *FT_Read_t)(FT_HANDLE, void *, DWORD, DWORD *);
typedef FT_STATUS(FT_API *FT_Write_t)(FT_HANDLE, void *, DWORD, DWORD *);
typedef FT_STATUS(FT_API *FT_SetBaudRate_t)(FT_HANDLE, DWORD);
typedef FT_STATUS(FT_API *FT_SetDivisor_t)(FT_HANDLE, uint16_t);
typedef FT_STATUS(FT_API *FT_Purge_t)(FT_HANDLE, DWORD);
typedef FT_STATUS(FT_API *FT_SetTimeouts_t)(FT_HANDLE, DWORD, DWORD);
typedef FT_STATUS(FT_API *FT_GetQueueStatus_t)(FT_HANDLE, DWORD *);
typedef FT_STATUS(FT_API *FT_GetStatus_t)(FT_HANDLE, DWORD *, DWORD *, DWORD *);
typedef FT_STATUS(FT_API *FT_SetLatencyTimer_t)(FT_HANDLE, uint8_t);
typedef FT_STATUS(FT_API *FT_GetLatencyTimer_t)(FT_HANDLE, uint8_t *);
typedef FT_STATUS(FT_API *FT_SetBitMode_t)(FT_HANDLE, uint8_t, uint8_t);
typedef FT_STATUS(FT_API *FT_SetUSBParameters_t)(FT_HANDLE, DWORD, DWORD);
typedef FT_STATUS(FT_API *FT_GetDeviceInfo_t)(FT_HANDLE, DWORD *, DWORD *, char *, char *, void *);
typedef FT_STATUS(FT_API *FT_CreateDeviceInfoList_t)(DWORD *);
typedef FT_STATUS(FT_API *FT_GetDeviceInfoList_t)(FT_DEVICE_LIST_INFO_NODE *, DWORD *);
typedef FT_STATUS(FT_API *FT_GetDeviceInfoDetail_t)(DWORD, DWORD *, DWORD *, DWORD *, DWORD *, void *, void *,
                                                    FT_HANDLE *);
typedef FT_STATUS(FT_API *FT_GetDriverVersion_t)(FT_HANDLE, DWORD *);
typedef FT_STATUS(FT_API *FT_GetLibraryVersion_t)(DWORD *);
typedef FT_STATUS(FT_API *FT_Reload_t)(uint16_t, uint16_t);
typedef FT_STATUS(FT_API *FT_SetVIDPID_t)(DWORD, DWORD);

// The library and its entry points, fetched in the order of the members.
struct ftd2xx_api_t {
    explicit ftd2xx_api_t(const char *name) : library(name)
    {
        msg_print(msg_out, MSG_DEBUG, "\t%% '%s' successfully loaded\n", library.library_name());
    }

    dll_t library;
    FT_Open_t FT_Open = fetch_entry_point(library, "FT_Open");
    FT_OpenEx_t FT_OpenEx = fetch_entry_point(library, "FT_OpenEx");
    FT_ListDevices_t FT_ListDevices = fetch_entry_point(library, "FT_ListDevices");
    FT_Close_t FT_Close = fetch_entry_point(library, "FT_Close");
    FT_Read_t FT_Read = fetch_entry_point(library, "FT_Read");
    FT_Write_t FT_Write = fetch_entry_point(library, "FT_Write");
    FT_SetBaudRate_t FT_SetBaudRate = fetch_entry_point(library, "FT_SetBaudRate");
    FT_SetDivisor_t FT_SetDivisor = fetch_entry_point(library, "FT_SetDivisor");
    FT_Purge_t FT_Purge = fetch_entry_point(library, "FT_Purge");
    FT_SetTimeouts_t FT_SetTimeouts = fetch_entry_point(library, "FT_SetTimeouts");
    FT_GetQueueStatus_t FT_GetQueueStatus = fetch_entry_point(library, "FT_GetQueueStatus");
    FT_GetStatus_t FT_GetStatus = fetch_entry_point(library, "FT_GetStatus");
    FT_SetLatencyTimer_t FT_SetLatencyTimer = fetch_entry_point(library, "FT_SetLatencyTimer");
    FT_GetLatencyTimer_t FT_GetLatencyTimer = fetch_entry_point(library, "FT_GetLatencyTimer");
    FT_SetBitMode_t FT_SetBitMode = fetch_entry_point(library, "FT_SetBitMode");
    FT_SetUSBParameters_t FT_SetUSBParameters = fetch_entry_point(library, "FT_SetUSBParameters");
    FT_GetDeviceInfo_t FT_GetDeviceInfo = fetch_entry_point(library, "FT_GetDeviceInfo");
    FT_CreateDeviceInfoList_t FT_CreateDeviceInfoList = fetch_entry_point(library, "FT_CreateDeviceInfoList");
    FT_GetDeviceInfoList_t FT_GetDeviceInfoList = fetch_entry_point(library, "FT_GetDeviceInfoList");
    FT_GetDeviceInfoDetail_t FT_GetDeviceInfoDetail = fetch_entry_point(library, "FT_GetDeviceInfoDetail");
    FT_GetDriverVersion_t FT_GetDriverVersion = fetch_entry_point(library, "FT_GetDriverVersion");
    FT_GetLibraryVersion_t FT_GetLibraryVersion = fetch_entry_point(library, "FT_GetLibraryVersion");
    FT_Reload_t FT_Reload = fetch_entry_point(library, "FT_Reload");
    // Only the Linux and macOS libraries have it (Windows matches IDs through the driver's INF).
    FT_SetVIDPID_t FT_SetVIDPID = reinterpret_cast<FT_SetVIDPID_t>(library.find_symbol("FT_SetVIDPID"));
};

class ftdi_chip_ftd2xx_t : public ftdi_chip_t {
public:
    ftdi_chip_ftd2xx_t(std::unique_ptr<ftd2xx_api_t> api, FT_HANDLE handle) : api(std::move(api)), ft_handle(handle) {}
    ~ftdi_chip_ftd2xx_t() override
    {
        api->FT_Close(ft_handle);
    }

    void set_bit_mode(uint8_t mask, uint8_t mode) override
    {
        check_ftdi_status("set bit mode", api->FT_SetBitMode(ft_handle, mask, mode));
    }
    void read(uint8_t *buffer, uint32_t count) override
    {
        DWORD done = 0;
        FT_STATUS status = api->FT_Read(ft_handle, buffer, count, &done);
        check_ftdi_status("read from FTDI chip", status, done != count);
    }
    void write(const uint8_t *bytes, uint32_t count) override
    {
        DWORD done = 0;
        FT_STATUS status = api->FT_Write(ft_handle, const_cast<uint8_t *>(bytes), count, &done);
        check_ftdi_status("write to FTDI chip", status, done != count);
    }
    void purge(uint8_t mask) override
    {
        check_ftdi_status("purge FTDI chip buffer(s)", api->FT_Purge(ft_handle, mask));
    }
    void set_latency_timer(uint8_t ms) override
    {
        check_ftdi_status("set latency timer", api->FT_SetLatencyTimer(ft_handle, ms));
    }
    void set_baud_rate(uint32_t rate) override
    {
        check_ftdi_status("set baud rate", api->FT_SetBaudRate(ft_handle, rate));
    }
    void set_divisor(uint16_t divisor) override
    {
        check_ftdi_status("set divider", api->FT_SetDivisor(ft_handle, divisor));
    }
    void set_timeouts(uint32_t read_ms, uint32_t write_ms) override
    {
        check_ftdi_status("set timeouts", api->FT_SetTimeouts(ft_handle, read_ms, write_ms));
    }

private:
    std::unique_ptr<ftd2xx_api_t> api;
    FT_HANDLE ft_handle;
};

class ftd2xx_driver_t : public ftdi_driver_t {
public:
    explicit ftd2xx_driver_t(const char *name) : api(new ftd2xx_api_t(name)) {}
    ~ftd2xx_driver_t() override
    {
        close();
    }

    // The library lists FTDI's standard IDs and one pair more that it is told.
    void set_usb_ids(uint16_t vendor_id, uint16_t product_id) override
    {
        if (!api->FT_SetVIDPID)
            return;
        for (uint32_t id : ftdi_usb_ids(vendor_id, product_id))
            api->FT_SetVIDPID(id >> 16, id & 0xFFFF);
    }

    uint32_t create_device_info_list(uint32_t &count) override
    {
        DWORD n = 0;
        FT_STATUS status = api->FT_CreateDeviceInfoList(&n);
        count = n;
        return status;
    }

    uint32_t get_device_info_list(ftdi_node_t *nodes, uint32_t &count) override
    {
        std::unique_ptr<FT_DEVICE_LIST_INFO_NODE[]> list(new FT_DEVICE_LIST_INFO_NODE[count]());
        DWORD n = count;
        FT_STATUS status = api->FT_GetDeviceInfoList(list.get(), &n);
        if (n < count)
            count = n;
        for (uint32_t i = 0; i < count; i++) {
            nodes[i].flags = list[i].Flags;
            nodes[i].type = list[i].Type;
            nodes[i].id = list[i].ID;
            // The node's fields need not be terminated when full.
            copy_field(nodes[i].serial_number, list[i].SerialNumber, sizeof list[i].SerialNumber);
            copy_field(nodes[i].description, list[i].Description, sizeof list[i].Description);
        }
        return status;
    }

    uint32_t open_ex(const char *key, uint32_t how) override
    {
        FT_HANDLE h = nullptr;
        FT_STATUS status = api->FT_OpenEx(const_cast<char *>(key), how, &h);
        if (status == 0)
            handle = h;
        return status;
    }

    uint32_t get_device_info(ftdi_node_t &info) override
    {
        DWORD type = 0;
        DWORD id = 0;
        char serial[17] = {};
        char description[65] = {};
        // A little room beyond the documented sizes protects against an unterminated field.
        char serial_buffer[32] = {};
        char description_buffer[128] = {};
        FT_STATUS status = api->FT_GetDeviceInfo(handle, &type, &id, serial_buffer, description_buffer, nullptr);
        copy_field(serial, serial_buffer, 16);
        copy_field(description, description_buffer, 64);
        info.flags = 0;
        info.type = type;
        info.id = id;
        memcpy(info.serial_number, serial, sizeof serial);
        memcpy(info.description, description, sizeof description);
        return status;
    }

    // D2XX says only that the device did not open. A channel another program holds is
    // marked in the list; otherwise the usual causes are named.
    std::string open_failure_advice(uint32_t status) override
    {
        if (status != FTDI_DEVICE_NOT_OPENED)
            return "";
        if (listed_as_opened())
            return ftdi_advice_busy;
        std::string advice = ftdi_advice_busy;
        if (libftdi_back_end)
            advice += std::string(ftdi_advice_kernel) + ftdi_advice_permission;
        return advice;
    }

    void close() override
    {
        if (handle) {
            api->FT_Close(handle);
            handle = nullptr;
        }
    }

    std::unique_ptr<ftdi_chip_t> take_chip() override
    {
        FT_HANDLE h = handle;
        handle = nullptr;
        return std::unique_ptr<ftdi_chip_t>(new ftdi_chip_ftd2xx_t(std::move(api), h));
    }

private:
    bool listed_as_opened()
    {
        DWORD n = 0;
        if (api->FT_CreateDeviceInfoList(&n) != 0 || n == 0)
            return false;
        std::unique_ptr<FT_DEVICE_LIST_INFO_NODE[]> list(new FT_DEVICE_LIST_INFO_NODE[n]());
        DWORD filled = n;
        if (api->FT_GetDeviceInfoList(list.get(), &filled) != 0)
            return false;
        for (DWORD i = 0; i < filled && i < n; i++)
            if (list[i].Flags & 1)
                return true;
        return false;
    }

    static void copy_field(char *to, const char *from, size_t size)
    {
        size_t n = 0;
        while (n < size && from[n])
            n++;
        memcpy(to, from, n);
        to[n] = 0;
    }

    std::unique_ptr<ftd2xx_api_t> api;
    FT_HANDLE handle = nullptr;
};

}  // namespace

std::unique_ptr<ftdi_driver_t> load_ftd2xx_driver(const char *library_name)
{
    return std::unique_ptr<ftdi_driver_t>(new ftd2xx_driver_t(library_name));
}
