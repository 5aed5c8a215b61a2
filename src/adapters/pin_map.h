// Pin maps of parallel-port cables and FT2232 adapters.
#pragma once

#include <cstdint>

enum signal_index_t {
    SIG_MOSI = 0, SIG_MISO, SIG_SCK, SIG_RESET, SIG_XTAL, SIG_POWER, SIG_SET,
    SIG_ENABLE, SIG_LED_WORK, SIG_LED_ERROR, SIG_LED_OK, SIG_BUTTON,
    SIGNAL_COUNT
};

enum pin_direction_t : uint8_t { PIN_INPUT = 1, PIN_OUTPUT = 2, PIN_BIDIRECTIONAL = 3 };

struct signal_pins_t {
    uint32_t high_mask;
    uint32_t low_mask;
    bool defined() const { return high_mask != 0 || low_mask != 0; }
};

struct pin_map_t {
    char name[40];
    signal_pins_t signals[SIGNAL_COUNT];
};

struct signal_def_t {
    const char *name;
    uint8_t direction;
};

struct pin_def_t {
    const char *name;
    uint32_t mask;
    bool inverted;
    uint8_t direction;
};

extern const signal_def_t signal_table[SIGNAL_COUNT];
extern const pin_def_t lpt_pin_table[];
extern const pin_def_t ft2232_pin_table[];

void clear_pin_map(pin_map_t &map);
void parse_pin_map(pin_map_t &map, const char *text, const pin_def_t *table);
// Entries "signal=pin,pin" separated by ':', as after -am:.
void parse_pin_entries(pin_map_t &map, const char *entries, const pin_def_t *table);
void merge_pin_map(pin_map_t &map, const pin_map_t &defaults);
void require_signals(const pin_map_t &map, const int *signals, int count);
void require_pins_within(const pin_map_t &map, const int *signals, int count, uint32_t allowed,
                         const char *description);
