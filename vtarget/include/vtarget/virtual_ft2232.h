// An FT2232C channel whose MPSSE engine clocks a chip on its low-byte pins.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vtarget/avr_chip.h"

namespace vt {

struct ft2232_config {
    uint32_t device_type = 4;                 // D2XX FT_DEVICE_2232C
    std::string description = "Dual RS232 A";
    std::string serial_number = "VT000001";
    uint32_t usb_latency_us = 1000;           // round trip per read
};

class virtual_ft2232 {
public:
    virtual ~virtual_ft2232() {}
    virtual void set_bit_mode(uint8_t mask, uint8_t mode) = 0;
    virtual void purge(uint8_t mask) = 0;
    // Bytes written to the chip (MPSSE commands once in MPSSE mode).
    virtual void write(const uint8_t *bytes, uint32_t count) = 0;
    // Up to count bytes of the chip's answer, waiting at most timeout_ms; returns the count read.
    virtual uint32_t read(uint8_t *buffer, uint32_t count, uint32_t timeout_ms) = 0;
    virtual uint64_t usb_round_trips() const = 0;
};

std::unique_ptr<virtual_ft2232> make_virtual_ft2232(const ft2232_config &config, std::shared_ptr<avr_chip> chip);

}  // namespace vt
