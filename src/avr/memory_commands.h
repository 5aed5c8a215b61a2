// Memory access commands: reads, byte and page writes, polling, Chip Erase.
#pragma once

#include <cstdint>

#include "avr/target.h"

// Write and erase waits of the target's device, stretched by the delay factor.
void setup_timing(avr_target_t &target);
uint8_t read_memory_byte(avr_target_t &target, int32_t address);
void read_code_block(avr_target_t &target, uint8_t *buffer, int32_t address, int32_t count);
void read_data_block(avr_target_t &target, uint8_t *buffer, int32_t address, int32_t count);
void load_extended_address(avr_target_t &target, uint8_t value);
void write_memory_byte(avr_target_t &target, int32_t address, uint8_t value);
void commit_page(avr_target_t &target, int32_t address);
void reset_command_buffer(avr_target_t &target);
// The caller reads [address, address + count) of the current memory next, block after
// block in order: a block-mode adapter may then send the next block's commands before
// the previous replies are back. reset_command_buffer forgets it.
void expect_reads(avr_target_t &target, int32_t address, int32_t count);
bool wait_ready(avr_target_t &target, int32_t address, uint8_t value, float delay);
void chip_erase_command(avr_target_t &target);
void erase_chip(avr_target_t &target);
