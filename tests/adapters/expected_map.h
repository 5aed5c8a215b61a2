// A pin map as a test expects it, and the check of a whole map against it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>

#include "adapters/pin_map.h"

struct masks_t {
    uint32_t high, low;
};

// The map's name and the masks of the signals it defines; every other signal undefined.
struct expected_map_t {
    const char *name;
    std::map<int, masks_t> signals;
};

inline void expect_map(const pin_map_t &map, const expected_map_t &expected)
{
    EXPECT_STREQ(expected.name, map.name);
    for (int s = 0; s < SIGNAL_COUNT; s++) {
        SCOPED_TRACE(signal_table[s].name);
        auto it = expected.signals.find(s);
        masks_t masks = it == expected.signals.end() ? masks_t{0, 0} : it->second;
        EXPECT_EQ(masks.high, map.signals[s].high_mask);
        EXPECT_EQ(masks.low, map.signals[s].low_mask);
    }
}
