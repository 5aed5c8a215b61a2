// FT2232 MPSSE SPI adapter.
#pragma once

#include "adapters/adapter_settings.h"

// The adapter on an FT2232 channel, from the -aft2232 pin map and the -p options.
built_adapter_t create_ft2232_adapter(const adapter_settings_t &settings);
