// Whole-memory passes: read, program, verify, blank check.
#pragma once

#include <cstdint>

#include "image/image.h"

void read_memory(int memory, PortionList &image);
void program_memory(int memory, PortionList &image);
bool verify_memory(int memory, PortionList &image);
uint8_t blank_check(uint8_t which);   // result bits: 1 code not blank, 2 data not blank

// Blank test of first..last of the current memory (progress dots as it reads).
bool is_blank(int32_t first, int32_t last);

// Returns the pass state to that of a fresh process.
void passes_reset();
