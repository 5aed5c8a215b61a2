// Fuses, lock bits and calibration bytes.
#pragma once

#include <cstdint>

#include "avr/target.h"

// Fills the target's fuse requests from "name=value,..." for its device.
void parse_fuse_list(avr_target_t &target, const char *text);
void read_fuses(avr_target_t &target);
void print_fuses(const avr_target_t &target, const char *title);
bool lock_byte_writable(const avr_target_t &target);
void program_fuses(avr_target_t &target);
bool verify_fuses(avr_target_t &target);
void read_osccal(avr_target_t &target);
void read_lock_state(avr_target_t &target);
void print_lock_state(const avr_target_t &target);
char lock_chip(avr_target_t &target, char level);
void print_fuse_list(const char *name);
