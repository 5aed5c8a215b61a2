// The EEPROM copy kept across an erase, put where the user finds it when it could
// not be written back: "(eeprom).sav" (or the next free name) in the current folder,
// else in the temporary folder, else as HEX lines on the output.
#pragma once

#include "image/image.h"

// Prints where the copy went; the last line is left open for the caller's line end.
void rescue_eeprom_copy(PortionList &saved);
