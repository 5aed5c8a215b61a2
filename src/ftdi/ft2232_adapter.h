// FT2232 MPSSE SPI adapter.
#pragma once

#include "adapters/adapter_settings.h"
#include "ftdi/ftdi_chip.h"

// The adapter on an FT2232 channel, from the -aft2232 pin map and the -p options,
// through the driver library chosen automatically.
built_adapter_t create_ft2232_adapter(const adapter_settings_t &settings);
// The same through the given driver library.
built_adapter_t create_ft2232_adapter(const adapter_settings_t &settings, const ftdi_library_t &library);
