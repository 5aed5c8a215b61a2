#include "ftdi/ftdi_chip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ftdi/ftdi_driver.h"
#include "os/os.h"
#include "base/messages.h"

namespace {

const char *const status_names[] = {
    "FT_OK",
    "FT_INVALID_HANDLE",
    "FT_DEVICE_NOT_FOUND",
    "FT_DEVICE_NOT_OPENED",
    "FT_IO_ERROR",
    "FT_INSUFFICIENT_RESOURCES",
    "FT_INVALID_PARAMETER",
    "FT_INVALID_BAUD_RATE",
    "FT_DEVICE_NOT_OPENED_FOR_ERASE",
    "FT_DEVICE_NOT_OPENED_FOR_WRITE",
    "FT_FAILED_TO_WRITE_DEVICE",
    "FT_EEPROM_READ_FAILED",
    "FT_EEPROM_WRITE_FAILED",
    "FT_EEPROM_ERASE_FAILED",
    "FT_EEPROM_NOT_PRESENT",
    "FT_EEPROM_NOT_PROGRAMMED",
    "FT_INVALID_ARGS",
    "FT_NOT_SUPPORTED",
    "FT_OTHER_ERROR",
    "FT_DEVICE_LIST_NOT_READY",
};

// What the program needs to know of each D2XX type code: its name, its channels, which
// of them have an MPSSE engine (bit 0 = channel A) and whether it is a high-speed chip.
struct type_info_t {
    const char *name;
    uint8_t channels;
    uint8_t mpsse_channels;
    bool high_speed;
};

const type_info_t type_infos[] = {
    {"FT_DEVICE_BM", 1, 0, false},
    {"FT_DEVICE_AM", 1, 0, false},
    {"FT_DEVICE_100AX", 1, 0, false},
    {"FT_DEVICE_UNKNOWN", 1, 0, false},
    {"FT_DEVICE_2232C", 2, 0x3, false},
    {"FT_DEVICE_232R", 1, 0, false},
    {"FT_DEVICE_2232H", 2, 0x3, true},
    {"FT_DEVICE_4232H", 4, 0x3, true},
    {"FT_DEVICE_232H", 1, 0x1, true},
    {"FT_DEVICE_X_SERIES", 1, 0, false},
    {"FT_DEVICE_4222H_0", 2, 0, false},
    {"FT_DEVICE_4222H_1_2", 4, 0, false},
    {"FT_DEVICE_4222H_3", 1, 0, false},
    {"FT_DEVICE_4222_PROG", 1, 0, false},
    {"FT_DEVICE_900", 1, 0, false},
    {"FT_DEVICE_930", 1, 0, false},
    {"FT_DEVICE_UMFTPD3A", 1, 0, false},
    // The USB-C power-delivery and automotive members of the high-speed family.
    {"FT_DEVICE_2233HP", 2, 0x3, true},
    {"FT_DEVICE_4233HP", 4, 0x3, true},
    {"FT_DEVICE_2232HP", 2, 0x3, true},
    {"FT_DEVICE_4232HP", 4, 0x3, true},
    {"FT_DEVICE_233HP", 1, 0x1, true},
    {"FT_DEVICE_232HP", 1, 0x1, true},
    {"FT_DEVICE_2232HA", 2, 0x3, true},
    {"FT_DEVICE_4232HA", 4, 0x3, true},
    {"FT_DEVICE_232RN", 1, 0, false},
    {"FT_DEVICE_2233HPN", 2, 0x3, true},
    {"FT_DEVICE_4233HPN", 4, 0x3, true},
    {"FT_DEVICE_2232HPN", 2, 0x3, true},
    {"FT_DEVICE_4232HPN", 4, 0x3, true},
    {"FT_DEVICE_233HPN", 1, 0x1, true},
    {"FT_DEVICE_232HPN", 1, 0x1, true},
    {"FT_DEVICE_BM_A", 1, 0, false},
};

const type_info_t *type_info(uint32_t type)
{
    if (type < sizeof type_infos / sizeof type_infos[0])
        return &type_infos[type];
    return nullptr;
}

const char d2xx_library_name[] = "ftd2xx.dll";
const char libftdi_library_name[] = "libftdi1.so.2";

ftdi_library_kind_t chosen_kind(const ftdi_library_t &library, const char **why)
{
    if (library.kind != FTDI_LIBRARY_AUTO) {
        *why = "set by the program";
        return library.kind;
    }
    if (!libftdi_back_end) {
        *why = "the only one on this system";
        return FTDI_LIBRARY_D2XX;
    }
    const char *forced = os::get_env("MORVIN_FTDI_LIBRARY");
    if (forced && *forced) {
        *why = "MORVIN_FTDI_LIBRARY";
        if (strcmp(forced, "d2xx") == 0)
            return FTDI_LIBRARY_D2XX;
        if (strcmp(forced, "libftdi") == 0)
            return FTDI_LIBRARY_LIBFTDI;
        fail(EXIT_USAGE, "Invalid MORVIN_FTDI_LIBRARY value '%s' (d2xx or libftdi)\n", forced);
    }
    // The vendor library when it is installed, else the distribution's open library.
    if (void *probe = os::load_library(d2xx_library_name)) {
        os::free_library(probe);
        *why = "D2XX library found";
        return FTDI_LIBRARY_D2XX;
    }
    *why = "no D2XX library found";
    return FTDI_LIBRARY_LIBFTDI;
}

std::unique_ptr<ftdi_driver_t> load_driver(const ftdi_library_t &library)
{
    if (library.loader)
        return library.loader();
    const char *why = "";
    ftdi_library_kind_t kind = chosen_kind(library, &why);
    const char *path = library.path.empty() ? nullptr : library.path.c_str();
    if (kind == FTDI_LIBRARY_LIBFTDI) {
        msg_print(msg_out, MSG_DEBUG, "\t%% FTDI library: libftdi1 (%s)\n", why);
        return load_libftdi_driver(path ? path : libftdi_library_name);
    }
    msg_print(msg_out, MSG_DEBUG, "\t%% FTDI library: D2XX (%s)\n", why);
    return load_ftd2xx_driver(path ? path : d2xx_library_name);
}

const char *any_if_empty(const char *text)
{
    return *text ? text : "any";
}

bool has_usb_ids(const ftdi_device_attributes_t &requested)
{
    return requested.vendor_id || requested.product_id;
}

// A device of the requested USB IDs: the given vendor (else FTDI's) and the given product
// (else any standard one). A device whose IDs the library does not report passes.
bool ids_match(const ftdi_device_attributes_t &requested, uint32_t id)
{
    if (!has_usb_ids(requested) || id == 0)
        return true;
    std::vector<uint32_t> ids = ftdi_usb_ids(requested.vendor_id, requested.product_id);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The attached devices of the requested USB IDs, in the library's order.
std::vector<ftdi_node_t> device_list(ftdi_driver_t &driver, const ftdi_device_attributes_t &requested)
{
    if (has_usb_ids(requested))
        driver.set_usb_ids(requested.vendor_id, requested.product_id);
    uint32_t count = 0;
    uint32_t status = driver.create_device_info_list(count);
    if (status != FTDI_OK)
        fail(EXIT_USAGE, "Can't get number of FTDI devices (%s)\n", ftdi_status_name(status));
    if (count == 0)
        fail(EXIT_USAGE, "No FTDI devices found\n");
    std::vector<ftdi_node_t> nodes(count);
    uint32_t filled = count;
    status = driver.get_device_info_list(nodes.data(), filled);
    if (status != FTDI_OK) {
        msg_print(msg_out, MSG_INFO, "%ld FTDI devices detected\n", (long)count);
        fail(EXIT_USAGE, "Can't get FTDI device list (%s)\n", ftdi_status_name(status));
    }
    // The list can shrink between the two calls; never use more than was filled.
    nodes.resize(std::min(filled, count));
    nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                               [&](const ftdi_node_t &node) { return !ids_match(requested, node.id); }),
                nodes.end());
    if (nodes.empty())
        fail(EXIT_USAGE, "No FTDI devices found\n");
    return nodes;
}

// The channels worth trying when none is named, in the listing's order: first the free
// ones with an MPSSE engine, then the ones listed as held whose strings are known (libftdi1
// lists a channel bound to Linux's serial driver so, and detaches the driver when it opens
// it). Fails when there is none.
std::vector<ftdi_device_attributes_t> mpsse_candidates(ftdi_driver_t &driver, const ftdi_device_attributes_t &requested)
{
    std::vector<ftdi_node_t> nodes = device_list(driver, requested);
    std::vector<ftdi_device_attributes_t> free_ones, held_ones;
    size_t busy = 0, unreadable = 0;
    for (size_t i = 0; i < nodes.size(); i++) {
        const ftdi_node_t &node = nodes[i];
        ftdi_device_attributes_t key;
        key.device_type = node.type;
        ftdi_copy_text(key.serial_number, node.serial_number, sizeof key.serial_number);
        ftdi_copy_text(key.description, node.description, sizeof key.description);
        bool named = node.serial_number[0] || node.description[0];
        if (node.flags & 1) {
            busy++;
            if (named)
                held_ones.push_back(key);
            continue;
        }
        if (!named) {
            unreadable++;  // D2XX shows no strings of a device it may not read
            continue;
        }
        if (ftdi_mpsse_refusal(node.type, ftdi_channel_index(node.type, node.description)))
            continue;
        if (free_ones.empty())
            msg_print(msg_out, MSG_DEBUG, "\t%% FTDI device %ld chosen: %s (%s), serno '%s'\n", (long)i,
                      ftdi_device_type_name(node.type), node.description, node.serial_number);
        free_ones.push_back(key);
    }
    free_ones.insert(free_ones.end(), held_ones.begin(), held_ones.end());
    if (!free_ones.empty())
        return free_ones;
    if (busy)
        msg_print(msg_out, MSG_ERROR,
                  "No free FTDI channel with an MPSSE engine found (%ld of %ld opened by another process)\n"
                  "Close the program that holds it, or name a device with -ps= or -pd= (-p? lists them)\n",
                  (long)busy, (long)nodes.size());
    else
        msg_print(msg_out, MSG_ERROR, "No FTDI channel with an MPSSE engine found among %ld FTDI devices (-p? lists them)\n",
                  (long)nodes.size());
    if (unreadable)
        msg_print(msg_out, MSG_ERROR, "%s", ftdi_advice_permission);
    throw app_error(EXIT_USAGE);
}

// Opens a candidate without a word; null when it can't be opened or can't serve.
std::unique_ptr<ftdi_chip_t> open_quietly(ftdi_driver_t &driver, const ftdi_device_attributes_t &key,
                                          const ftdi_device_attributes_t &requested, ftdi_device_attributes_t *found)
{
    bool by_serial = key.serial_number[0] != 0;
    if (driver.open_ex(by_serial ? key.serial_number : key.description,
                       by_serial ? FTDI_OPEN_BY_SERIAL_NUMBER : FTDI_OPEN_BY_DESCRIPTION) != FTDI_OK)
        return nullptr;
    ftdi_node_t info;
    if (driver.get_device_info(info) != FTDI_OK ||
        ftdi_mpsse_refusal(info.type, ftdi_channel_index(info.type, info.description)) || !ids_match(requested, info.id)) {
        driver.close();
        return nullptr;
    }
    if (found) {
        *found = ftdi_device_attributes_t();
        found->device_type = info.type;
        ftdi_copy_text(found->serial_number, info.serial_number, sizeof found->serial_number);
        ftdi_copy_text(found->description, info.description, sizeof found->description);
    }
    return driver.take_chip();
}
}  // namespace

const char ftdi_advice_busy[] =
    "The channel may be held by another program (a terminal on its serial port, another programmer): "
    "close it and try again\n";
const char ftdi_advice_kernel[] =
    "On Linux the kernel's serial driver ftdi_sio may hold it: unbind it from the channel or unload it "
    "(sudo rmmod ftdi_sio usbserial), or use libftdi1, which detaches it (MORVIN_FTDI_LIBRARY=libftdi)\n";
const char ftdi_advice_permission[] =
    "Permission denied? This user may need access to the USB device: install the udev rules "
    "(README, FTDI adapters on Linux) and plug the adapter in again\n";

void ftdi_copy_text(char *to, const char *from, size_t size)
{
    size_t n = 0;
    while (n + 1 < size && from[n])
        n++;
    memcpy(to, from, n);
    to[n] = 0;
}

std::vector<uint32_t> ftdi_usb_ids(uint16_t vendor_id, uint16_t product_id)
{
    uint32_t vendor = uint32_t(vendor_id ? vendor_id : uint16_t(FTDI_VENDOR_ID)) << 16;
    if (product_id)
        return {vendor | product_id};
    return {vendor | FTDI_PID_232, vendor | FTDI_PID_2232, vendor | FTDI_PID_4232, vendor | FTDI_PID_232H};
}

const char *ftdi_status_name(uint32_t status)
{
    if (status < sizeof status_names / sizeof status_names[0])
        return status_names[status];
    return "TOO HIGH ERROR CODE";
}

const char *ftdi_device_type_name(uint32_t type)
{
    const type_info_t *info = type_info(type);
    return info ? info->name : "TOO HIGH TYPE CODE";
}

int ftdi_channel_count(uint32_t type)
{
    const type_info_t *info = type_info(type);
    return info ? info->channels : 1;
}

int ftdi_channel_index(uint32_t type, const char *description)
{
    const type_info_t *info = type_info(type);
    if (!info || info->channels <= 1)
        return 0;
    size_t n = strlen(description);
    if (n >= 2 && description[n - 2] == ' ' && description[n - 1] >= 'A' && description[n - 1] < 'A' + info->channels)
        return description[n - 1] - 'A';
    return 0;
}

const char *ftdi_mpsse_refusal(uint32_t type, int channel)
{
    const type_info_t *info = type_info(type);
    if (!info || info->mpsse_channels == 0)
        return "it has no MPSSE engine to clock SPI";
    if (!(info->mpsse_channels & (1u << channel))) {
        static const char *const letters[] = {"channel A", "channel B", "channel C", "channel D"};
        static char text[96];
        snprintf(text, sizeof text, "%s of it has no MPSSE engine, only %s", channel < 4 ? letters[channel] : "this channel",
                 info->mpsse_channels == 0x3 ? "channels A and B have one" : "channel A has one");
        return text;
    }
    return nullptr;
}

bool ftdi_high_speed(uint32_t type)
{
    const type_info_t *info = type_info(type);
    return info && info->high_speed;
}

void check_ftdi_status(const char *operation, uint32_t status, bool short_transfer)
{
    if (status != FTDI_OK)
        fail(EXIT_USAGE, "Can't %s (%s)\n", operation, ftdi_status_name(status));
    if (short_transfer)
        fail(EXIT_USAGE, "Can't %s\n", operation);
}

void print_ftdi_attributes(uint8_t level, const char *label, const ftdi_device_attributes_t &attributes)
{
    char ids[32] = "";
    if (attributes.vendor_id || attributes.product_id)
        snprintf(ids, sizeof ids, ", USB ID %04X:%04X", attributes.vendor_id, attributes.product_id);
    msg_print(msg_out, level, "%s%s  %s (description \"%s\", serial number \"%s\"%s)\n", level > MSG_INFO ? "\t% " : "",
              label, ftdi_device_type_name(attributes.device_type), any_if_empty(attributes.description),
              any_if_empty(attributes.serial_number), ids);
}

void list_ftdi_devices(const ftdi_library_t &library, const ftdi_device_attributes_t &requested)
{
    std::unique_ptr<ftdi_driver_t> driver = load_driver(library);
    std::vector<ftdi_node_t> nodes = device_list(*driver, requested);
    msg_print(msg_out, MSG_INFO, "%ld FTDI devices detected\n", (long)nodes.size());
    for (size_t i = 0; i < nodes.size(); i++) {
        const ftdi_node_t &node = nodes[i];
        if (node.flags & 1) {
            msg_print(msg_out, MSG_INFO, "%2ld: opened by another process\n", (long)i);
            continue;
        }
        const type_info_t *info = type_info(node.type);
        int channel = ftdi_channel_index(node.type, node.description);
        char channel_text[16] = "";
        if (info && info->channels > 1)
            snprintf(channel_text, sizeof channel_text, " channel %c", 'A' + channel);
        msg_print(msg_out, MSG_INFO, "%2ld: %s%s (%s), serno '%s'%s\n", (long)i, ftdi_device_type_name(node.type),
                  channel_text, node.description, node.serial_number,
                  ftdi_mpsse_refusal(node.type, channel) ? ", no MPSSE" : "");
    }
}

std::unique_ptr<ftdi_chip_t> open_ftdi_chip(const ftdi_library_t &library, const ftdi_device_attributes_t &requested,
                                            ftdi_device_attributes_t *found_out)
{
    std::unique_ptr<ftdi_driver_t> driver;
    ftdi_device_attributes_t key_source = requested;
    if (!requested.serial_number[0] && !requested.description[0]) {
        if (!requested.first_mpsse)
            fail(EXIT_USAGE, "Description and/or serial number must be set for FTDI device oprning\n");
        driver = load_driver(library);
        std::vector<ftdi_device_attributes_t> candidates = mpsse_candidates(*driver, requested);
        for (size_t i = 0; i + 1 < candidates.size(); i++)
            if (std::unique_ptr<ftdi_chip_t> chip = open_quietly(*driver, candidates[i], requested, found_out))
                return chip;
        // the last one is opened with every message
        key_source = candidates.back();
    }

    const char *key;
    const char *key_name;
    uint32_t how;
    if (key_source.serial_number[0]) {
        key = key_source.serial_number;
        key_name = "serial number";
        how = FTDI_OPEN_BY_SERIAL_NUMBER;
    } else {
        key = key_source.description;
        key_name = "description";
        how = FTDI_OPEN_BY_DESCRIPTION;
    }

    if (!driver) {
        driver = load_driver(library);
        if (has_usb_ids(requested))
            driver->set_usb_ids(requested.vendor_id, requested.product_id);
    }
    uint32_t status = driver->open_ex(key, how);
    if (status != FTDI_OK) {
        std::string advice = driver->open_failure_advice(status);
        msg_print(msg_out, MSG_ERROR, "Can't open FTDI device with %s \"%s\" (%s)\n", key_name, key,
                  ftdi_status_name(status));
        if (!advice.empty())
            msg_print(msg_out, MSG_ERROR, "%s", advice.c_str());
        throw app_error(EXIT_USAGE);
    }

    ftdi_node_t info;
    status = driver->get_device_info(info);
    if (status != FTDI_OK) {
        driver->close();
        fail(EXIT_USAGE, "Can't get FTDI device information (%s)\n", ftdi_status_name(status));
    }
    ftdi_device_attributes_t found;
    found.device_type = info.type;
    ftdi_copy_text(found.serial_number, info.serial_number, sizeof found.serial_number);
    ftdi_copy_text(found.description, info.description, sizeof found.description);
    if (has_usb_ids(requested)) {
        found.vendor_id = static_cast<uint16_t>(info.id >> 16);
        found.product_id = static_cast<uint16_t>(info.id);
    }

    if (const char *why = ftdi_mpsse_refusal(info.type, ftdi_channel_index(info.type, info.description))) {
        driver->close();
        msg_print(msg_out, MSG_ERROR, "Can't use opened FTDI device (%s)\n", why);
        print_ftdi_attributes(MSG_ERROR, "Found    ", found);
        throw app_error(EXIT_USAGE);
    }
    bool match = (!requested.serial_number[0] || strcmp(requested.serial_number, info.serial_number) == 0) &&
                 (!requested.description[0] || strcmp(requested.description, info.description) == 0) &&
                 ids_match(requested, info.id);
    if (!match) {
        driver->close();
        // Any chip with an MPSSE engine would do: the request names the type found.
        ftdi_device_attributes_t asked = requested;
        asked.device_type = info.type;
        if (has_usb_ids(requested)) {
            asked.vendor_id = requested.vendor_id ? requested.vendor_id : uint16_t(FTDI_VENDOR_ID);
            asked.product_id = requested.product_id ? requested.product_id : found.product_id;
        }
        msg_print(msg_out, MSG_ERROR, "Can't use opened FTDI device (some of parameters not match)\n");
        print_ftdi_attributes(MSG_ERROR, "Requested", asked);
        print_ftdi_attributes(MSG_ERROR, "Found    ", found);
        throw app_error(EXIT_USAGE);
    }
    if (found_out)
        *found_out = found;
    return driver->take_chip();
}
