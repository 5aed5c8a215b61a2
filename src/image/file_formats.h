// The file formats: the one table that knows them, how an input file's format
// is recognised, and how the run's files are read and written.
//
// An input file is raw binary when its name has a "bin:" prefix or ends in
// ".bin"; otherwise an ELF file, S-record file or Intel HEX file by what it
// holds; Intel HEX when nothing else fits. A prefix "hex:", "srec:", "elf:"
// or "bin:" forces the format. An output file is S-record for ".srec", ".s19",
// ".s28", ".s37", raw binary for ".bin", else Intel HEX. "-" is standard input
// or output.
#pragma once

#include <cstdint>

#include "image/file_facts.h"
#include "image/image.h"
#include "image/input_file.h"

// True for "-" and a prefixed "-" ("bin:-"): a file on a standard stream.
bool is_standard_stream_name(const char *name);

// The input files of a write or verify run: code_file into code, data_file into
// data. When single_file is set, what lies at or above code_size moves to the
// data image, and an ELF file's EEPROM goes there too. An ELF data file
// gives its EEPROM. Prints what an ELF file says of the chip.
void load_image_files(const char *code_file, const char *data_file, bool single_file, int32_t code_size,
                      PortionList &code, PortionList &data, file_facts_t &facts, key_reader_t ask_key);

// Writes a read image in the format the name asks for. False (reported) on a
// write error; a format that can't be written fails with status 70.
bool write_image_file(PortionList &image, const char *path);

// Fails with status 70 before a read when a name asks for a format that can't
// be written, or both names are standard output (null names are skipped).
void check_output_files(const char *code_file, const char *data_file);

