// The operation sequence of a run.
#pragma once

void run_operations();
void check_device(bool after_connect);
void check_file_signature();
void check_lock();
void check_fuses();
