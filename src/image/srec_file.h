// Motorola S-record reader and writer.
#pragma once

#include <cstdio>

#include "image/image.h"

struct input_file_t;

// S0 header, S1/S2/S3 data, S5/S6 record counts, S7/S8/S9 end (or the end of
// the file); every checksum is checked.
void read_srec_input(input_file_t &file, PortionList &image);

// Writes S1, S2 or S3 records (address_bytes 2, 3 or 4; wider when an address
// needs it, 0 for the narrowest that holds every address), a count and the end.
bool write_srec_stream(PortionList &image, FILE *file, int address_bytes);
