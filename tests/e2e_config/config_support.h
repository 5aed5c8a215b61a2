// Helpers for whole runs that change a chip's configuration: the chip's own
// state file read back, message lines, and fast clocks for the virtual chip.
#pragma once

#include <fcntl.h>

#include "support/e2e.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace cfg {

// A port access of 200 ns keeps the program's cycle measurement steady, so
// the SCK phases it builds never fall short of what the chip needs.
inline std::map<std::string, std::string> clocked(unsigned khz)
{
    return {{"VT_CLOCK_KHZ", std::to_string(khz)}, {"VT_PORT_CYCLE_NS", "200"}};
}

// The chip as its state file holds it after a run.
struct chip_state {
    std::map<uint32_t, uint8_t> flash, eeprom;   // bytes other than FF
    unsigned fuses[3] = {0xFF, 0xFF, 0xFF};
    unsigned lock = 0xFF;
    bool valid = false;

    uint8_t flash_at(uint32_t a) const
    {
        auto it = flash.find(a);
        return it == flash.end() ? 0xFF : it->second;
    }
    uint8_t eeprom_at(uint32_t a) const
    {
        auto it = eeprom.find(a);
        return it == eeprom.end() ? 0xFF : it->second;
    }
    std::vector<uint8_t> flash_range(uint32_t a, size_t n) const
    {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < n; i++)
            bytes.push_back(flash_at(a + (uint32_t)i));
        return bytes;
    }
};

inline chip_state read_state(const e2e::virtual_target &chip)
{
    chip_state state;
    std::istringstream in(e2e::read_text(chip.path("chip.state")));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string tag;
        ls >> tag;
        if (tag == "fuses") {
            ls >> std::hex >> state.fuses[0] >> state.fuses[1] >> state.fuses[2];
        } else if (tag == "lock") {
            ls >> std::hex >> state.lock;
        } else if (tag == "flash" || tag == "eeprom") {
            unsigned long a;
            std::string hex;
            ls >> std::hex >> a >> hex;
            auto &memory = tag == "flash" ? state.flash : state.eeprom;
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                uint8_t b = (uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16);
                if (b != 0xFF)
                    memory[(uint32_t)(a + i / 2)] = b;
            }
        } else if (tag == "end") {
            state.valid = true;
        }
    }
    return state;
}

// The calibration bytes the chip answered, taken from its command trace.
inline std::vector<uint8_t> calibration_from_trace(const e2e::virtual_target &chip)
{
    std::map<unsigned, uint8_t> bytes;
    std::istringstream in(chip.trace());
    std::string line;
    while (std::getline(in, line)) {
        if (line.find("calibration_read") == std::string::npos)
            continue;
        // "<time> ms  38 00 ii 00 -> rr rr rr vv  calibration_read"
        size_t arrow = line.find("->");
        unsigned c0, c1, index, c3, r0, r1, r2, value;
        if (arrow == std::string::npos ||
            sscanf(line.c_str() + line.find("ms") + 2, "%x %x %x %x -> %x %x %x %x", &c0, &c1, &index, &c3, &r0,
                   &r1, &r2, &value) != 8)
            continue;
        bytes[index] = (uint8_t)value;
    }
    std::vector<uint8_t> result;
    for (auto &b : bytes)
        result.push_back(b.second);
    return result;
}

// True when text holds line as a whole line (line given with its '\n').
inline bool has_line(const std::string &text, const std::string &line)
{
    if (text.compare(0, line.size(), line) == 0)
        return true;
    return text.find("\n" + line) != std::string::npos;
}

// The offset just past each piece, in order; npos when one is missing.
inline size_t find_in_order(const std::string &text, std::initializer_list<std::string> pieces)
{
    size_t at = 0;
    for (auto &piece : pieces) {
        size_t found = text.find(piece, at);
        if (found == std::string::npos)
            return std::string::npos;
        at = found + piece.size();
    }
    return at;
}

// Byte pair of an LDI instruction (1110 KKKK dddd KKKK, low byte first)
// carrying value, for register r16 + reg.
inline std::vector<uint8_t> ldi(unsigned reg, uint8_t value)
{
    return {(uint8_t)((reg << 4) | (value & 0x0F)), (uint8_t)(0xE0 | (value >> 4))};
}

inline std::string hex_file(const e2e::virtual_target &chip, const std::string &name,
                            const std::map<uint32_t, std::vector<uint8_t>> &runs)
{
    std::string path = chip.path(name);
    e2e::write_text(path, e2e::hex_text(runs));
    return path;
}

}  // namespace cfg
