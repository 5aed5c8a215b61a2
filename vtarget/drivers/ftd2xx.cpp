// D2XX-compatible library over the virtual FTDI chips: device listing (one entry per channel),
// opening by index, serial number or description, and the transfer calls. Types follow FTDI's
// published header: DWORD and ULONG are 32 bits, FT_HANDLE a pointer.
//
// As on Linux, the Linux build lists only FTDI's own IDs (vendor 0x0403 with the standard
// product IDs) and the one pair set with FT_SetVIDPID, and cannot open a channel the kernel's
// ftdi_sio driver holds or a device node the user may not open. The Windows build lists every
// device (its driver is bound through the .inf file) and has no FT_SetVIDPID.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver_target.h"
#include "ftdi_channels.h"
#include "vtarget/virtual_ft2232.h"

namespace {

typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t FT_STATUS;
typedef void *FT_HANDLE;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_ARGS = 16,
    FT_NOT_SUPPORTED = 17,
    FT_OTHER_ERROR = 18,
};

const DWORD FT_OPEN_BY_SERIAL_NUMBER = 1;
const DWORD FT_OPEN_BY_DESCRIPTION = 2;
const DWORD FT_LIST_NUMBER_ONLY = 0x80000000u;
const DWORD FT_LIST_BY_INDEX = 0x40000000u;
const DWORD FT_LIST_ALL = 0x20000000u;
const DWORD FT_FLAGS_OPENED = 1;
const DWORD FT_FLAGS_HISPEED = 2;

#if defined(_WIN32)
const bool linux_rules = false;
#else
const bool linux_rules = true;
#endif

struct open_device {
    size_t index;
    std::unique_ptr<vt::virtual_ft2232> ft;
    uint32_t read_timeout_ms = 0;
};

struct library_state {
    vtd::spin_lock lock;
    std::vector<vt::ft2232_config> devices;  // the channels this library can see
    std::vector<vt::ft2232_config> attached;  // every channel on the bus
    std::vector<std::unique_ptr<open_device>> open;
    bool listed = false;
    bool config_ok = true;
    uint32_t extra_vid = 0, extra_pid = 0;  // FT_SetVIDPID
    bool reselect = false;

    library_state() { vtd::target_first(); }
    ~library_state()
    {
        for (auto &d : open)
            vtd::add_usb_round_trips(d->ft->usb_round_trips());
        open.clear();
    }

    // The device list, read from the environment once.
    void load()
    {
        if (listed)
            return;
        listed = true;
        config_ok = vtd::ftdi_channels_from_env(attached);
        select();
    }

    // The channels this library lists; re-chosen only while nothing is open, since open
    // devices are known by their place in the list.
    void select()
    {
        if (!open.empty()) {
            reselect = true;
            return;
        }
        reselect = false;
        devices.clear();
        for (const vt::ft2232_config &c : attached)
            if (!linux_rules || vtd::ftdi_standard_id(c.vendor_id, c.product_id) ||
                (c.vendor_id == extra_vid && c.product_id == extra_pid))
                devices.push_back(c);
    }

    // Linux: the kernel's serial driver or the device node's permissions keep D2XX out.
    bool refused(size_t index) const
    {
        return linux_rules && (devices[index].kernel_driver || devices[index].access_denied);
    }

    bool in_use(size_t index) const
    {
        if (devices[index].opened_elsewhere)
            return true;
        for (const auto &d : open)
            if (d->index == index)
                return true;
        return false;
    }

    open_device *find(FT_HANDLE h)
    {
        for (auto &d : open)
            if (d.get() == h)
                return d.get();
        return nullptr;
    }

    FT_STATUS open_index(size_t index, FT_HANDLE *handle)
    {
        if (!handle)
            return FT_INVALID_PARAMETER;
        if (index >= devices.size())
            return FT_DEVICE_NOT_FOUND;
        if (in_use(index) || refused(index))
            return FT_DEVICE_NOT_OPENED;
        std::shared_ptr<vt::avr_chip> chip = vtd::target_chip();
        if (!chip)
            return FT_DEVICE_NOT_OPENED;
        std::unique_ptr<open_device> d(new open_device);
        d->index = index;
        d->ft = vt::make_virtual_ft2232(devices[index], chip);
        *handle = d.get();
        open.push_back(std::move(d));
        return FT_OK;
    }

    FT_STATUS close(FT_HANDLE h)
    {
        for (size_t i = 0; i < open.size(); i++) {
            if (open[i].get() == h) {
                vtd::add_usb_round_trips(open[i]->ft->usb_round_trips());
                open.erase(open.begin() + static_cast<long>(i));
                if (reselect)
                    select();
                vtd::save_target();
                return FT_OK;
            }
        }
        return FT_INVALID_HANDLE;
    }
};

library_state &state()
{
    static library_state s;
    return s;
}

#define LOCKED                                          \
    library_state &s = state();                         \
    vtd::guard held(s.lock);          \
    s.load()

#define DEVICE(h)                                       \
    LOCKED;                                             \
    open_device *d = s.find(h);                         \
    if (!d)                                             \
        return FT_INVALID_HANDLE

// One value of an open device into *out, as D2XX's getters answer.
template <class T, class Value> FT_STATUS get_value(FT_HANDLE handle, T *out, Value value)
{
    DEVICE(handle);
    if (!out)
        return FT_INVALID_PARAMETER;
    *out = value(*d);
    return FT_OK;
}

}  // namespace

// FT_DEVICE_LIST_INFO_NODE as published.
struct FT_DEVICE_LIST_INFO_NODE {
    ULONG Flags;
    ULONG Type;
    ULONG ID;
    DWORD LocId;
    char SerialNumber[16];
    char Description[64];
    FT_HANDLE ftHandle;
};

VT_EXPORT FT_STATUS VT_WINAPI FT_Open(int number, FT_HANDLE *handle)
{
    LOCKED;
    if (number < 0)
        return FT_DEVICE_NOT_FOUND;
    return s.open_index(static_cast<size_t>(number), handle);
}

VT_EXPORT FT_STATUS VT_WINAPI FT_OpenEx(void *arg, DWORD flags, FT_HANDLE *handle)
{
    LOCKED;
    if (!arg || !handle)
        return FT_INVALID_PARAMETER;
    if (flags != FT_OPEN_BY_SERIAL_NUMBER && flags != FT_OPEN_BY_DESCRIPTION)
        return FT_NOT_SUPPORTED;
    std::string key = static_cast<const char *>(arg);
    bool busy_match = false;
    for (size_t i = 0; i < s.devices.size(); i++) {
        const vt::ft2232_config &c = s.devices[i];
        const std::string &value = flags == FT_OPEN_BY_SERIAL_NUMBER ? c.serial_number : c.description;
        if (value != key)
            continue;
        if (s.in_use(i) || s.refused(i)) {
            busy_match = true;
            continue;
        }
        return s.open_index(i, handle);
    }
    return busy_match ? FT_DEVICE_NOT_OPENED : FT_DEVICE_NOT_FOUND;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_ListDevices(void *arg1, void *arg2, DWORD flags)
{
    LOCKED;
    DWORD what = flags & (FT_OPEN_BY_SERIAL_NUMBER | FT_OPEN_BY_DESCRIPTION);
    auto text = [&](size_t i) -> std::string {
        if (s.devices[i].opened_elsewhere || (linux_rules && s.devices[i].access_denied))
            return std::string();
        return what == FT_OPEN_BY_DESCRIPTION ? s.devices[i].description : s.devices[i].serial_number;
    };
    if (flags & FT_LIST_NUMBER_ONLY) {
        if (!arg1)
            return FT_INVALID_PARAMETER;
        *static_cast<DWORD *>(arg1) = static_cast<DWORD>(s.devices.size());
        return FT_OK;
    }
    if (flags & FT_LIST_BY_INDEX) {
        size_t index = static_cast<size_t>(reinterpret_cast<uintptr_t>(arg1));
        if (!arg2)
            return FT_INVALID_PARAMETER;
        if (index >= s.devices.size())
            return FT_DEVICE_NOT_FOUND;
        vtd::copy_text(static_cast<char *>(arg2), 64, text(index));
        return FT_OK;
    }
    if (flags & FT_LIST_ALL) {
        if (!arg1 || !arg2)
            return FT_INVALID_PARAMETER;
        char **buffers = static_cast<char **>(arg1);
        for (size_t i = 0; i < s.devices.size(); i++)
            vtd::copy_text(buffers[i], 64, text(i));
        buffers[s.devices.size()] = nullptr;
        *static_cast<DWORD *>(arg2) = static_cast<DWORD>(s.devices.size());
        return FT_OK;
    }
    return FT_INVALID_ARGS;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_Close(FT_HANDLE handle)
{
    LOCKED;
    return s.close(handle);
}

VT_EXPORT FT_STATUS VT_WINAPI FT_Read(FT_HANDLE handle, void *buffer, DWORD count, DWORD *read)
{
    DEVICE(handle);
    if (!buffer || !read)
        return FT_INVALID_PARAMETER;
    *read = d->ft->read(static_cast<uint8_t *>(buffer), count, d->read_timeout_ms);
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_Write(FT_HANDLE handle, void *buffer, DWORD count, DWORD *written)
{
    DEVICE(handle);
    if (!buffer || !written)
        return FT_INVALID_PARAMETER;
    *written = 0;
    if (!d->ft->write(static_cast<const uint8_t *>(buffer), count))
        return FT_IO_ERROR;
    *written = count;
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_SetBaudRate(FT_HANDLE handle, ULONG)
{
    DEVICE(handle);
    (void)d;
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_SetDivisor(FT_HANDLE handle, uint16_t)
{
    DEVICE(handle);
    (void)d;
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_Purge(FT_HANDLE handle, ULONG mask)
{
    DEVICE(handle);
    d->ft->purge(static_cast<uint8_t>(mask & 3));
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_SetTimeouts(FT_HANDLE handle, ULONG read_ms, ULONG)
{
    DEVICE(handle);
    d->read_timeout_ms = read_ms;
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_GetQueueStatus(FT_HANDLE handle, DWORD *rx)
{
    return get_value(handle, rx, [](const open_device &d) { return d.ft->bytes_ready(); });
}

VT_EXPORT FT_STATUS VT_WINAPI FT_GetStatus(FT_HANDLE handle, DWORD *rx, DWORD *tx, DWORD *events)
{
    DEVICE(handle);
    if (!rx || !tx || !events)
        return FT_INVALID_PARAMETER;
    *rx = d->ft->bytes_ready();
    *tx = 0;
    *events = 0;
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_SetLatencyTimer(FT_HANDLE handle, uint8_t ms)
{
    DEVICE(handle);
    if (ms < 2)
        return FT_INVALID_PARAMETER;
    d->ft->set_latency_timer(ms);
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_GetLatencyTimer(FT_HANDLE handle, uint8_t *ms)
{
    return get_value(handle, ms, [](const open_device &d) { return d.ft->latency_timer(); });
}

VT_EXPORT FT_STATUS VT_WINAPI FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode)
{
    DEVICE(handle);
    d->ft->set_bit_mode(mask, mode);
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_SetUSBParameters(FT_HANDLE handle, ULONG, ULONG)
{
    DEVICE(handle);
    (void)d;
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_GetDeviceInfo(FT_HANDLE handle, ULONG *type, DWORD *id, char *serial,
                                                char *description, void *)
{
    DEVICE(handle);
    const vt::ft2232_config &c = d->ft->config();
    if (type)
        *type = c.device_type;
    if (id)
        *id = (DWORD(c.vendor_id) << 16) | c.product_id;
    if (serial)
        vtd::copy_text(serial, 17, c.serial_number);
    if (description)
        vtd::copy_text(description, 65, c.description);
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_CreateDeviceInfoList(DWORD *count)
{
    LOCKED;
    if (!count)
        return FT_INVALID_PARAMETER;
    if (!s.config_ok)
        return FT_OTHER_ERROR;
    *count = static_cast<DWORD>(s.devices.size());
    return FT_OK;
}

namespace {
void fill_node(library_state &s, size_t i, FT_DEVICE_LIST_INFO_NODE &n)
{
    const vt::ft2232_config &c = s.devices[i];
    std::memset(&n, 0, sizeof n);
    n.Type = c.device_type;
    n.ID = (DWORD(c.vendor_id) << 16) | c.product_id;
    n.LocId = static_cast<DWORD>(0x1001 + i);
    if (s.in_use(i))
        n.Flags |= FT_FLAGS_OPENED;
    if (vt::ftdi_high_speed(c.device_type))
        n.Flags |= FT_FLAGS_HISPEED;
    // A device held by another process shows no strings, nor one the user may not open.
    if (!c.opened_elsewhere && !(linux_rules && c.access_denied)) {
        vtd::copy_text(n.SerialNumber, sizeof n.SerialNumber, c.serial_number);
        vtd::copy_text(n.Description, sizeof n.Description, c.description);
    }
    for (auto &d : s.open)
        if (d->index == i)
            n.ftHandle = d.get();
}
}  // namespace

VT_EXPORT FT_STATUS VT_WINAPI FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE *nodes, DWORD *count)
{
    LOCKED;
    if (!nodes || !count)
        return FT_INVALID_PARAMETER;
    if (!s.config_ok)
        return FT_OTHER_ERROR;
    for (size_t i = 0; i < s.devices.size(); i++)
        fill_node(s, i, nodes[i]);
    *count = static_cast<DWORD>(s.devices.size());
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_GetDeviceInfoDetail(DWORD index, DWORD *flags, DWORD *type, DWORD *id, DWORD *loc,
                                                      void *serial, void *description, FT_HANDLE *handle)
{
    LOCKED;
    if (index >= s.devices.size())
        return FT_DEVICE_NOT_FOUND;
    FT_DEVICE_LIST_INFO_NODE n;
    fill_node(s, index, n);
    if (flags)
        *flags = n.Flags;
    if (type)
        *type = n.Type;
    if (id)
        *id = n.ID;
    if (loc)
        *loc = n.LocId;
    if (serial)
        std::memcpy(serial, n.SerialNumber, sizeof n.SerialNumber);
    if (description)
        std::memcpy(description, n.Description, sizeof n.Description);
    if (handle)
        *handle = n.ftHandle;
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_GetDriverVersion(FT_HANDLE handle, DWORD *version)
{
    return get_value(handle, version, [](const open_device &) { return DWORD(0x00021200u); });
}

VT_EXPORT FT_STATUS VT_WINAPI FT_GetLibraryVersion(DWORD *version)
{
    if (!version)
        return FT_INVALID_PARAMETER;
    *version = 0x00030200u;
    return FT_OK;
}

#if !defined(_WIN32)
VT_EXPORT FT_STATUS VT_WINAPI FT_SetVIDPID(DWORD vid, DWORD pid)
{
    LOCKED;
    s.extra_vid = vid;
    s.extra_pid = pid;
    s.select();
    return FT_OK;
}

VT_EXPORT FT_STATUS VT_WINAPI FT_GetVIDPID(DWORD *vid, DWORD *pid)
{
    LOCKED;
    if (!vid || !pid)
        return FT_INVALID_PARAMETER;
    *vid = s.extra_vid;
    *pid = s.extra_pid;
    return FT_OK;
}
#endif

#ifndef VT_WITHOUT_RELOAD
VT_EXPORT FT_STATUS VT_WINAPI FT_Reload(uint16_t, uint16_t)
{
    return FT_NOT_SUPPORTED;
}
#endif
