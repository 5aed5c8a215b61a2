// OSCCAL, SERNO and BYTES insertions; erase counter.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

struct run_context_t;

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
    FILE *stream = nullptr;   // the number file, open from the insertion to the end of the run
};

struct bytes_request_t {
    int target = TARGET_NONE;
    std::vector<uint8_t> values;
    int32_t address = -1;
};

// The insertions asked for on the command line; closes the number file.
struct insertion_requests_t {
    insertion_requests_t() = default;
    insertion_requests_t(const insertion_requests_t &) = delete;
    insertion_requests_t &operator=(const insertion_requests_t &) = delete;
    ~insertion_requests_t();

    osccal_request_t osccal;
    serno_request_t serno;
    bytes_request_t bytes;
};

// The erase counter in the last two flash bytes (-n).
struct erase_counter_t {
    bool enabled = false;     // off again when the image needs those bytes
    uint16_t value = 0xFFFF;  // to be written; 0xFFFF: none
};

void parse_hex_extension(insertion_requests_t &requests, const char *text);
void apply_insertions(run_context_t &context);
void read_erase_counter(run_context_t &context);
void write_erase_counter(run_context_t &context);
void store_next_serial(run_context_t &context);
