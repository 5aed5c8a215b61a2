#include "ftdi/ftdi_chip.h"

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

const char *const type_names[] = {
    "FT_DEVICE_BM", "FT_DEVICE_AM", "FT_DEVICE_100AX", "FT_DEVICE_UNKNOWN", "FT_DEVICE_2232C", "FT_DEVICE_232R",
};

const char d2xx_library_name[] = "ftd2xx.dll";
const char libftdi_library_name[] = "libftdi1.so.2";

struct library_choice_t {
    ftdi_library_kind_t kind = FTDI_LIBRARY_AUTO;
    std::string path;  // empty: the usual name
    ftdi_driver_loader_t loader = nullptr;
};

library_choice_t &choice()
{
    static library_choice_t state;
    return state;
}

#if defined(_WIN32)
constexpr bool libftdi_available = false;
#else
constexpr bool libftdi_available = true;
#endif

ftdi_library_kind_t chosen_kind(const char **why)
{
    if (choice().kind != FTDI_LIBRARY_AUTO) {
        *why = "set by the program";
        return choice().kind;
    }
    if (!libftdi_available) {
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

std::unique_ptr<ftdi_driver_t> load_driver()
{
    if (choice().loader)
        return choice().loader();
    const char *why = "";
    ftdi_library_kind_t kind = chosen_kind(&why);
    const char *path = choice().path.empty() ? nullptr : choice().path.c_str();
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

}  // namespace

void ftdi_copy_text(char *to, const char *from, size_t size)
{
    size_t n = 0;
    while (n + 1 < size && from[n])
        n++;
    memcpy(to, from, n);
    to[n] = 0;
}

const char *ftdi_status_name(uint32_t status)
{
    if (status < sizeof status_names / sizeof status_names[0])
        return status_names[status];
    return "TOO HIGH ERROR CODE";
}

const char *ftdi_device_type_name(uint32_t type)
{
    if (type < sizeof type_names / sizeof type_names[0])
        return type_names[type];
    return "TOO HIGH TYPE CODE";
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
    msg_print(msg_out, level, "%s%s  %s (description \"%s\", serial number \"%s\")\n", level > MSG_INFO ? "\t% " : "",
              label, ftdi_device_type_name(attributes.device_type), any_if_empty(attributes.description),
              any_if_empty(attributes.serial_number));
}

void list_ftdi_devices()
{
    std::unique_ptr<ftdi_driver_t> driver = load_driver();
    uint32_t count = 0;
    uint32_t status = driver->create_device_info_list(count);
    if (status != FTDI_OK)
        fail(EXIT_USAGE, "Can't get number of FTDI devices (%s)\n", ftdi_status_name(status));
    if (count == 0)
        fail(EXIT_USAGE, "No FTDI devices found\n");
    msg_print(msg_out, MSG_INFO, "%ld FTDI devices detected\n", (long)count);
    std::vector<ftdi_node_t> nodes(count);
    uint32_t filled = count;
    status = driver->get_device_info_list(nodes.data(), filled);
    if (status != FTDI_OK)
        fail(EXIT_USAGE, "Can't get FTDI device list (%s)\n", ftdi_status_name(status));
    // The list can shrink between the two calls; never print more than was filled.
    if (filled < count)
        count = filled;
    for (uint32_t i = 0; i < count; i++) {
        const ftdi_node_t &node = nodes[i];
        if (node.flags & 1)
            msg_print(msg_out, MSG_INFO, "%2ld: opened by another process\n", (long)i);
        else
            msg_print(msg_out, MSG_INFO, "%2ld: %s (%s), serno '%s'\n", (long)i, ftdi_device_type_name(node.type),
                      node.description, node.serial_number);
    }
}

std::unique_ptr<ftdi_chip_t> open_ftdi_chip(const ftdi_device_attributes_t &requested)
{
    const char *key;
    const char *key_name;
    uint32_t how;
    if (requested.serial_number[0]) {
        key = requested.serial_number;
        key_name = "serial number";
        how = FTDI_OPEN_BY_SERIAL_NUMBER;
    } else if (requested.description[0]) {
        key = requested.description;
        key_name = "description";
        how = FTDI_OPEN_BY_DESCRIPTION;
    } else {
        fail(EXIT_USAGE, "Description and/or serial number must be set for FTDI device oprning\n");
    }

    std::unique_ptr<ftdi_driver_t> driver = load_driver();
    uint32_t status = driver->open_ex(key, how);
    if (status != FTDI_OK)
        fail(EXIT_USAGE, "Can't open FTDI device with %s \"%s\" (%s)\n", key_name, key, ftdi_status_name(status));

    ftdi_node_t info;
    status = driver->get_device_info(info);
    if (status != FTDI_OK) {
        driver->close();
        fail(EXIT_USAGE, "Can't get FTDI device information (%s)\n", ftdi_status_name(status));
    }
    bool match = info.type == requested.device_type &&
                 (!requested.serial_number[0] || strcmp(requested.serial_number, info.serial_number) == 0) &&
                 (!requested.description[0] || strcmp(requested.description, info.description) == 0);
    if (!match) {
        driver->close();
        ftdi_device_attributes_t found;
        found.device_type = info.type;
        ftdi_copy_text(found.serial_number, info.serial_number, sizeof found.serial_number);
        ftdi_copy_text(found.description, info.description, sizeof found.description);
        msg_print(msg_out, MSG_ERROR, "Can't use opened FTDI device (some of parameters not match)\n");
        print_ftdi_attributes(MSG_ERROR, "Requested", requested);
        print_ftdi_attributes(MSG_ERROR, "Found    ", found);
        throw app_error(EXIT_USAGE);
    }
    return driver->take_chip();
}

void set_ftdi_library(ftdi_library_kind_t kind, const char *path)
{
    choice().kind = kind;
    choice().path = path ? path : "";
}

void set_ftdi_driver_loader(ftdi_driver_loader_t loader)
{
    choice().loader = loader;
}

void ftdi_chip_reset()
{
    choice() = library_choice_t();
}
