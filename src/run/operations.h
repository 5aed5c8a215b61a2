// The operation sequence of a run.
#pragma once

struct run_context_t;

void run_operations(run_context_t &context);
void check_device(run_context_t &context, bool after_connect);
void check_file_signature(const run_context_t &context);
void check_lock(const run_context_t &context);
void check_fuses(run_context_t &context);
