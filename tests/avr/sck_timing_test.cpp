// SCK phase lengths by the chip's flags, the target clock and the divider.
#include <gtest/gtest.h>

#include <string>

#include "avr/devices.h"
#include "avr/sck_timing.h"

namespace {

TEST(sck_periods_test, TimesFollowFlagsFrequencyAndDivider)
{
    struct period_case {
        const char *name;  // null: no chip known
        int32_t osc_khz;
        int32_t divider;
        int32_t low;
        int32_t high;
    };
    const period_case cases[] = {
        {"mega8", 800, 1, 2, 2},      {"mega8", 12000, 1, 2, 2},   {"mega8", 12001, 1, 3, 3},
        {"mega8", 16000, 1, 3, 3},    {"mega8", 16000, 4, 12, 12}, {"mega8", 800, 32, 64, 64},
        {"mega8", 0, 3, 6, 6},        {"86RF401", 800, 1, 5, 17},  {"86RF401", 20000, 1, 5, 17},
        {"86RF401", 800, 3, 15, 51},  {"90S1200", 16000, 1, 2, 5}, {"90S1200", 800, 2, 4, 10},
        {nullptr, 800, 1, 2, 2},      {nullptr, 16000, 2, 6, 6},
    };
    for (const period_case &c : cases) {
        const avr_device_t *device = nullptr;
        if (c.name) {
            int32_t index = find_device(c.name);
            ASSERT_GE(index, 0) << c.name;
            device = &avr_devices[index];
        }
        sck_periods_t periods = sck_periods(device, c.osc_khz, c.divider);
        std::string label = std::string(c.name ? c.name : "no chip") + " " + std::to_string(c.osc_khz) +
                            " kHz /" + std::to_string(c.divider);
        EXPECT_EQ(periods.low, c.low) << label;
        EXPECT_EQ(periods.high, c.high) << label;
    }
}

}  // namespace
