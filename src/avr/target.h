// The state of the one connected target: the adapter it hangs on, which chip it
// is, the link, the memory-command and fuse state. The link, memory-command and
// fuse functions all take it by reference.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "avr/devices.h"

class spi_t;

// What the link and the memory commands take from the command line.
struct target_settings_t {
    const char *chip_name = nullptr;   // as named by the user, or null
    float delay_factor = 1.0f;         // write and erase times are stretched by it
    float inactive_reset_ms = 2.0f;    // RESET released after Chip Erase
    bool keep_eeprom = false;          // EEPROM restored after erase: 0xFF bytes are written too
};

enum poll_method_t : uint8_t { POLL_TIMED = 0, POLL_DATA = 1, POLL_READY = 2 };

// The range a pass announced it reads in order (block-mode adapters only).
struct read_window_t {
    uint8_t memory = CODE_MEMORY;
    int32_t begin = 0;
    int32_t end = 0;
};

// A block read whose commands are already on their way (block-mode adapters only).
struct queued_read_t {
    bool active = false;
    uint8_t memory = CODE_MEMORY;
    int32_t address = 0;
    int32_t count = 0;
    size_t first = 0;  // 4 when an extended-address command comes first
    std::vector<uint8_t> commands;
};

struct memory_state_t {
    uint8_t current_memory = 0;
    bool code_paged = false;
    int32_t page_mask = 0;
    int32_t last_address = -1;
    uint8_t poll_method = POLL_TIMED;
    uint8_t poll_exclude_1 = 0;
    uint8_t poll_exclude_2 = 0;
    int32_t poll_address = -1;
    uint8_t poll_value = 0;
    bool chip_erased = false;
    float erase_delay = 50.0f;
    float code_write_delay = 0.0f;
    float data_write_delay = 0.0f;

    // Page loads not yet sent: one page of the largest page size plus one
    // extended-address command.
    static const uint32_t command_capacity = 256 * 4 + 4;
    uint8_t commands[command_capacity] = {};
    uint32_t command_count = 0;
    // Which bytes of the chip's page buffer were loaded since the last page
    // write, so that padding never overwrites a byte that was given.
    std::vector<bool> page_loaded;

    read_window_t read_window;
    queued_read_t queued_read;
    // How long the last page write took, in ms, as the ready polls saw it (0: no page yet).
    // Pages of one chip take nearly the same time, so the next batch of polls is sized to it.
    float learned_page_ms = 0.0f;
};

struct fuse_state_t {
    uint8_t read_value;
    uint8_t valid_mask;
    uint8_t request_value;
    uint8_t request_mask;
};

struct avr_target_t {
    explicit avr_target_t(const target_settings_t &settings = target_settings_t(), spi_t *adapter = nullptr)
        : settings(settings), adapter(adapter)
    {
    }

    target_settings_t settings;
    spi_t *adapter;             // not owned; null until the run has one

    // "No programming adapter\n" (70) when there is none.
    spi_t &spi() const;

    // The chip: set by detection or forced; -1 unknown.
    int32_t device_index() const;      // falls back to the named chip
    int32_t detected_index() const { return detected; }
    void set_device(int32_t index);
    const avr_device_t &device() const;   // a stand-in with empty memories when unknown
    int32_t code_size() const { return device().memory[CODE_MEMORY].size; }
    int32_t data_size() const { return device().memory[DATA_MEMORY].size; }

    // Link: open, and the signature and lock state read at the last connection
    // (lock state -1 unknown, 0, 1, 2).
    bool link_active = false;
    uint32_t connected_signature = 0;
    int32_t lock_state = -1;

    memory_state_t memory;

    fuse_state_t fuses[4] = {};
    uint8_t osccal[4] = {};

private:
    int32_t detected = -1;
};
