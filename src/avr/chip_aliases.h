// Other names of the table's chips: avrdude's part ids and the later
// variants that program exactly like a table chip.
#pragma once

struct chip_alias_t {
    const char *chip;      // one name of a table record, as the table spells it
    const char *aliases;   // the other names, joined by '|'
};

extern const chip_alias_t chip_aliases[];
extern const int chip_alias_count;

// The table's name for an alias (any case); any other name comes back as it is.
const char *resolve_chip_alias(const char *name);

// "\nSupported devices and their aliases\n", then one line per listed record.
void print_alias_list();
