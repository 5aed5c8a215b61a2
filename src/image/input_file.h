// One input file as the readers see it: a named file, or standard input ("-")
// read whole at once; and the line that tells where in the file an error lies.
#pragma once

#include <cstddef>
#include <string>

// Answers the checksum question with a key: 'y' or 'Y' ignores every checksum
// error of the file; anything else, -1 or no reader at all counts as "no".
typedef int (*key_reader_t)();

struct input_file_t {
    explicit input_file_t(const char *path);

    bool is_standard_input() const { return standard_input; }
    // The whole file as bytes (binary mode), read on first use.
    const std::string &bytes();
    // At most the first n bytes, for recognising the format.
    std::string head(size_t n);

    const char *path;   // as named on the command line
    const char *name;   // for messages: the path, or "<stdin>"
    key_reader_t ask_key = nullptr;

private:
    bool standard_input;
    bool loaded = false;
    std::string content;
};

// "at line %lu of '%s'\n" and "at byte 0x%lX of '%s'\n" at MSG_ERROR: the line
// that follows a reader's error message.
void report_line(const input_file_t &file, unsigned long line);
void report_offset(const input_file_t &file, unsigned long offset);
