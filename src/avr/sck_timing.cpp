#include "avr/sck_timing.h"

#include "avr/devices.h"

namespace {
// Above this target clock the chips need a third period in each SCK phase.
const int32_t two_period_limit_khz = 12000;
}  // namespace

sck_periods_t sck_periods(const avr_device_t *device, int32_t osc_khz, int32_t sck_divider)
{
    uint32_t flags = device ? device->flags : 0;
    sck_periods_t periods;
    if (flags & flag_sck_2_5)
        periods = {2, 5};
    else if (flags & flag_sck_5_17)
        periods = {5, 17};
    else if (osc_khz <= two_period_limit_khz)
        periods = {2, 2};
    else
        periods = {3, 3};
    periods.low *= sck_divider;
    periods.high *= sck_divider;
    return periods;
}
