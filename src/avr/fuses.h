// Fuses, lock bits and calibration bytes.
#pragma once

#include <cstdint>

struct fuse_state_t {
    uint8_t read_value;
    uint8_t valid_mask;
    uint8_t request_value;
    uint8_t request_mask;
};

extern fuse_state_t fuse_state[4];
extern uint8_t osccal_bytes[4];

void parse_fuse_list(const char *text);
void read_fuses();
void print_fuses(const char *title);
bool lock_byte_writable();
void program_fuses();
bool verify_fuses();
void read_osccal();
void read_lock_state();
void print_lock_state();
char lock_chip(char level);
void print_fuse_list(const char *name);

void fuses_reset();
