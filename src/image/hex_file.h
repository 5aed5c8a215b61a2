// Intel HEX reader and writer.
#pragma once

#include <cstdio>

#include "image/image.h"
#include "image/input_file.h"

struct input_file_t;

void read_hex_file(const char *path, PortionList &image, key_reader_t ask_key);
void read_hex_input(input_file_t &file, PortionList &image);
// Never throws for write errors: reports "%s - write error\n", deletes the file
// and returns false.
bool write_hex_file(PortionList &image, const char *path);
// The records alone; false when the stream refused them (nothing reported).
bool write_hex_stream(PortionList &image, FILE *file);
