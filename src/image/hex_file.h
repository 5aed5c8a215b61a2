// Intel HEX reader and writer.
#pragma once

#include "image/image.h"

// Answers the checksum question with a key: 'y' or 'Y' ignores every checksum
// error of the file; anything else, -1 or no reader at all counts as "no".
typedef int (*key_reader_t)();

void read_hex_file(const char *path, PortionList &image, key_reader_t ask_key);
// Never throws for write errors: reports "%s - write error\n", deletes the file
// and returns false.
bool write_hex_file(PortionList &image, const char *path);
