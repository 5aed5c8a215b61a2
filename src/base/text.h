// Words of the command line, chip and fuse names, cable files: compared without
// regard to case (ASCII), and decimal numbers read as scanf's "%u" reads them.
#pragma once

#include <cstddef>

// a and b are the same text but for case.
bool same_text(const char *a, const char *b);

// The first length characters of a are the whole of b but for case.
bool same_text(const char *a, size_t length, const char *b);

// text begins with prefix but for case.
bool same_prefix(const char *text, const char *prefix);

// A decimal number as scanf's "%u" reads it: blanks, a sign and digits; false when no
// digit follows. A negative or too large number reads as the greatest value. *end,
// when given, is where the digits stopped.
bool read_decimal(const char *text, unsigned long long &value, const char **end = nullptr);

// The whole of text is such a number, beginning with its first digit.
bool read_whole_decimal(const char *text, unsigned long long &value);
