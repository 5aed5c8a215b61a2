// FT2232 MPSSE SPI adapter.
#pragma once

#include <memory>

#include "adapters/spi.h"

std::unique_ptr<spi_t> create_ft2232_adapter(const char *adapter_spec, const char *port_spec);
