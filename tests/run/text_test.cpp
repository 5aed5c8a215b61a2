// Names compared without regard to case, and decimal numbers read as the switches
// read them (-n#, -ai#, the -o divider): where the digits stop and what counts as none.
#include <gtest/gtest.h>

#include <string>

#include "base/text.h"

namespace {

TEST(text, names_compare_without_case)
{
    EXPECT_TRUE(same_text("MHz", "mhZ"));
    EXPECT_FALSE(same_text("MHz", "MH"));
    EXPECT_FALSE(same_text("MH", "MHz"));
    EXPECT_TRUE(same_text("", ""));
    // a length that cuts the first text; the second must end there too
    EXPECT_TRUE(same_text("mega8|m8", 5, "MEGA8"));
    EXPECT_FALSE(same_text("mega8|m8", 5, "MEGA88"));
    EXPECT_FALSE(same_text("mega8|m8", 4, "MEGA8"));
    EXPECT_TRUE(same_prefix("FT2232H", "ft2232"));
    EXPECT_TRUE(same_prefix("anything", ""));
    EXPECT_FALSE(same_prefix("ft22", "ft2232"));
    EXPECT_FALSE(same_prefix("xft2232", "ft2232"));
}

TEST(text, decimal_numbers)
{
    const unsigned long long none = 12345, greatest = ~0ULL;
    struct {
        const char *text;
        bool read, whole;
        unsigned long long value;
        size_t stop;  // where the digits ended
    } cases[] = {
        {"42", true, true, 42, 2},
        {"0007", true, true, 7, 4},
        {"42ms", true, false, 42, 2},
        {" 42", true, false, 42, 3},      // blanks before: read, but not a whole number
        {"+42", true, false, 42, 3},
        {"-1", true, false, greatest, 2},  // negative: out of any range
        {"99999999999999999999999", true, true, greatest, 23},
        {"", false, false, none, 0},
        {"x1", false, false, none, 0},
        {"+", false, false, none, 0},
        {" ", false, false, none, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("'") + c.text + "'");
        unsigned long long value = none;
        const char *end = nullptr;
        EXPECT_EQ(read_decimal(c.text, value, &end), c.read);
        EXPECT_EQ(value, c.value);
        if (c.read) {
            EXPECT_EQ(static_cast<size_t>(end - c.text), c.stop);
        }
        value = none;
        EXPECT_EQ(read_whole_decimal(c.text, value), c.whole);
        if (c.whole) {
            EXPECT_EQ(value, c.value);
        }
    }
}

}  // namespace
