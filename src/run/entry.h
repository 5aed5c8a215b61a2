// The program's entry.
#pragma once

// Runs the whole program on an argument vector; returns the exit status.
int morvin_main(int argc, char **argv);

// Back to the state of a fresh process (settings, images, device, link,
// fuse and insertion state, adapter). Used before each in-process run.
void reset_run_state();

// Usage text and supported-device list.
void print_usage();
