// Writing an image file: open, write, check and close, with the one failure
// report the writers share.
#pragma once

#include <cstdio>

// Writes a temporary file beside path with mode ("wt"/"wb") through write, and
// renames it over path when it is complete and closed, so a failure leaves what
// path held untouched. A write, close or rename failure prints
// "%s - write error\n" (path), removes the temporary file and returns false; a
// failure to create it prints "Can't open file '%s'\n" and throws rtl_error(70)
// as open_file does. "-" is standard output, which stays open.
bool write_output_file(const char *path, const char *mode, bool (*write)(FILE *file, void *user), void *user);
