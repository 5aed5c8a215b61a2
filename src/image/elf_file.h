// ELF files as avr-gcc links them: a small reader of the ELF32 little-endian
// program and section headers, every size and offset checked against the file.
#pragma once

#include "image/file_facts.h"
#include "image/image.h"

struct input_file_t;

// The loadable segments by physical address go to flash, the .eeprom section
// to eeprom; .signature, .fuse and .lock go to facts. Neither image is warned
// about when it stays empty.
void read_elf_input(input_file_t &file, PortionList &flash, PortionList &eeprom, file_facts_t &facts);
