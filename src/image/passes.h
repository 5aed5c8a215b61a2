// Whole-memory passes: read, program, verify, blank check.
#pragma once

#include <cstdint>

#include "avr/target.h"
#include "image/image.h"

// What the passes take from the command line and the run.
struct pass_switches_t {
    bool polling = false;       // wait for write ends by polling where the memory allows it
    bool fill_eeprom = false;   // EEPROM bytes the image leaves out are written 0xFF and verified blank
    bool verify_all = false;    // verify: bytes the image leaves out must be blank
    int32_t code_size = -1;     // flash bytes the passes may touch; -1: the whole flash
};

void read_memory(avr_target_t &target, const pass_switches_t &switches, int memory, PortionList &image);
void program_memory(avr_target_t &target, const pass_switches_t &switches, int memory, PortionList &image);
bool verify_memory(avr_target_t &target, const pass_switches_t &switches, int memory, PortionList &image);
// Result bits: 1 code not blank, 2 data not blank.
uint8_t blank_check(avr_target_t &target, const pass_switches_t &switches, uint8_t which);
