// Intel HEX reader and writer.
#pragma once

#include <cstdio>

#include "image/image.h"

void read_hex_file(const char *path, PortionList &image);
// Never throws for write errors: reports "%s - write error\n", deletes the file
// and returns false.
// The file is written beside path and renamed into place when complete, so a
// failure leaves an existing file as it was.
bool write_hex_file(PortionList &image, const char *path);
// The records of image and the end record on an open stream; false on a write error.
bool write_hex_stream(PortionList &image, FILE *stream);

// Reads the answer key of the checksum question; os::read_key_no_echo unless
// replaced (tests). -1 counts as "no".
extern int (*hex_key_reader)();

// Restores the default key reader.
void hex_file_reset();
