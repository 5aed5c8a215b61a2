// Parts of the program that are not built yet end a run that reaches them
// with a clear message and status 70. Each block goes when the real code lands.
#include "adapters/lpt_adapter.h"
#include "ftdi/ft2232_adapter.h"
#include "run/messages.h"

namespace {
[[noreturn]] void not_built(const char *what)
{
    fail(EXIT_USAGE, "%s: not built yet\n", what);
}
}  // namespace

// ---- adapters ----
std::unique_ptr<spi_t> create_lpt_adapter(const char *, const char *)
{
    not_built("LPT adapter");
}

std::unique_ptr<spi_t> create_ft2232_adapter(const char *, const char *)
{
    not_built("FT2232 adapter");
}
