// The built-in parallel-port cables, kept as pin-map text.
#pragma once

#include "adapters/pin_map.h"

enum class lpt_cable_t {
    fbprg,           // the wires-only default cable
    fbprg_tristate,  // its -az addition: data outputs off through the direction bit
    fbprg_power,     // its -ap addition: target supply from free data lines
    byteblaster,     // Altera ByteBlaster and ByteBlasterMV
    byteblaster_ii,
    stk,             // Atmel STK200/STK300, the target on its own clock
    stk_xtal,        // the same with the clock generated on D6
    xilinx,          // Xilinx parallel download cable
};

// The cable's pin-map text: RESET is listed active high.
const char *lpt_cable_pins(lpt_cable_t cable);

// Parses the cable's text into the map (a fresh one, or the default
// cable's for its additions).
void add_lpt_cable(pin_map_t &map, lpt_cable_t cable);
