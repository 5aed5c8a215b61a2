// Parallel-port cable adapters.
#pragma once

#include <memory>

#include "adapters/spi.h"

std::unique_ptr<spi_t> create_lpt_adapter(const char *adapter_spec, const char *port_spec);
