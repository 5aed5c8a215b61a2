// Finding a chip's facts by any of its names (the table itself is generated: facts_data.cpp).
#include <cctype>
#include <cstring>

#include "vtarget/chip_facts.h"

namespace vt {

static bool same_name(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i]))
            return false;
    return b[n] == 0;
}

const chip_facts *find_chip_facts(const char *name)
{
    for (size_t i = 0; i < chip_facts_count; i++) {
        const char *p = chip_facts_table[i].names;
        for (;;) {
            const char *bar = std::strchr(p, '|');
            size_t n = bar ? (size_t)(bar - p) : std::strlen(p);
            if (same_name(p, name, n))
                return &chip_facts_table[i];
            if (!bar)
                break;
            p = bar + 1;
        }
    }
    return nullptr;
}

}  // namespace vt
