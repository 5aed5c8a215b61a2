// The usage errors of a switch's value, raised by the command line and by the
// adapters that read their own switch texts.
#pragma once

// The hint that ends the usage errors: "For short help type\n\tmorvin -h".
extern const char short_help_hint[];

// "Invalid value '%s' for switch %c\n\n%s\n" with the hint, status 70.
[[noreturn]] void fail_invalid_value(const char *value, char letter);
