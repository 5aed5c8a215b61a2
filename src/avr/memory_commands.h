// Memory access commands: reads, byte and page writes, polling, Chip Erase.
#pragma once

#include <cstdint>

enum poll_method_t : uint8_t { POLL_TIMED = 0, POLL_DATA = 1, POLL_READY = 2 };

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
};

extern memory_state_t memory_state;

void setup_timing(float factor);
uint8_t read_memory_byte(int32_t address);
void read_code_block(uint8_t *buffer, int32_t address, int32_t count);
void read_data_block(uint8_t *buffer, int32_t address, int32_t count);
void load_extended_address(uint8_t value);
void write_memory_byte(int32_t address, uint8_t value);
void commit_page(int32_t address);
void reset_command_buffer();
// The caller reads [address, address + count) of the current memory next, block after
// block in order: a block-mode adapter may then send the next block's commands before
// the previous replies are back. reset_command_buffer forgets it.
void expect_reads(int32_t address, int32_t count);
bool wait_ready(int32_t address, uint8_t value, float delay);
void chip_erase_command();
void erase_chip();

void memory_commands_reset();
