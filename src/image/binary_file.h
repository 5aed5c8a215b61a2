// Raw binary files: the bytes of a memory from address 0.
#pragma once

#include <cstdio>

#include "image/image.h"

struct input_file_t;

void read_binary_input(input_file_t &file, PortionList &image);
// Every byte from address 0 to the image's end; gaps are written as FF, the
// value of erased memory.
bool write_binary_stream(PortionList &image, FILE *file);
