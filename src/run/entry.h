// The program's entry.
#pragma once

// Runs the whole program on an argument vector; returns the exit status.
int morvin_main(int argc, char **argv);

// Back to the state of a fresh process (settings, images, device, link,
// fuse and insertion state, adapter). Used before each in-process run.
void reset_run_state();

// Usage text and supported-device list.
void print_usage();

// The run's error handler; call only from inside a catch block. Prints what
// the caught exception adds ("Can't allocate memory\n" or "%s\n" with its
// what()) and returns the exit status: 60, the app_error's own, or 255.
int handle_run_error();
