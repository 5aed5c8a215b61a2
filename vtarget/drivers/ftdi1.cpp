// libftdi1-compatible drop-in over the virtual FTDI chips (Linux): the functions an MPSSE
// user needs, with libftdi1's context structure, chip types, return codes and error strings.
// A USB device is a whole chip whose interfaces (A..D, chosen with ftdi_set_interface) are
// its channels; a channel listed on its own in VT_FTDI_DEVICES is a one-interface device.
// Like libftdi1 over libusb: a channel another process has claimed cannot be claimed, one
// bound to ftdi_sio is detached first unless the context says not to, and a device node the
// user may not open fails libusb_open (errno EACCES).
#include <ftdi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver_target.h"
#include "ftdi_channels.h"
#include "vtarget/virtual_ft2232.h"

namespace {

struct usb_device {
    std::vector<size_t> channels;  // indices into the channel list, by interface
};

struct open_device {
    size_t index;
    std::unique_ptr<vt::virtual_ft2232> ft;
};

struct library_state {
    vtd::spin_lock lock;
    std::vector<vt::ft2232_config> devices;
    std::vector<std::unique_ptr<usb_device>> usb;  // stable addresses handed out as libusb_device
    std::vector<std::unique_ptr<open_device>> open;
    bool loaded = false;
    bool config_ok = true;

    library_state() { vtd::target_first(); }
    ~library_state()
    {
        for (auto &d : open)
            vtd::add_usb_round_trips(d->ft->usb_round_trips());
    }

    void load()
    {
        if (loaded)
            return;
        loaded = true;
        config_ok = vtd::ftdi_channels_from_env(devices);
        for (size_t i = 0; i < devices.size(); i++) {
            if (i == 0 || devices[i].usb_device != devices[i - 1].usb_device)
                usb.emplace_back(new usb_device);
            usb.back()->channels.push_back(i);
        }
    }

    const vt::ft2232_config &first(const usb_device *u) const { return devices[u->channels.front()]; }

    const usb_device *device(const libusb_device *dev) const
    {
        for (const auto &u : usb)
            if (reinterpret_cast<const libusb_device *>(u.get()) == dev)
                return u.get();
        return nullptr;
    }

    open_device *opened(const ftdi_context *ftdi)
    {
        if (!ftdi || !ftdi->usb_dev)
            return nullptr;
        for (auto &d : open)
            if (reinterpret_cast<libusb_device_handle *>(d.get()) == ftdi->usb_dev)
                return d.get();
        return nullptr;
    }
};

library_state &state()
{
    static library_state s;
    return s;
}

int fail(ftdi_context *ftdi, int code, const char *message)
{
    if (ftdi)
        ftdi->error_str = message;
    return code;
}

// libftdi1's chip type for a D2XX type code (libftdi1 tells them apart by bcdDevice).
ftdi_chip_type chip_type(uint32_t device_type)
{
    static const struct {
        uint32_t d2xx;
        ftdi_chip_type libftdi;
    } types[] = {
        {vt::ftdi_type_am, TYPE_AM},       {vt::ftdi_type_2232c, TYPE_2232C}, {vt::ftdi_type_232r, TYPE_R},
        {vt::ftdi_type_2232h, TYPE_2232H}, {vt::ftdi_type_4232h, TYPE_4232H}, {vt::ftdi_type_232h, TYPE_232H},
        {vt::ftdi_type_x_series, TYPE_230X},
    };
    for (const auto &t : types)
        if (t.d2xx == device_type)
            return t.libftdi;
    return TYPE_BM;
}

// Without vendor and product, ftdi_usb_find_all looks for FTDI's standard IDs.
bool found_by(const vt::ft2232_config &c, int vendor, int product)
{
    if (vendor == 0 && product == 0)
        return vtd::ftdi_standard_id(c.vendor_id, c.product_id);
    return c.vendor_id == vendor && c.product_id == product;
}

int denied(ftdi_context *ftdi, const char *message)
{
    errno = EACCES;
    return fail(ftdi, -4, message);
}

#define LOCKED                                 \
    library_state &s = state();                \
    vtd::guard held(s.lock); \
    s.load()

// d: the device open in the context; else the call fails with code, as libftdi1 answers.
#define OPENED_DEVICE(code)                    \
    open_device *d = s.opened(ftdi);           \
    if (!d)                                    \
        return fail(ftdi, code, "USB device unavailable")

}  // namespace

VT_EXPORT int ftdi_init(struct ftdi_context *ftdi)
{
    if (!ftdi)
        return -3;
    std::memset(ftdi, 0, sizeof *ftdi);
    ftdi->usb_read_timeout = 5000;
    ftdi->usb_write_timeout = 5000;
    ftdi->type = TYPE_BM;
    ftdi->baudrate = -1;
    ftdi->bitbang_mode = 1;
    ftdi->readbuffer_chunksize = 4096;
    ftdi->writebuffer_chunksize = 4096;
    ftdi->max_packet_size = 0;
    ftdi->interface = 0;
    ftdi->index = INTERFACE_A;
    ftdi->in_ep = 0x02;
    ftdi->out_ep = 0x81;
    ftdi->module_detach_mode = AUTO_DETACH_SIO_MODULE;
    return 0;
}

VT_EXPORT struct ftdi_context *ftdi_new(void)
{
    ftdi_context *ftdi = static_cast<ftdi_context *>(std::calloc(1, sizeof(ftdi_context)));
    if (ftdi)
        ftdi_init(ftdi);
    return ftdi;
}

VT_EXPORT int ftdi_usb_close(struct ftdi_context *ftdi);

VT_EXPORT void ftdi_deinit(struct ftdi_context *ftdi)
{
    if (ftdi && ftdi->usb_dev)
        ftdi_usb_close(ftdi);
}

VT_EXPORT void ftdi_free(struct ftdi_context *ftdi)
{
    if (!ftdi)
        return;
    ftdi_deinit(ftdi);
    std::free(ftdi);
}

VT_EXPORT int ftdi_set_interface(struct ftdi_context *ftdi, enum ftdi_interface interface)
{
    if (!ftdi)
        return fail(ftdi, -2, "USB device unavailable");
    int index;
    switch (interface) {
    case INTERFACE_ANY:
    case INTERFACE_A:
        index = INTERFACE_A;
        break;
    case INTERFACE_B:
        index = INTERFACE_B;
        break;
    case INTERFACE_C:
    case INTERFACE_D:
        index = interface;
        break;
    default:
        return fail(ftdi, -1, "Unknown interface");
    }
    if (ftdi->usb_dev && ftdi->index != index)
        return fail(ftdi, -3, "Interface can not be changed on an already open device");
    ftdi->index = index;
    ftdi->interface = index - INTERFACE_A;
    ftdi->in_ep = 0x02 + 2 * ftdi->interface;
    ftdi->out_ep = 0x81 + 2 * ftdi->interface;
    return 0;
}

VT_EXPORT int ftdi_usb_find_all(struct ftdi_context *ftdi, struct ftdi_device_list **devlist, int vendor,
                                int product)
{
    LOCKED;
    if (!devlist)
        return fail(ftdi, -1, "devlist is NULL");
    *devlist = nullptr;
    if (!s.config_ok)
        return fail(ftdi, -5, "libusb_get_device_list() failed");
    ftdi_device_list **tail = devlist;
    int count = 0;
    for (size_t i = 0; i < s.usb.size(); i++) {
        if (!found_by(s.first(s.usb[i].get()), vendor, product))
            continue;
        ftdi_device_list *node = static_cast<ftdi_device_list *>(std::malloc(sizeof(ftdi_device_list)));
        if (!node) {
            return fail(ftdi, -3, "out of memory");
        }
        node->next = nullptr;
        node->dev = reinterpret_cast<libusb_device *>(s.usb[i].get());
        *tail = node;
        tail = &node->next;
        count++;
    }
    return count;
}

VT_EXPORT void ftdi_list_free(struct ftdi_device_list **devlist)
{
    if (!devlist)
        return;
    ftdi_device_list *node = *devlist;
    while (node) {
        ftdi_device_list *next = node->next;
        std::free(node);
        node = next;
    }
    *devlist = nullptr;
}

namespace {
int get_strings(library_state &s, ftdi_context *ftdi, libusb_device *dev, char *manufacturer, int mnf_len,
                char *description, int desc_len, char *serial, int serial_len)
{
    if (!ftdi || !dev)
        return fail(ftdi, -1, "wrong arguments");
    const usb_device *u = s.device(dev);
    if (!u)
        return fail(ftdi, -4, "libusb_open() failed");
    const vt::ft2232_config &c = s.first(u);
    if (c.access_denied)
        return denied(ftdi, "libusb_open() failed");
    vtd::copy_text(manufacturer, mnf_len, "FTDI");
    vtd::copy_text(description, desc_len, c.usb_product);
    vtd::copy_text(serial, serial_len, c.usb_serial);
    return 0;
}
}  // namespace

VT_EXPORT int ftdi_usb_get_strings(struct ftdi_context *ftdi, struct libusb_device *dev, char *manufacturer,
                                   int mnf_len, char *description, int desc_len, char *serial, int serial_len)
{
    LOCKED;
    return get_strings(s, ftdi, dev, manufacturer, mnf_len, description, desc_len, serial, serial_len);
}

VT_EXPORT int ftdi_usb_get_strings2(struct ftdi_context *ftdi, struct libusb_device *dev, char *manufacturer,
                                    int mnf_len, char *description, int desc_len, char *serial, int serial_len)
{
    LOCKED;
    return get_strings(s, ftdi, dev, manufacturer, mnf_len, description, desc_len, serial, serial_len);
}

namespace {
const char claim_failed[] = "unable to claim usb device. Make sure the default FTDI driver is not in use";

int open_dev(library_state &s, ftdi_context *ftdi, libusb_device *dev)
{
    if (!ftdi)
        return -8;
    const usb_device *u = s.device(dev);
    if (!u)
        return fail(ftdi, -4, "libusb_open() failed");
    if (s.first(u).access_denied)
        return denied(ftdi, "libusb_open() failed");
    // A device listed as one channel has just that interface, whichever was asked for.
    size_t interface = u->channels.size() == 1 ? 0 : static_cast<size_t>(ftdi->interface);
    if (interface >= u->channels.size())
        return fail(ftdi, -5, claim_failed);
    size_t index = u->channels[interface];
    vt::ft2232_config &c = s.devices[index];
    bool busy = c.opened_elsewhere;
    for (const auto &d : s.open)
        if (d->index == index)
            busy = true;
    if (c.kernel_driver && ftdi->module_detach_mode == DONT_DETACH_SIO_MODULE)
        busy = true;
    if (busy)
        return fail(ftdi, -5, claim_failed);
    c.kernel_driver = false;  // detached from ftdi_sio
    std::shared_ptr<vt::avr_chip> chip = vtd::target_chip();
    if (!chip)
        return fail(ftdi, -4, "libusb_open() failed");
    std::unique_ptr<open_device> d(new open_device);
    d->index = index;
    d->ft = vt::make_virtual_ft2232(c, chip);
    ftdi->usb_dev = reinterpret_cast<libusb_device_handle *>(d.get());
    ftdi->type = chip_type(c.device_type);
    ftdi->max_packet_size = vt::ftdi_high_speed(c.device_type) ? 512 : 64;
    ftdi->baudrate = 9600;
    ftdi->bitbang_enabled = 0;
    s.open.push_back(std::move(d));
    return 0;
}
}  // namespace

VT_EXPORT int ftdi_usb_open_dev(struct ftdi_context *ftdi, struct libusb_device *dev)
{
    LOCKED;
    return open_dev(s, ftdi, dev);
}

// Opens the index-th device with these IDs whose strings match (null: any).
VT_EXPORT int ftdi_usb_open_desc_index(struct ftdi_context *ftdi, int vendor, int product, const char *description,
                                       const char *serial, unsigned int index)
{
    LOCKED;
    if (!ftdi)
        return fail(ftdi, -11, "ftdi context invalid");
    for (auto &u : s.usb) {
        const vt::ft2232_config &c = s.first(u.get());
        if (c.vendor_id != vendor || c.product_id != product)
            continue;
        if ((description || serial) && c.access_denied)
            return denied(ftdi, "usb_open() failed");
        if (description && c.usb_product != description)
            continue;
        if (serial && c.usb_serial != serial)
            continue;
        if (index > 0) {
            index--;
            continue;
        }
        return open_dev(s, ftdi, reinterpret_cast<libusb_device *>(u.get()));
    }
    return fail(ftdi, -3, "device not found");
}

VT_EXPORT int ftdi_usb_open_desc(struct ftdi_context *ftdi, int vendor, int product, const char *description,
                                 const char *serial)
{
    return ftdi_usb_open_desc_index(ftdi, vendor, product, description, serial, 0);
}

VT_EXPORT int ftdi_usb_open(struct ftdi_context *ftdi, int vendor, int product)
{
    return ftdi_usb_open_desc_index(ftdi, vendor, product, nullptr, nullptr, 0);
}

VT_EXPORT int ftdi_usb_close(struct ftdi_context *ftdi)
{
    if (!ftdi)
        return -3;
    bool closed = false;
    {
        LOCKED;
        for (size_t i = 0; i < s.open.size(); i++) {
            if (reinterpret_cast<libusb_device_handle *>(s.open[i].get()) == ftdi->usb_dev) {
                vtd::add_usb_round_trips(s.open[i]->ft->usb_round_trips());
                s.open.erase(s.open.begin() + static_cast<long>(i));
                closed = true;
                break;
            }
        }
    }
    ftdi->usb_dev = nullptr;
    if (closed)
        vtd::save_target();
    return 0;
}

VT_EXPORT int ftdi_usb_reset(struct ftdi_context *ftdi)
{
    LOCKED;
    OPENED_DEVICE(-2);
    d->ft->purge(3);
    return 0;
}

VT_EXPORT int ftdi_set_bitmode(struct ftdi_context *ftdi, unsigned char bitmask, unsigned char mode)
{
    LOCKED;
    OPENED_DEVICE(-2);
    d->ft->set_bit_mode(bitmask, mode);
    ftdi->bitbang_mode = mode;
    ftdi->bitbang_enabled = mode == BITMODE_RESET ? 0 : 1;
    return 0;
}

VT_EXPORT int ftdi_read_data(struct ftdi_context *ftdi, unsigned char *buf, int size)
{
    LOCKED;
    OPENED_DEVICE(-666);
    if (!buf || size < 0)
        return fail(ftdi, -1, "usb bulk read failed");
    uint32_t timeout = ftdi->usb_read_timeout > 0 ? static_cast<uint32_t>(ftdi->usb_read_timeout) : 1;
    return static_cast<int>(d->ft->read(buf, static_cast<uint32_t>(size), timeout));
}

VT_EXPORT int ftdi_write_data(struct ftdi_context *ftdi, const unsigned char *buf, int size)
{
    LOCKED;
    OPENED_DEVICE(-666);
    if (!buf || size < 0)
        return fail(ftdi, -1, "usb bulk write failed");
    if (!d->ft->write(buf, static_cast<uint32_t>(size)))
        return fail(ftdi, -1, "usb bulk write failed");
    return size;
}

VT_EXPORT int ftdi_usb_purge_rx_buffer(struct ftdi_context *ftdi)
{
    LOCKED;
    OPENED_DEVICE(-2);
    d->ft->purge(1);
    return 0;
}

VT_EXPORT int ftdi_set_latency_timer(struct ftdi_context *ftdi, unsigned char latency)
{
    LOCKED;
    if (latency < 1)
        return fail(ftdi, -1, "latency out of range. Only valid for 1-255");
    OPENED_DEVICE(-3);
    d->ft->set_latency_timer(latency);
    return 0;
}

VT_EXPORT int ftdi_set_baudrate(struct ftdi_context *ftdi, int baudrate)
{
    LOCKED;
    OPENED_DEVICE(-3);
    if (baudrate <= 0)
        return fail(ftdi, -1, "Silly baudrate <= 0.");
    ftdi->baudrate = baudrate;
    return 0;
}

VT_EXPORT const char *ftdi_get_error_string(struct ftdi_context *ftdi)
{
    return ftdi ? ftdi->error_str : nullptr;
}

VT_EXPORT int ftdi_read_data_set_chunksize(struct ftdi_context *ftdi, unsigned int chunksize)
{
    if (!ftdi)
        return -1;
    ftdi->readbuffer_chunksize = chunksize;
    return 0;
}

VT_EXPORT int ftdi_write_data_set_chunksize(struct ftdi_context *ftdi, unsigned int chunksize)
{
    if (!ftdi)
        return -1;
    ftdi->writebuffer_chunksize = chunksize;
    return 0;
}
