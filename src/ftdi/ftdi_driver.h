// The device listing and opening steps of one FTDI driver library, in D2XX terms.
// The D2XX wrapper passes them through; the libftdi1 wrapper emulates them, so
// both share the listing, the opening checks and every message.
#pragma once

#include <cstdint>
#include <memory>

#include "ftdi/ftdi_chip.h"

// One entry of the device list (D2XX FT_DEVICE_LIST_INFO_NODE, the parts used).
struct ftdi_node_t {
    uint32_t flags = 0;  // bit 0: opened by another process
    uint32_t type = FTDI_DEVICE_UNKNOWN;
    char serial_number[17] = {};
    char description[65] = {};
};

enum : uint32_t { FTDI_OPEN_BY_SERIAL_NUMBER = 1, FTDI_OPEN_BY_DESCRIPTION = 2 };

class ftdi_driver_t {
public:
    virtual ~ftdi_driver_t() {}
    // Each returns a D2XX status code.
    virtual uint32_t create_device_info_list(uint32_t &count) = 0;
    // nodes has room for count entries; count is updated to the entries filled.
    virtual uint32_t get_device_info_list(ftdi_node_t *nodes, uint32_t &count) = 0;
    virtual uint32_t open_ex(const char *key, uint32_t how) = 0;
    virtual uint32_t get_device_info(ftdi_node_t &info) = 0;
    // Closes the opened device (status ignored).
    virtual void close() = 0;
    // The chip object takes over the library and the opened device.
    virtual std::unique_ptr<ftdi_chip_t> take_chip() = 0;
};

std::unique_ptr<ftdi_driver_t> load_ftd2xx_driver(const char *library_name);
std::unique_ptr<ftdi_driver_t> load_libftdi_driver(const char *library_name);

// Replaces the library loading for tests (null restores it).
using ftdi_driver_loader_t = std::unique_ptr<ftdi_driver_t> (*)();
void set_ftdi_driver_loader(ftdi_driver_loader_t loader);

// Copies at most size-1 characters and terminates (size > 0).
void ftdi_copy_text(char *to, const char *from, size_t size);
