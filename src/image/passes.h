// Whole-memory passes: read, program, verify, blank check.
#pragma once

#include <cstdint>

#include "image/image.h"

void read_memory(int memory, PortionList &image);
void program_memory(int memory, PortionList &image);
// Mismatches are listed at the debug level; a failed pass names the first one.
bool verify_memory(int memory, PortionList &image);
// True when the last verify pass found a byte that wants a 1 where the chip
// holds a 0: writing can't make it, only Chip Erase sets flash bits.
bool verify_wanted_set_bits();
uint8_t blank_check(uint8_t which);   // result bits: 1 code not blank, 2 data not blank

// Blank test of first..last of the current memory (progress dots as it reads).
bool is_blank(int32_t first, int32_t last);

// Returns the pass state to that of a fresh process.
void passes_reset();
