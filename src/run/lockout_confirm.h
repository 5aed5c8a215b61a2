// The last word before a fuse write that locks the chip out of serial programming.
#pragma once

#include "avr/target.h"

// Before programming fuses: warns about every requested field of the target's fuse
// state that would lock the chip out and, unless meant (-f!), asks on a console for a
// yes; without a console, or without the yes, the run ends with status 70 before
// anything is written.
void confirm_lockout_writes(const avr_target_t &target, bool meant);
