// The adapters the -a switch chooses from: one entry each.
#pragma once

#include "adapters/adapter_settings.h"

struct adapter_entry_t {
    const char *prefix;       // how the -a text begins (any case); "" takes any text
    const char *description;  // one line
    built_adapter_t (*create)(const adapter_settings_t &settings);
};

// In the order they are tried; the last one takes any -a text.
extern const adapter_entry_t adapter_registry[];
extern const int adapter_registry_size;

// The entry for an -a text (null: no -a switch).
const adapter_entry_t &find_adapter(const char *adapter_text);
