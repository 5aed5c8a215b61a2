#pragma once

#include <cstddef>

// Finds a configuration file: the name itself, then MORVIN_CONFIG_PATH, then
// the program's directory, then the installation's data folder (share/morvin
// beside the program's bin folder). True and the path in buffer when found.
bool find_config_file(char *buffer, size_t size, const char *name);
