// Intel HEX reader and writer.
#pragma once

#include "image/image.h"

void read_hex_file(const char *path, PortionList &image);
// Never throws for write errors: reports "%s - write error\n", deletes the file
// and returns false.
bool write_hex_file(PortionList &image, const char *path);

// Reads the answer key of the checksum question; os::read_key_no_echo unless
// replaced (tests). -1 counts as "no".
extern int (*hex_key_reader)();

// Restores the default key reader.
void hex_file_reset();
