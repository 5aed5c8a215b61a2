// Fuse writes after which the chip no longer enters serial programming.
#pragma once

#include <cstdint>
#include <vector>

#include "avr/devices.h"

struct lockout_write_t {
    const fuse_field_t *field;
    uint32_t value;   // the field's value as it will be written
};

// The requested fields of the chip's layout that are about to change to a value
// that locks the chip out (device table: fuse_info_t::lockout), in layout order.
// Per slot: the requested bits and their mask, and the byte read from the chip;
// a field that keeps the value read is no change and does not count.
std::vector<lockout_write_t> find_lockout_writes(const avr_device_t &device, const uint8_t request_value[4],
                                                 const uint8_t request_mask[4], const uint8_t read_value[4]);

// "Warning: <field>=<value> <what the user loses>\n" at MSG_WARNING.
void print_lockout_warning(const lockout_write_t &write);
