#include "adapters/spi.h"

namespace {
std::unique_ptr<spi_t> &adapter_slot()
{
    static std::unique_ptr<spi_t> adapter;
    return adapter;
}
}  // namespace

spi_t *run_adapter()
{
    return adapter_slot().get();
}

void set_run_adapter(std::unique_ptr<spi_t> adapter)
{
    if (adapter_slot().get() != adapter.get())
        adapter_slot().reset();
    adapter_slot() = std::move(adapter);
}
