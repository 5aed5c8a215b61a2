// The device listing and opening steps of one FTDI driver library, in D2XX terms.
// The D2XX wrapper passes them through; the libftdi1 wrapper emulates them, so
// both share the listing, the opening checks and every message.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ftdi/ftdi_chip.h"
#include "base/dll.h"

// One entry of the device list (D2XX FT_DEVICE_LIST_INFO_NODE, the parts used).
struct ftdi_node_t {
    uint32_t flags = 0;  // bit 0: opened by another process
    uint32_t type = FTDI_DEVICE_UNKNOWN;
    uint32_t id = 0;     // USB vendor ID << 16 | product ID; 0 when not known
    char serial_number[17] = {};
    char description[65] = {};
};

enum : uint32_t { FTDI_OPEN_BY_SERIAL_NUMBER = 1, FTDI_OPEN_BY_DESCRIPTION = 2 };

class ftdi_driver_t {
public:
    virtual ~ftdi_driver_t() {}
    // Makes the devices with these USB IDs visible to the calls below, where the library
    // needs to be told (0: FTDI's vendor ID, its standard product IDs).
    virtual void set_usb_ids(uint16_t vendor_id, uint16_t product_id) = 0;
    // Each returns a D2XX status code.
    virtual uint32_t create_device_info_list(uint32_t &count) = 0;
    // nodes has room for count entries; count is updated to the entries filled.
    virtual uint32_t get_device_info_list(ftdi_node_t *nodes, uint32_t &count) = 0;
    virtual uint32_t open_ex(const char *key, uint32_t how) = 0;
    virtual uint32_t get_device_info(ftdi_node_t &info) = 0;
    // After a failed open_ex: the library's own account of it and what the user can do,
    // as lines to print (empty when there is nothing to add).
    virtual std::string open_failure_advice(uint32_t status) = 0;
    // Closes the opened device (status ignored).
    virtual void close() = 0;
    // The chip object takes over the library and the opened device.
    virtual std::unique_ptr<ftdi_chip_t> take_chip() = 0;
};

std::unique_ptr<ftdi_driver_t> load_ftd2xx_driver(const char *library_name);
std::unique_ptr<ftdi_driver_t> load_libftdi_driver(const char *library_name);
// Whether this build has the libftdi1 back end (Linux) or not (Windows).
extern const bool libftdi_back_end;

// Advice lines after a failed opening: the channel held by another program, by Linux's
// serial driver, or a USB device the user may not open.
extern const char ftdi_advice_busy[];
extern const char ftdi_advice_kernel[];
extern const char ftdi_advice_permission[];

// Copies at most size-1 characters and terminates (size > 0).
void ftdi_copy_text(char *to, const char *from, size_t size);

// The USB IDs (vendor << 16 | product) a request names: the given vendor, else FTDI's,
// with the given product, else each standard one.
std::vector<uint32_t> ftdi_usb_ids(uint16_t vendor_id, uint16_t product_id);

// An entry point of a driver library, converted to the function type of whatever
// it initializes.
struct ftdi_entry_point_t {
    void *address;
    template <typename F>
    operator F() const
    {
        return reinterpret_cast<F>(address);
    }
};
// A missing entry point ends the run.
inline ftdi_entry_point_t fetch_entry_point(dll_t &library, const char *name)
{
    return {library.symbol(name)};
}
