// The program's entry.
#pragma once

struct run_context_t;

// Runs the whole program on an argument vector in a fresh run context;
// returns the exit status.
int morvin_main(int argc, char **argv);
// The same in the given fresh context, which keeps what the run left.
int morvin_main(run_context_t &context, int argc, char **argv);

// Back to the process-wide state of a fresh process: the message level (-%)
// and the system error. Used before each in-process run (the run itself starts
// from a clear Ctrl-C flag).
void reset_process_state();

// Usage text and supported-device list.
void print_usage();

// The run's error handler; call only from inside a catch block. Prints what
// the caught exception adds ("Can't allocate memory\n" or "%s\n" with its
// what()) and returns the exit status: 60, the app_error's own, or 255.
int handle_run_error();
