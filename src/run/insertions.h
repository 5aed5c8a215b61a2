// OSCCAL, SERNO and BYTES insertions; erase counter.
#pragma once

#include <cstdint>
#include <cstdio>

#include "os/os.h"

enum insertion_target_t { TARGET_NONE = 0, TARGET_CODE = 1, TARGET_CODE_LDI = 2, TARGET_DATA = 3 };

struct osccal_request_t {
    int target = TARGET_NONE;
    int32_t index = 0;
    int32_t correction = 0;
    int32_t address = -1;
};

struct serno_request_t {
    int target = TARGET_NONE;
    int32_t width = 0;
    const char *file = nullptr;
    int32_t address = -1;
    uint32_t number = 0;
    os::locked_file *lock = nullptr;  // held from reading the number to writing the next
};

struct bytes_request_t {
    int target = TARGET_NONE;
    int32_t count = 0;
    uint8_t *bytes = nullptr;
    int32_t address = -1;
};

extern osccal_request_t osccal_request;
extern serno_request_t serno_request;
extern bytes_request_t bytes_request;

void parse_hex_extension(const char *text);
void apply_insertions();
void read_erase_counter();
void write_erase_counter();
void store_next_serial();
int32_t usable_code_size();

void insertions_reset();
