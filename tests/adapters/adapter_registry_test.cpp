// The -a text chooses the adapter: "ft2232" in any case the FT2232, anything
// else (no -a at all too) a parallel-port cable with its letters.
#include <gtest/gtest.h>

#include "run/adapter_registry.h"
#include "adapters/lpt_adapter.h"
#include "ftdi/ft2232_adapter.h"

namespace {

TEST(adapter_registry, the_adapter_text_chooses_the_factory)
{
    using factory_t = built_adapter_t (*)(const adapter_settings_t &);
    const factory_t lpt = create_lpt_adapter, ftdi = create_ft2232_adapter;
    struct case_t {
        const char *text;
        factory_t expected;
    } cases[] = {
        {nullptr, lpt},          {"", lpt},
        {"b", lpt},              {"m:name=ft2232:mosi=D5", lpt},
        {"f", lpt},              {"ft223", lpt},
        {"ft2232", ftdi},        {"FT2232:reset=acbus0", ftdi},
        {"fT2232=box.cfg", ftdi}, {"ft2232h", ftdi},
    };
    for (const case_t &c : cases) {
        const adapter_entry_t &entry = find_adapter(c.text);
        EXPECT_EQ(c.expected, entry.create) << (c.text ? c.text : "no -a");
    }
}

}  // namespace
