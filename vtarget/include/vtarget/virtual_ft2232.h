// One channel of an FTDI USB chip (FT2232C/D by default; also the FT232AM/BM, FT232R,
// FT2232H, FT4232H, FT232H and FT-X) whose MPSSE engine, where the channel has one, clocks
// a chip on its low-byte pins.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vtarget/avr_chip.h"

namespace vt {

// D2XX device type codes (FT_DEVICE_* of FTDI's ftd2xx.h).
enum : uint32_t {
    ftdi_type_bm = 0,
    ftdi_type_am = 1,
    ftdi_type_100ax = 2,
    ftdi_type_unknown = 3,
    ftdi_type_2232c = 4,
    ftdi_type_232r = 5,
    ftdi_type_2232h = 6,
    ftdi_type_4232h = 7,
    ftdi_type_232h = 8,
    ftdi_type_x_series = 9,
};

struct ft2232_config {
    uint32_t device_type = ftdi_type_2232c;   // D2XX type code
    std::string description = "Dual RS232 A"; // as D2XX lists the channel
    std::string serial_number = "VT000001";   // as D2XX lists the channel
    uint16_t vendor_id = 0x0403;
    uint16_t product_id = 0x6010;
    // The USB device the channel belongs to, as libusb/libftdi1 see it: its index in the
    // device list, its product and serial strings, and which interface the channel is.
    size_t usb_device = 0;
    std::string usb_product = "Dual RS232 A";
    std::string usb_serial = "VT000001";
    int channel = 0;                          // interface 0..3 = A..D
    int channels = 1;                         // interfaces of the USB device
    uint32_t usb_latency_us = 1000;           // round trip per read
    bool opened_elsewhere = false;            // held by another process: listed, never opened
    bool kernel_driver = false;               // bound to Linux's ftdi_sio serial driver
    bool access_denied = false;               // the user may not open the USB device node
    // MPSSE settings an earlier program left (the H-series keep them until power-down).
    bool divide_by_5 = true;                  // 12 MHz master clock instead of 60 MHz
    bool three_phase = false;                 // three-phase data clocking
    bool adaptive_clocking = false;           // each SCK edge waits for RTCK on adbus7
    int reset_pin = 3;                        // chip RESET: 0..7 adbus0..7, 8..15 acbus0..7
    int enable_pin = -1;                      // active-low buffer enable of SCK/MOSI/RESET, -1 none
    uint32_t pin_command_ns = 1000;           // time one set-pins (or divisor, flush) command takes
    uint32_t short_read_at = 0;               // fault: the n-th read (from 1) loses its last byte
    uint64_t short_read_after = 0;            // fault: the first read after the chip's n-th command does
    uint32_t write_error_at = 0;              // fault: the n-th write fails
    std::string trace_path;                   // appends one line per MPSSE command when set
};

// What the chip of a D2XX type code is.
bool ftdi_high_speed(uint32_t device_type);               // FT2232H, FT4232H, FT232H
bool ftdi_has_mpsse(uint32_t device_type, int channel);   // FT2232C/D, FT2232H, FT232H, FT4232H A/B
uint16_t ftdi_default_product_id(uint32_t device_type);
// The chip's buffer for bytes from the host, per channel: a USB write returns once what the
// engine has not yet taken fits into it.
uint32_t ftdi_rx_buffer_bytes(uint32_t device_type);

class virtual_ft2232 {
public:
    virtual ~virtual_ft2232() {}
    virtual void set_bit_mode(uint8_t mask, uint8_t mode) = 0;
    virtual void purge(uint8_t mask) = 0;     // bit 0 receive buffer, bit 1 transmit buffer
    // Bytes written to the chip (MPSSE commands once in MPSSE mode). False: the USB write
    // failed (fault injection) and nothing reached the chip.
    virtual bool write(const uint8_t *bytes, uint32_t count) = 0;
    // Up to count bytes of the chip's answer, waiting at most timeout_ms (0 = until every
    // answer still on its way has arrived); returns the count read.
    virtual uint32_t read(uint8_t *buffer, uint32_t count, uint32_t timeout_ms) = 0;
    virtual uint64_t usb_round_trips() const = 0;

    virtual void set_latency_timer(uint8_t ms) = 0;
    virtual uint8_t latency_timer() const = 0;
    virtual uint32_t bytes_ready() const = 0;       // answer bytes readable now
    virtual uint16_t clock_divisor() const = 0;
    virtual uint32_t master_clock_hz() const = 0;    // 12 MHz, or 60 MHz with divide-by-5 off
    virtual bool three_phase() const = 0;
    virtual bool adaptive_clocking() const = 0;
    virtual bool stalled() const = 0;               // waiting for an RTCK edge that never comes
    virtual uint16_t pin_levels() const = 0;         // bits 0..7 adbus, 8..15 acbus
    virtual uint16_t pin_directions() const = 0;     // 1 = output
    virtual chip_inputs target_pins() const = 0;
    virtual uint64_t timeline_ns() const = 0;        // where the engine's virtual time stands
    virtual const ft2232_config &config() const = 0;
};

std::unique_ptr<virtual_ft2232> make_virtual_ft2232(const ft2232_config &config, std::shared_ptr<avr_chip> chip);

// Entries separated by ';', each one of
//   type/description/serial[/state]  one channel that is a USB device of its own, with a
//                                    numeric D2XX type code and the strings D2XX lists
//   CHIP[/serial][/option...]        a whole chip with its factory strings: FT232AM, FT232BM,
//                                    FT2232C, FT2232D, FT232R, FT2232H, FT4232H, FT232H,
//                                    FT230X, FT231X; one channel per interface
// States and options: opened[=CHANNELS] (held by another program), sio[=CHANNELS] (bound to
// ftdi_sio), denied (no access to the device node), id=VID:PID (hexadecimal), and for a
// chip description=PRODUCT (the USB product string). CHANNELS are letters, e.g. opened=CD.
// Throws std::invalid_argument.
std::vector<ft2232_config> parse_ftdi_devices(const std::string &text, const ft2232_config &base);

// Devices from the environment:
//   VT_FTDI_DEVICES    list as above (default: one device with the ft2232_config defaults)
//   VT_USB_LATENCY_US  round-trip latency per read (default 1000, high-speed chips 125)
//   VT_FTDI_LEFT       MPSSE settings an earlier program left on the H-series channels:
//                      adaptive, three_phase, no_divide_by_5 (comma-separated)
//   VT_FTDI_RESET      pin of the chip's RESET: adbus0..7 or acbus0..7 (default adbus3)
//   VT_FTDI_ENABLE     pin of an active-low buffer enable (default none)
//   VT_FAULT           items usb_short_read[=n], usb_short_read_after=n and usb_write_error[=n]
//                      (other items ignored)
//   VT_TRACE           file that receives the MPSSE trace (appended)
std::vector<ft2232_config> ft2232_devices_from_env();

}  // namespace vt
