// The SCK phase lengths a chip's serial programming interface needs.
#pragma once

#include <cstdint>

struct avr_device_t;

// Minimum SCK low and high times, in periods of the target's clock.
struct sck_periods_t {
    int32_t low;
    int32_t high;
};

// The periods of the device (null: no chip known) at a target clock of
// osc_khz, each multiplied by the SCK divider.
sck_periods_t sck_periods(const avr_device_t *device, int32_t osc_khz, int32_t sck_divider);
