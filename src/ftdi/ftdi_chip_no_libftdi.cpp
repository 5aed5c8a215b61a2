// The Windows build has no libftdi1 back end: D2XX is the only FTDI library there.
#include "ftdi/ftdi_driver.h"
#include "base/messages.h"

const bool libftdi_back_end = false;

std::unique_ptr<ftdi_driver_t> load_libftdi_driver(const char *)
{
    fail(EXIT_USAGE, "libftdi1 is not available on this system\n");
}
