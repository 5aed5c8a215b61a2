// The two long options, --help and --version.
#pragma once

// When an argument is exactly "--help" or "--version" (the first one counts),
// prints the usage text or the version line, alone, and returns true: the run
// then ends with status 0. Otherwise prints nothing and returns false.
bool answer_long_option(int argc, char **argv);
