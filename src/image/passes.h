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
// What a verify pass found beyond its verdict.
struct verify_findings_t {
    bool any = false;              // a byte differed; the first one:
    uint32_t first_address = 0;
    uint8_t first_expected = 0, first_read = 0;
    // a byte wants a 1 where the chip holds a 0: writing can't make it, only
    // Chip Erase sets flash bits
    bool wanted_set_bits = false;
};

// Mismatches are listed at the debug level; a failed pass names the first one.
bool verify_memory(avr_target_t &target, const pass_switches_t &switches, int memory, PortionList &image,
                   verify_findings_t *findings = nullptr);
// Result bits: 1 code not blank, 2 data not blank.
uint8_t blank_check(avr_target_t &target, const pass_switches_t &switches, uint8_t which);
