// An FT2232C channel whose MPSSE engine clocks a chip on its low-byte pins.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vtarget/avr_chip.h"

namespace vt {

struct ft2232_config {
    uint32_t device_type = 4;                 // D2XX FT_DEVICE_2232C
    std::string description = "Dual RS232 A";
    std::string serial_number = "VT000001";
    uint32_t usb_latency_us = 1000;           // round trip per read
    bool opened_elsewhere = false;            // held by another process: listed, never opened
    int reset_pin = 3;                        // chip RESET: 0..7 adbus0..7, 8..15 acbus0..7
    int enable_pin = -1;                      // active-low buffer enable of SCK/MOSI/RESET, -1 none
    uint32_t pin_command_ns = 1000;           // time one set-pins (or divisor, flush) command takes
    uint32_t short_read_at = 0;               // fault: the n-th read (from 1) loses its last byte
    uint32_t write_error_at = 0;              // fault: the n-th write fails
    std::string trace_path;                   // appends one line per MPSSE command when set
};

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
    virtual uint16_t pin_levels() const = 0;         // bits 0..7 adbus, 8..15 acbus
    virtual uint16_t pin_directions() const = 0;     // 1 = output
    virtual chip_inputs target_pins() const = 0;
    virtual uint64_t timeline_ns() const = 0;        // where the engine's virtual time stands
    virtual const ft2232_config &config() const = 0;
};

std::unique_ptr<virtual_ft2232> make_virtual_ft2232(const ft2232_config &config, std::shared_ptr<avr_chip> chip);

// "type/description/serial[/opened]" entries separated by ';'. Throws std::invalid_argument.
std::vector<ft2232_config> parse_ftdi_devices(const std::string &text, const ft2232_config &base);

// Devices from the environment:
//   VT_FTDI_DEVICES    list as above (default: one device with the ft2232_config defaults)
//   VT_USB_LATENCY_US  round-trip latency per read (default 1000)
//   VT_FTDI_RESET      pin of the chip's RESET: adbus0..7 or acbus0..7 (default adbus3)
//   VT_FTDI_ENABLE     pin of an active-low buffer enable (default none)
//   VT_FAULT           items usb_short_read[=n] and usb_write_error[=n] (other items ignored)
//   VT_TRACE           file that receives the MPSSE trace (appended)
std::vector<ft2232_config> ft2232_devices_from_env();

}  // namespace vt
