// Intel HEX reader and writer.
#pragma once

#include "image/image.h"

void read_hex_file(const char *path, PortionList &image);
// Never throws for write errors: reports "%s - write error\n", deletes the file
// and returns false.
bool write_hex_file(PortionList &image, const char *path);
