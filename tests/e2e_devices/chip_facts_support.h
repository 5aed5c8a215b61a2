// Reading the virtual chip's instruction formats, and how the program's device
// records line up with the chip facts.
#pragma once

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "avr/devices.h"
#include "vtarget/chip_facts.h"

namespace facts_check {

// One bit of a 32-bit instruction format: kind is '0', '1', 'x', 'a', 'i' or 'o';
// number is the address or data bit it carries.
struct format_bit {
    char kind = 'x';
    int number = 0;
};

// Bits of one format, index 0 = most significant bit of the first byte.
typedef std::vector<format_bit> format_t;

inline format_t parse_format(const std::string &text)
{
    format_t bits;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '.' || c == '-')
            continue;
        format_bit bit;
        int position = static_cast<int>(bits.size());
        if (c == '[') {
            size_t end = text.find(']', i);
            bit.kind = text[i + 1];
            bit.number = std::stoi(text.substr(i + 2, end - i - 2));
            i = end;
        } else {
            bit.kind = c;
            // implicit numbers: data bits by position in their byte, address bits
            // byte 3 bit k = a<k>, byte 2 bit k = a<8+k>
            int in_byte = 7 - position % 8;
            bit.number = c == 'a' ? (position / 8 == 2 ? 8 + in_byte : in_byte) : in_byte;
        }
        bits.push_back(bit);
    }
    return bits;
}

// op name -> format, from the facts' command list.
inline std::map<std::string, format_t> formats(const vt::chip_facts &facts)
{
    std::map<std::string, format_t> result;
    std::istringstream all(facts.commands);
    for (std::string item; std::getline(all, item, ';');) {
        size_t eq = item.find('=');
        if (eq != std::string::npos)
            result[item.substr(0, eq)] = parse_format(item.substr(eq + 1));
    }
    return result;
}

// True when the command's bits agree with every fixed bit of the format in its first
// `bytes` bytes (3 for reads, whose last byte is the chip's answer).
inline bool fixed_bits_match(const format_t &format, const uint8_t command[4], int bytes = 4)
{
    if (format.size() != 32)
        return false;
    for (int position = 0; position < bytes * 8; position++) {
        int bit = (command[position / 8] >> (7 - position % 8)) & 1;
        char kind = format[position].kind;
        if ((kind == '0' && bit != 0) || (kind == '1' && bit != 1))
            return false;
    }
    return true;
}

// Which data bit (of the memory byte) the format carries at byte `byte_index`, bit `bit`
// (7..0), or -1 when that position carries no data of kind `kind` ('i' or 'o').
inline int data_bit_at(const format_t &format, int byte_index, int bit, char kind)
{
    if (format.size() != 32)
        return -1;
    const format_bit &b = format[byte_index * 8 + (7 - bit)];
    return b.kind == kind ? b.number : -1;
}

// The name list's first alternative.
inline std::string first_name(const char *names)
{
    std::string all = names;
    return all.substr(0, all.find('|'));
}

// Field bits of one slot of a layout (0 when the layout has no such slot).
inline uint8_t slot_mask(fuse_layout_t layout, int slot)
{
    if (layout == nullptr)
        return 0;
    for (int s = 0; s <= slot; s++)
        if (layout[s] == nullptr)
            return 0;
    uint8_t mask = 0;
    for (const fuse_field_t *f = layout[slot]; f->info != nullptr; f++)
        mask |= static_cast<uint8_t>(((1u << f->width) - 1) << f->shift);
    return mask;
}

// Every way the record disagrees with the chip facts, as "chip: what" lines.
std::vector<std::string> disagreements(const avr_device_t &device, const vt::chip_facts &facts);

}  // namespace facts_check
