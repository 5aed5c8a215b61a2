// The run's settings, parsed once from the command line.
#pragma once

#include <cstdint>

struct run_options_t {
    const char *chip_name = nullptr;
    const char *code_file = nullptr;
    const char *data_file = nullptr;
    bool single_file = true;
    const char *adapter_spec = nullptr;
    const char *port_spec = nullptr;
    const char *fuse_list = nullptr;
    bool erase = false;
    bool erase_keep_eeprom = false;
    uint8_t blank_check_mask = 0;   // 1 code, 2 data
    bool read = false;
    uint8_t write = 0;              // 1 write, 2 fill unmentioned EEPROM (+), 4 polling (p)
    bool verify = false;
    bool verify_all = false;
    char lock_level = 0;            // '1', '2' or 0
    bool lock_first = false;
    bool erase_counter = false;
    uint16_t erase_counter_value = 0xFFFF;
    bool force = false;
    int32_t osc_khz = 800;
    int32_t sck_divider = 1;
    float delay_factor = 1.0f;
    // inactive RESET time after Chip Erase, ms (adapter switch -ai#)
    float inactive_reset_ms = 2.0f;
};

enum : uint8_t {
    WRITE_ON = 1,
    WRITE_FILL_EEPROM = 2,
    WRITE_POLLING = 4,
};

// A copy the adapter factories read while they are created (clock, force) and
// the LPT cable switches write (-ai); nothing else uses it.
