// Pin maps: signal and pin tables, the map text (inline or from a file), checks.
#include "adapters/pin_map.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/config_search.h"
#include "base/messages.h"
#include "base/text.h"

const signal_def_t signal_table[SIGNAL_COUNT] = {
    {"mosi", PIN_OUTPUT},     {"miso", PIN_INPUT},      {"sck", PIN_OUTPUT},
    {"reset", PIN_OUTPUT},    {"xtal", PIN_OUTPUT},     {"power", PIN_OUTPUT},
    {"set", PIN_OUTPUT},      {"enable", PIN_OUTPUT},   {"led_work", PIN_OUTPUT},
    {"led_error", PIN_OUTPUT}, {"led_ok", PIN_OUTPUT},  {"button", PIN_INPUT},
};

// Port bit layout: data register bits 0..7, status 8..15, control 16..23.
const pin_def_t lpt_pin_table[] = {
    {"D0", 0x01, false, PIN_OUTPUT},
    {"D1", 0x02, false, PIN_OUTPUT},
    {"D2", 0x04, false, PIN_OUTPUT},
    {"D3", 0x08, false, PIN_OUTPUT},
    {"D4", 0x10, false, PIN_OUTPUT},
    {"D5", 0x20, false, PIN_OUTPUT},
    {"D6", 0x40, false, PIN_OUTPUT},
    {"D7", 0x80, false, PIN_OUTPUT},
    {"ERROR", 0x800, false, PIN_INPUT},
    {"ONLINE", 0x1000, false, PIN_INPUT},
    {"PE", 0x2000, false, PIN_INPUT},
    {"ACK", 0x4000, false, PIN_INPUT},
    {"BUSY", 0x8000, true, PIN_INPUT},
    {"STROBE", 0x10000, true, PIN_OUTPUT},
    {"ALF", 0x20000, true, PIN_OUTPUT},
    {"INIT", 0x40000, false, PIN_OUTPUT},
    {"SELECT", 0x80000, true, PIN_OUTPUT},
    {"BIDIR_EN", 0x200000, false, PIN_OUTPUT},
    {nullptr, 0, false, 0},
};

// FT2232 channel: low byte port bits 0..7, high byte port bits 8..11.
const pin_def_t ft2232_pin_table[] = {
    {"adbus0", 0x001, false, PIN_BIDIRECTIONAL},
    {"adbus1", 0x002, false, PIN_BIDIRECTIONAL},
    {"adbus2", 0x004, false, PIN_BIDIRECTIONAL},
    {"adbus3", 0x008, false, PIN_BIDIRECTIONAL},
    {"adbus4", 0x010, false, PIN_BIDIRECTIONAL},
    {"adbus5", 0x020, false, PIN_BIDIRECTIONAL},
    {"adbus6", 0x040, false, PIN_BIDIRECTIONAL},
    {"adbus7", 0x080, false, PIN_BIDIRECTIONAL},
    {"acbus0", 0x100, false, PIN_BIDIRECTIONAL},
    {"acbus1", 0x200, false, PIN_BIDIRECTIONAL},
    {"acbus2", 0x400, false, PIN_BIDIRECTIONAL},
    {"acbus3", 0x800, false, PIN_BIDIRECTIONAL},
    {nullptr, 0, false, 0},
};

namespace {

const size_t max_entry = 511;
const size_t max_name = sizeof(pin_map_t::name) - 1;

const char *direction_name(uint8_t direction)
{
    switch (direction) {
    case PIN_INPUT:
        return "input";
    case PIN_OUTPUT:
        return "output";
    case PIN_BIDIRECTIONAL:
        return "bidirectional";
    default:
        return "?";
    }
}

std::string trim(const std::string &text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && isspace(static_cast<unsigned char>(text[begin])))
        begin++;
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1])))
        end--;
    return text.substr(begin, end - begin);
}

bool same_name(const char *a, const std::string &b)
{
    return same_text(b.data(), b.size(), a);
}

void add_pin(pin_map_t &map, int signal, const std::string &key, std::string item,
             const pin_def_t *table)
{
    item = trim(item);
    bool tilde = !item.empty() && item[0] == '~';
    if (tilde)
        item.erase(0, 1);
    const pin_def_t *pin = table;
    while (pin->name && !same_name(pin->name, item))
        pin++;
    if (!pin->name)
        fail(EXIT_USAGE, "adapter: invalid pin name '%s'\n", item.c_str());
    for (int other = 0; other < SIGNAL_COUNT; other++) {
        const signal_pins_t &used = map.signals[other];
        if ((used.high_mask | used.low_mask) & pin->mask)
            fail(EXIT_USAGE, "adapter: can't use '%s' for '%s' - already used for '%s'\n",
                 item.c_str(), key.c_str(), signal_table[other].name);
    }
    uint8_t wanted = signal_table[signal].direction;
    if ((wanted & pin->direction) != wanted)
        fail(EXIT_USAGE, "adapter: can't use %s pin '%s' for %s signal '%s'\n",
             direction_name(pin->direction), pin->name, direction_name(wanted),
             signal_table[signal].name);
    if (tilde == pin->inverted)
        map.signals[signal].high_mask |= pin->mask;
    else
        map.signals[signal].low_mask |= pin->mask;
}

void parse_pin_entry(pin_map_t &map, const std::string &entry, const pin_def_t *table)
{
    size_t equals = entry.find('=');
    if (equals == std::string::npos || equals + 1 >= entry.size())
        fail(EXIT_USAGE, "adapter: invalid string '%s'\n", entry.c_str());
    std::string key = trim(entry.substr(0, equals));
    std::string value = entry.substr(equals + 1);

    if (same_name("name", key)) {
        if (map.name[0])
            fail(EXIT_USAGE, "adapter: duplicate keyword 'name'\n");
        std::string name = trim(value).substr(0, max_name);
        memcpy(map.name, name.c_str(), name.size() + 1);
        return;
    }
    int signal = 0;
    while (signal < SIGNAL_COUNT && !same_name(signal_table[signal].name, key))
        signal++;
    if (signal == SIGNAL_COUNT)
        fail(EXIT_USAGE, "adapter: invalid signal name '%s'\n", key.c_str());
    if (map.signals[signal].defined())
        fail(EXIT_USAGE, "adapter: duplicate signal name '%s'\n", key.c_str());

    size_t start = 0;
    for (;;) {
        size_t comma = value.find(',', start);
        add_pin(map, signal, key, value.substr(start, comma - start), table);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
}

void parse_inline(pin_map_t &map, const char *entries, const pin_def_t *table)
{
    std::string text(entries);
    size_t start = 0;
    while (start <= text.size()) {
        size_t colon = text.find(':', start);
        if (colon == std::string::npos)
            colon = text.size();
        std::string entry = text.substr(start, colon - start);
        if (!entry.empty())
            parse_pin_entry(map, entry.substr(0, max_entry), table);
        start = colon + 1;
    }
}

// One whole line, whatever its length (a long comment stays a comment);
// false at the end of the file.
bool read_line(FILE *file, std::string &line)
{
    line.clear();
    char piece[max_entry + 1];
    while (fgets(piece, sizeof piece, file)) {
        line += piece;
        if (line.back() == '\n')
            return true;
    }
    return !line.empty();
}

struct file_closer {
    void operator()(FILE *file) const { fclose(file); }
};

void load_pin_map_file(pin_map_t &map, const char *name, const pin_def_t *table)
{
    char path[1024];
    if (!find_config_file(path, sizeof path, name))
        fail(EXIT_USAGE, "File '%s' not found\n", name);
    std::unique_ptr<FILE, file_closer> file(open_file(path, "rt"));
    msg_print(msg_out, MSG_DEBUG, "\t%% loading config file '%s'\n", path);
    std::string line;
    while (read_line(file.get(), line)) {
        size_t cut = line.find('#');
        if (cut != std::string::npos)
            line.resize(cut);
        cut = line.find(';');
        if (cut != std::string::npos)
            line.resize(cut);
        while (!line.empty() && isspace(static_cast<unsigned char>(line.back())))
            line.pop_back();
        if (!line.empty())
            parse_pin_entry(map, line, table);
    }
}

}  // namespace

void clear_pin_map(pin_map_t &map)
{
    memset(&map, 0, sizeof map);
}

void parse_pin_map(pin_map_t &map, const char *text, const pin_def_t *table)
{
    const char *mark = strpbrk(text, "=:");
    if (!mark)
        return;
    if (mark[1] == 0)
        fail(EXIT_USAGE, "Invalid adapter switch '%s'\n", text);
    if (*mark == ':')
        parse_inline(map, mark + 1, table);
    else
        load_pin_map_file(map, mark + 1, table);
}

void parse_pin_entries(pin_map_t &map, const char *entries, const pin_def_t *table)
{
    parse_inline(map, entries, table);
}

void merge_pin_map(pin_map_t &map, const pin_map_t &defaults)
{
    if (!map.name[0])
        memcpy(map.name, defaults.name, sizeof map.name);
    for (int i = 0; i < SIGNAL_COUNT; i++)
        if (!map.signals[i].defined())
            map.signals[i] = defaults.signals[i];
}

void require_signals(const pin_map_t &map, const int *signals, int count)
{
    for (int i = 0; i < count; i++)
        if (!map.signals[signals[i]].defined())
            fail(EXIT_USAGE, "%s must be defined\n", signal_table[signals[i]].name);
}

void require_pins_within(const pin_map_t &map, const int *signals, int count, uint32_t allowed,
                         const char *description)
{
    for (int i = 0; i < count; i++) {
        const signal_pins_t &pins = map.signals[signals[i]];
        if ((pins.high_mask | pins.low_mask) & ~allowed)
            fail(EXIT_USAGE, "%s must be in %s\n", signal_table[signals[i]].name, description);
    }
}
