// FTDI chip access through libftdi1 (libftdi1.so.2), loaded at run time: the Linux
// back end (the Windows build has ftdi_chip_no_libftdi.cpp instead). The library is
// only declared here, never linked. Listing and opening are presented
// in D2XX terms: a multi-channel chip is one device per channel, with the channel
// letter appended to its description (" A") and serial number ("A"), unless its
// description already ends in such a letter. A device opens by its plain strings
// too (channel A).
#include "ftdi/ftdi_chip.h"
#include "ftdi/ftdi_driver.h"
#include "base/messages.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <libftdi1/ftdi.h>

#include "os/os.h"
#include "base/dll.h"
#include "base/timer.h"

namespace {

typedef ftdi_context *(*ftdi_new_t)();
typedef void (*ftdi_free_t)(ftdi_context *);
typedef int (*ftdi_set_interface_t)(ftdi_context *, ftdi_interface);
typedef int (*ftdi_usb_find_all_t)(ftdi_context *, ftdi_device_list **, int, int);
typedef void (*ftdi_list_free_t)(ftdi_device_list **);
typedef int (*ftdi_usb_get_strings_t)(ftdi_context *, libusb_device *, char *, int, char *, int, char *, int);
typedef int (*ftdi_usb_open_dev_t)(ftdi_context *, libusb_device *);
typedef int (*ftdi_context_call_t)(ftdi_context *);
typedef int (*ftdi_set_bitmode_t)(ftdi_context *, unsigned char, unsigned char);
typedef int (*ftdi_read_data_t)(ftdi_context *, unsigned char *, int);
typedef int (*ftdi_write_data_t)(ftdi_context *, const unsigned char *, int);
typedef int (*ftdi_set_latency_timer_t)(ftdi_context *, unsigned char);
typedef int (*ftdi_set_baudrate_t)(ftdi_context *, int);
typedef const char *(*ftdi_get_error_string_t)(ftdi_context *);
typedef int (*ftdi_set_chunksize_t)(ftdi_context *, unsigned int);

// The library and its entry points, fetched in the order of the members.
struct libftdi_api_t {
    explicit libftdi_api_t(const char *name) : library(name)
    {
        msg_print(msg_out, MSG_DEBUG, "\t%% '%s' successfully loaded\n", library.library_name());
    }

    dll_t library;
    ftdi_new_t new_context = fetch_entry_point(library, "ftdi_new");
    ftdi_free_t free_context = fetch_entry_point(library, "ftdi_free");
    ftdi_set_interface_t set_interface = fetch_entry_point(library, "ftdi_set_interface");
    ftdi_usb_find_all_t usb_find_all = fetch_entry_point(library, "ftdi_usb_find_all");
    ftdi_list_free_t list_free = fetch_entry_point(library, "ftdi_list_free");
    ftdi_usb_get_strings_t usb_get_strings = fetch_entry_point(library, "ftdi_usb_get_strings");
    ftdi_usb_open_dev_t usb_open_dev = fetch_entry_point(library, "ftdi_usb_open_dev");
    ftdi_context_call_t usb_close = fetch_entry_point(library, "ftdi_usb_close");
    ftdi_context_call_t usb_reset = fetch_entry_point(library, "ftdi_usb_reset");
    ftdi_set_bitmode_t set_bitmode = fetch_entry_point(library, "ftdi_set_bitmode");
    ftdi_read_data_t read_data = fetch_entry_point(library, "ftdi_read_data");
    ftdi_write_data_t write_data = fetch_entry_point(library, "ftdi_write_data");
    ftdi_context_call_t usb_purge_rx_buffer = fetch_entry_point(library, "ftdi_usb_purge_rx_buffer");
    ftdi_set_latency_timer_t set_latency_timer = fetch_entry_point(library, "ftdi_set_latency_timer");
    ftdi_set_baudrate_t set_baudrate = fetch_entry_point(library, "ftdi_set_baudrate");
    ftdi_get_error_string_t get_error_string = fetch_entry_point(library, "ftdi_get_error_string");
    ftdi_set_chunksize_t read_data_set_chunksize = fetch_entry_point(library, "ftdi_read_data_set_chunksize");
    ftdi_set_chunksize_t write_data_set_chunksize = fetch_entry_point(library, "ftdi_write_data_set_chunksize");

    // The library's explanation of a failed call: in the debug output while devices are
    // looked for (a busy channel is expected there), as an error line otherwise.
    void report(ftdi_context *context, const char *function, int result, uint8_t level = MSG_DEBUG)
    {
        const char *text = context ? get_error_string(context) : nullptr;
        msg_print(msg_out, level, "%s%s() returned %d (%s)\n", level > MSG_INFO ? "\t% libftdi1: " : "libftdi1: ",
                  function, result, text ? text : "no context");
    }
};

// libftdi chip types in D2XX numbers.
uint32_t d2xx_type(int type)
{
    switch (type) {
    case TYPE_AM: return FTDI_DEVICE_AM;
    case TYPE_BM: return FTDI_DEVICE_BM;
    case TYPE_2232C: return FTDI_DEVICE_2232C;
    case TYPE_R: return FTDI_DEVICE_232R;
    case TYPE_2232H: return FTDI_DEVICE_2232H;
    case TYPE_4232H: return FTDI_DEVICE_4232H;
    case TYPE_232H: return FTDI_DEVICE_232H;
    case TYPE_230X: return FTDI_DEVICE_X_SERIES;
    default: return FTDI_DEVICE_UNKNOWN;
    }
}

// libftdi1 counts bytes and milliseconds in int: larger values are capped.
int clamped_int(uint32_t value)
{
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// Strings of one device as the USB descriptors give them.
struct usb_strings_t {
    char description[65] = {};
    char serial_number[17] = {};
};

// The D2XX names of one channel: " A" after the description, "A" after the serial number.
void channel_names(ftdi_node_t &node, const usb_strings_t &strings, int channel, int channels)
{
    if (channels <= 1) {
        ftdi_copy_text(node.description, strings.description, sizeof node.description);
        ftdi_copy_text(node.serial_number, strings.serial_number, sizeof node.serial_number);
        return;
    }
    char letter = static_cast<char>('A' + channel);
    ftdi_copy_text(node.description, strings.description, sizeof node.description - 2);
    size_t n = strlen(node.description);
    node.description[n] = ' ';
    node.description[n + 1] = letter;
    node.description[n + 2] = 0;
    ftdi_copy_text(node.serial_number, strings.serial_number, sizeof node.serial_number - 1);
    n = strlen(node.serial_number);
    node.serial_number[n] = letter;
    node.serial_number[n + 1] = 0;
}

// A description that already ends in a channel letter (" A") names one channel.
bool names_one_channel(const usb_strings_t &strings)
{
    size_t n = strlen(strings.description);
    return n >= 2 && strings.description[n - 2] == ' ' && strings.description[n - 1] >= 'A' &&
           strings.description[n - 1] <= 'D';
}

class ftdi_chip_libftdi_t : public ftdi_chip_t {
public:
    ftdi_chip_libftdi_t(std::unique_ptr<libftdi_api_t> api, ftdi_context *context)
        : api(std::move(api)), context(context)
    {
    }
    ~ftdi_chip_libftdi_t() override
    {
        api->usb_close(context);
        api->free_context(context);
    }

    void set_bit_mode(uint8_t mask, uint8_t mode) override
    {
        int r = api->set_bitmode(context, mask, mode);
        check("ftdi_set_bitmode", "set bit mode", r, FTDI_IO_ERROR);
    }

    // ftdi_read_data returns what has arrived, possibly nothing; keep reading
    // until the count is complete or the read time-out has passed.
    void read(uint8_t *buffer, uint32_t count) override
    {
        uint32_t done = 0;
        os_timer_t timer;
        timer.set_wait(static_cast<float>(context->usb_read_timeout));
        while (done < count) {
            int r = api->read_data(context, buffer + done, clamped_int(count - done));
            check("ftdi_read_data", "read from FTDI chip", r, FTDI_IO_ERROR);
            done += static_cast<uint32_t>(r);
            if (r > 0)
                continue;
            if (timer.expired())
                break;
            os::yield();
        }
        check_ftdi_status("read from FTDI chip", FTDI_OK, done != count);
    }

    void write(const uint8_t *bytes, uint32_t count) override
    {
        uint32_t done = 0;
        while (done < count) {
            int r = api->write_data(context, bytes + done, clamped_int(count - done));
            check("ftdi_write_data", "write to FTDI chip", r, FTDI_IO_ERROR);
            if (r == 0)
                break;
            done += static_cast<uint32_t>(r);
        }
        check_ftdi_status("write to FTDI chip", FTDI_OK, done != count);
    }

    // Only the receive side has a call of its own in libftdi1's interface.
    void purge(uint8_t mask) override
    {
        if (mask & ~FTDI_PURGE_RX)
            check_ftdi_status("purge FTDI chip buffer(s)", FTDI_NOT_SUPPORTED);
        if (mask & FTDI_PURGE_RX) {
            int r = api->usb_purge_rx_buffer(context);
            check("ftdi_usb_purge_rx_buffer", "purge FTDI chip buffer(s)", r, FTDI_IO_ERROR);
        }
    }

    void set_latency_timer(uint8_t ms) override
    {
        int r = api->set_latency_timer(context, ms);
        check("ftdi_set_latency_timer", "set latency timer", r, r == -1 ? FTDI_INVALID_PARAMETER : FTDI_IO_ERROR);
    }

    void set_baud_rate(uint32_t rate) override
    {
        set_rate("set baud rate", rate);
    }

    // The serial divisor of the D2XX call: baud rate = 3 MHz / divisor.
    void set_divisor(uint16_t divisor) override
    {
        if (divisor == 0)
            check_ftdi_status("set divider", FTDI_INVALID_BAUD_RATE);
        set_rate("set divider", 3000000u / divisor);
    }

    void set_timeouts(uint32_t read_ms, uint32_t write_ms) override
    {
        context->usb_read_timeout = clamped_int(read_ms);
        context->usb_write_timeout = clamped_int(write_ms);
    }

private:
    void set_rate(const char *operation, uint32_t rate)
    {
        if (rate > INT_MAX)
            check_ftdi_status(operation, FTDI_INVALID_BAUD_RATE);
        int r = api->set_baudrate(context, static_cast<int>(rate));
        check("ftdi_set_baudrate", operation, r, r == -1 ? FTDI_INVALID_BAUD_RATE : FTDI_IO_ERROR);
    }

    void check(const char *function, const char *operation, int result, uint32_t status)
    {
        if (result >= 0)
            return;
        api->report(context, function, result, MSG_ERROR);
        check_ftdi_status(operation, status);
    }

    std::unique_ptr<libftdi_api_t> api;
    ftdi_context *context;
};

class libftdi_driver_t : public ftdi_driver_t {
public:
    explicit libftdi_driver_t(const char *name) : api(new libftdi_api_t(name))
    {
        context = api->new_context();
        if (!context)
            msg_print(msg_out, MSG_DEBUG, "\t%% ftdi_new() failed\n");
    }
    ~libftdi_driver_t() override
    {
        close();
        if (api && context)
            api->free_context(context);
    }

    uint32_t create_device_info_list(uint32_t &count) override
    {
        count = 0;
        uint32_t status = enumerate();
        if (status == FTDI_OK)
            count = static_cast<uint32_t>(nodes.size());
        return status;
    }

    uint32_t get_device_info_list(ftdi_node_t *out, uint32_t &count) override
    {
        if (count > nodes.size())
            count = static_cast<uint32_t>(nodes.size());
        for (uint32_t i = 0; i < count; i++)
            out[i] = nodes[i];
        return FTDI_OK;
    }

    void set_usb_ids(uint16_t vendor_id, uint16_t product_id) override
    {
        searches.clear();
        for (uint32_t id : ftdi_usb_ids(vendor_id, product_id))
            searches.push_back({static_cast<int>(id >> 16), static_cast<int>(id & 0xFFFF)});
    }

    // Finds the device (and channel) whose strings give the key, and opens it.
    uint32_t open_ex(const char *key, uint32_t how) override
    {
        if (!context)
            return FTDI_INSUFFICIENT_RESOURCES;
        open_error = 0;
        open_error_text.clear();
        uint32_t status = FTDI_DEVICE_NOT_FOUND;
        uint32_t found = for_each_device([&](libusb_device *device, uint32_t id) {
            usb_strings_t strings;
            if (!get_strings(device, strings)) {
                // a device this user may not open shows no strings either
                if (open_error == 0 && strings_error == -4)
                    remember_open_error("ftdi_usb_get_strings", strings_error);
                return false;
            }
            bool suffixed = false;
            int channel = matching_channel(key, how, strings, suffixed);
            if (channel < 0)
                return false;
            status = open_channel(device, channel, AUTO_DETACH_SIO_MODULE);
            if (status == FTDI_OK) {
                opened = true;
                opened_node = ftdi_node_t();
                opened_node.type = d2xx_type(context->type);
                opened_node.id = id;
                int channels = ftdi_channel_count(opened_node.type);
                // Named by the plain strings: the device reports them as they are.
                // Named with a channel letter the chip lacks: reported without one,
                // so that the attribute check refuses it.
                if (!suffixed || channel >= channels)
                    channel_names(opened_node, strings, 0, 1);
                else
                    channel_names(opened_node, strings, channel, channels);
                api->read_data_set_chunksize(context, 65536);
                api->write_data_set_chunksize(context, 65536);
            }
            return true;
        });
        return found == FTDI_OK ? status : found;
    }

    // libftdi1's own words, then what the user can do about the usual causes.
    std::string open_failure_advice(uint32_t) override
    {
        if (open_error == 0)
            return "";
        std::string advice = "libftdi1: " + open_error_text + " (" + std::to_string(open_error) + ")\n";
        switch (open_error) {
        case -3:  // the configuration can't be set: a driver or program uses the device
        case -5:  // the interface can't be claimed
            return advice + ftdi_advice_busy + ftdi_advice_kernel;
        case -4:  // libusb_open failed: usually the device node's permissions
        case -8:  // the kernel driver could not be detached: no permission
            return advice + ftdi_advice_permission;
        default:
            return advice;
        }
    }

    uint32_t get_device_info(ftdi_node_t &info) override
    {
        if (!opened)
            return FTDI_INVALID_HANDLE;
        info = opened_node;
        return FTDI_OK;
    }

    void close() override
    {
        if (opened) {
            api->usb_close(context);
            opened = false;
        }
    }

    std::unique_ptr<ftdi_chip_t> take_chip() override
    {
        ftdi_context *c = context;
        context = nullptr;
        opened = false;
        return std::unique_ptr<ftdi_chip_t>(new ftdi_chip_libftdi_t(std::move(api), c));
    }

private:
    static uint32_t find_all_status(int result)
    {
        return result == -3 ? FTDI_INSUFFICIENT_RESOURCES : FTDI_IO_ERROR;
    }

    bool get_strings(libusb_device *device, usb_strings_t &strings)
    {
        int r = api->usb_get_strings(context, device, nullptr, 0, strings.description, sizeof strings.description,
                                     strings.serial_number, sizeof strings.serial_number);
        strings.description[sizeof strings.description - 1] = 0;
        strings.serial_number[sizeof strings.serial_number - 1] = 0;
        if (r < 0) {
            api->report(context, "ftdi_usb_get_strings", r);
            strings_error = r;
            return false;
        }
        return true;
    }

    // The channel the key names: 0 for the plain strings, else the letter's channel
    // (suffixed set); -1 when the key names another device.
    static int matching_channel(const char *key, uint32_t how, const usb_strings_t &strings, bool &suffixed)
    {
        const char *base = how == FTDI_OPEN_BY_SERIAL_NUMBER ? strings.serial_number : strings.description;
        size_t n = strlen(base);
        suffixed = false;
        if (strcmp(key, base) == 0)
            return 0;
        if (strncmp(key, base, n) != 0)
            return -1;
        const char *rest = key + n;
        if (how == FTDI_OPEN_BY_DESCRIPTION) {
            if (*rest != ' ')
                return -1;
            rest++;
        }
        if (rest[0] >= 'A' && rest[0] <= 'D' && rest[1] == 0) {
            suffixed = true;
            return rest[0] - 'A';
        }
        return -1;
    }

    uint32_t open_channel(libusb_device *device, int channel, ftdi_module_detach_mode detach)
    {
        int r = api->set_interface(context, static_cast<ftdi_interface>(INTERFACE_A + channel));
        if (r < 0) {
            remember_open_error("ftdi_set_interface", r);
            return FTDI_DEVICE_NOT_OPENED;
        }
        context->module_detach_mode = detach;
        r = api->usb_open_dev(context, device);
        if (r < 0) {
            remember_open_error("ftdi_usb_open_dev", r);
            return FTDI_DEVICE_NOT_OPENED;
        }
        return FTDI_OK;
    }

    void remember_open_error(const char *function, int result)
    {
        api->report(context, function, result);
        const char *text = api->get_error_string(context);
        open_error = result;
        open_error_text = text ? text : "";
    }

    // Calls visit(device, USB ID) for each device of the searched IDs until it returns
    // true; a D2XX status.
    template <typename F>
    uint32_t for_each_device(F visit)
    {
        for (const usb_ids_t &ids : searches) {
            ftdi_device_list *list = nullptr;
            int found = api->usb_find_all(context, &list, ids.vendor, ids.product);
            if (found < 0) {
                api->report(context, "ftdi_usb_find_all", found);
                return find_all_status(found);
            }
            uint32_t id = uint32_t(ids.vendor) << 16 | ids.product;
            bool done = false;
            for (ftdi_device_list *item = list; item && !done; item = item->next)
                done = visit(item->dev, id);
            api->list_free(&list);
            if (done)
                break;
        }
        return FTDI_OK;
    }

    // One node per channel. Each channel is opened for a moment to learn the chip
    // type and whether someone else holds it; a channel that can't be claimed is
    // opened by another process. Kernel drivers are left attached.
    uint32_t enumerate()
    {
        nodes.clear();
        if (!context)
            return FTDI_INSUFFICIENT_RESOURCES;
        return for_each_device([&](libusb_device *device, uint32_t id) {
            usb_strings_t strings;
            bool have_strings = get_strings(device, strings);
            int channels = 1;
            for (int channel = 0; channel < channels; channel++) {
                ftdi_node_t node;
                node.id = id;
                if (probe(device, channel, node.type) == -5)
                    node.flags = 1;
                else if (channel == 0 && !(have_strings && names_one_channel(strings)))
                    channels = ftdi_channel_count(node.type);
                if (channel > 0)
                    node.type = nodes.back().type;
                if (have_strings)
                    channel_names(node, strings, channel, channels);
                nodes.push_back(node);
            }
            return false;
        });
    }

    // Opens and closes one channel; the result of ftdi_usb_open_dev.
    int probe(libusb_device *device, int channel, uint32_t &type)
    {
        int r = api->set_interface(context, static_cast<ftdi_interface>(INTERFACE_A + channel));
        if (r < 0) {
            api->report(context, "ftdi_set_interface", r);
            return r;
        }
        context->module_detach_mode = DONT_DETACH_SIO_MODULE;
        r = api->usb_open_dev(context, device);
        if (r < 0) {
            api->report(context, "ftdi_usb_open_dev", r);
            return r;
        }
        type = d2xx_type(context->type);
        api->usb_close(context);
        return r;
    }

    struct usb_ids_t {
        int vendor;
        int product;
    };

    std::unique_ptr<libftdi_api_t> api;
    ftdi_context *context = nullptr;
    // 0, 0: libftdi1's own list of FTDI's standard IDs.
    std::vector<usb_ids_t> searches{{0, 0}};
    int open_error = 0;
    int strings_error = 0;
    std::string open_error_text;
    std::vector<ftdi_node_t> nodes;
    bool opened = false;
    ftdi_node_t opened_node;
};

}  // namespace

const bool libftdi_back_end = true;

std::unique_ptr<ftdi_driver_t> load_libftdi_driver(const char *library_name)
{
    return std::unique_ptr<ftdi_driver_t>(new libftdi_driver_t(library_name));
}
