// Writing an image file: open, write, check and close, with the one failure
// report the writers share.
#pragma once

#include <cstdio>

// Opens path with mode ("wt"/"wb"), calls write, and closes the file. A write
// or close failure prints "%s - write error\n" (path), deletes the file and
// returns false; a failure to open throws as open_file does. "-" is standard
// output, which stays open.
bool write_output_file(const char *path, const char *mode, bool (*write)(FILE *file, void *user), void *user);
