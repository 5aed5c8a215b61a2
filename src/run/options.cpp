#include "run/options.h"

run_options_t run_options;
