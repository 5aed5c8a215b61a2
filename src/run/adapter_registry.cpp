#include "run/adapter_registry.h"

#include "adapters/lpt_adapter.h"
#include "ftdi/ft2232_adapter.h"
#include "base/text.h"

const adapter_entry_t adapter_registry[] = {
    {"ft2232", "FT2232 USB adapter, SPI by its MPSSE engine", create_ft2232_adapter},
    {"", "parallel-port cable: FBPRG, ByteBlaster, STK200/300, Xilinx or a pin map", create_lpt_adapter},
};
const int adapter_registry_size = sizeof adapter_registry / sizeof adapter_registry[0];

const adapter_entry_t &find_adapter(const char *adapter_text)
{
    const char *text = adapter_text ? adapter_text : "";
    for (const adapter_entry_t &entry : adapter_registry)
        if (same_prefix(text, entry.prefix))
            return entry;
    return adapter_registry[adapter_registry_size - 1];
}
