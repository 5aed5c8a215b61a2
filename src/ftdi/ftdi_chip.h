// Access to one FTDI USB chip through a driver library loaded at run time:
// FTDI's D2XX library (ftd2xx.dll, libftd2xx.so) or, on Linux, libftdi1.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// One opened FTDI device (one channel of a multi-channel chip). Every operation
// either succeeds or ends the run with app_error(70) after its message.
class ftdi_chip_t {
public:
    virtual ~ftdi_chip_t() {}
    virtual void set_bit_mode(uint8_t mask, uint8_t mode) = 0;
    // Fills the buffer with exactly count bytes.
    virtual void read(uint8_t *buffer, uint32_t count) = 0;
    // All count bytes are accepted by the chip.
    virtual void write(const uint8_t *bytes, uint32_t count) = 0;
    virtual void purge(uint8_t mask) = 0;
    virtual void set_latency_timer(uint8_t ms) = 0;
    virtual void set_baud_rate(uint32_t rate) = 0;
    virtual void set_divisor(uint16_t divisor) = 0;
    virtual void set_timeouts(uint32_t read_ms, uint32_t write_ms) = 0;
};

// D2XX numbers used by the adapter.
enum : uint8_t {
    FTDI_BITMODE_RESET = 0x00,
    FTDI_BITMODE_MPSSE = 0x02,
    FTDI_PURGE_RX = 1,
    FTDI_PURGE_TX = 2,
};

// D2XX device type codes (the ones the program treats specially; ftdi_device_type_name
// knows every code D2XX defines).
enum : uint32_t {
    FTDI_DEVICE_BM = 0,
    FTDI_DEVICE_AM = 1,
    FTDI_DEVICE_UNKNOWN = 3,
    FTDI_DEVICE_2232C = 4,
    FTDI_DEVICE_232R = 5,
    FTDI_DEVICE_2232H = 6,
    FTDI_DEVICE_4232H = 7,
    FTDI_DEVICE_232H = 8,
    FTDI_DEVICE_X_SERIES = 9,
};

// FTDI's USB vendor ID and the product IDs of its standard MPSSE chips
// (FT232R/FT232BM 0x6001 is listed too: the default search has always included it).
enum : uint16_t {
    FTDI_VENDOR_ID = 0x0403,
    FTDI_PID_232 = 0x6001,
    FTDI_PID_2232 = 0x6010,
    FTDI_PID_4232 = 0x6011,
    FTDI_PID_232H = 0x6014,
};

// D2XX status codes used outside the D2XX wrapper.
enum : uint32_t {
    FTDI_OK = 0,
    FTDI_INVALID_HANDLE = 1,
    FTDI_DEVICE_NOT_FOUND = 2,
    FTDI_DEVICE_NOT_OPENED = 3,
    FTDI_IO_ERROR = 4,
    FTDI_INSUFFICIENT_RESOURCES = 5,
    FTDI_INVALID_PARAMETER = 6,
    FTDI_INVALID_BAUD_RATE = 7,
    FTDI_NOT_SUPPORTED = 17,
};

struct ftdi_device_attributes_t {
    uint32_t device_type = FTDI_DEVICE_2232C;
    char serial_number[17] = {};  // empty: any
    char description[65] = {};    // empty: any
    // USB IDs; 0: FTDI's vendor ID, the standard product IDs.
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    // Without serial number and description: the first free channel with an MPSSE engine.
    bool first_mpsse = false;
};

// "FT_OK" ... ; "TOO HIGH ERROR CODE" above 19.
const char *ftdi_status_name(uint32_t status);
// "FT_DEVICE_BM" ... ; "TOO HIGH TYPE CODE" above the last code D2XX defines.
const char *ftdi_device_type_name(uint32_t type);

// The channels of a chip type (1 for a type not known).
int ftdi_channel_count(uint32_t type);
// The channel a D2XX description names with its last letter ("Dual RS232-HS B": 1),
// 0 for a chip with one channel.
int ftdi_channel_index(uint32_t type, const char *description);
// Null when the channel of this chip type has an MPSSE engine; otherwise why it can't serve.
const char *ftdi_mpsse_refusal(uint32_t type, int channel);
// The high-speed chips (FT2232H, FT4232H, FT232H): 60 MHz MPSSE clock with a divide-by-5,
// adaptive and three-phase clocking.
bool ftdi_high_speed(uint32_t type);

// A non-zero status: "Can't %s (%s)\n"; a short transfer: "Can't %s\n"; both app_error(70).
void check_ftdi_status(const char *operation, uint32_t status, bool short_transfer = false);

// "%s%s  %s (description \"%s\", serial number \"%s\")\n" at the given level.
void print_ftdi_attributes(uint8_t level, const char *label, const ftdi_device_attributes_t &attributes);

// Which driver library the listing and opening use. On Windows only D2XX exists.
// Automatic on Linux: MORVIN_FTDI_LIBRARY=d2xx or libftdi forces one; otherwise
// D2XX when libftd2xx.so can be loaded, else libftdi1.so.2.
enum ftdi_library_kind_t { FTDI_LIBRARY_AUTO, FTDI_LIBRARY_D2XX, FTDI_LIBRARY_LIBFTDI };

class ftdi_driver_t;

// The driver library to load; the default is the automatic choice under its usual name.
struct ftdi_library_t {
    ftdi_library_kind_t kind = FTDI_LIBRARY_AUTO;
    std::string path;  // empty: the usual file name
    // When set, replaces the loading altogether (an in-memory library).
    std::function<std::unique_ptr<ftdi_driver_t>()> loader;
};

// Prints the attached FTDI devices of the requested USB IDs (by default all).
void list_ftdi_devices(const ftdi_library_t &library,
                       const ftdi_device_attributes_t &requested = ftdi_device_attributes_t());

// Opens the device by serial number (or, without one, by description; with first_mpsse
// the first free MPSSE channel of the listing) and checks that it has an MPSSE engine and
// the requested serial number, description and USB IDs. found, when given, receives what
// was opened.
std::unique_ptr<ftdi_chip_t> open_ftdi_chip(const ftdi_library_t &library, const ftdi_device_attributes_t &requested,
                                            ftdi_device_attributes_t *found = nullptr);
