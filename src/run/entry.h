// The program's entry.
#pragma once

// Runs the whole program on an argument vector; returns the exit status.
int morvin_main(int argc, char **argv);

// Back to the state of a fresh process (settings, images, device, link,
// fuse and insertion state, adapter). Used before each in-process run.
void reset_run_state();

// Usage text and supported-device list.
void print_usage();

// The hint that ends the usage errors: "For short help type\n\tmorvin -h".
extern const char short_help_hint[];

// "Invalid value '%s' for switch %c\n\n%s\n" with the hint, status 70.
[[noreturn]] void fail_invalid_value(const char *value, char letter);
