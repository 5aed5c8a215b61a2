// The virtual chip's state file: read back after a run, preset before one, and
// compared with the byte runs of an image.
#pragma once

#include <gtest/gtest.h>

#include "support/e2e.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

using bytes_t = std::vector<uint8_t>;
using runs_t = std::map<uint32_t, bytes_t>;

// Fuses, lock byte and the non-FF bytes of both memories.
struct chip_state {
    std::map<uint32_t, uint8_t> flash, eeprom;
    unsigned fuses[3] = {0xFF, 0xFF, 0xFF};
    unsigned lock = 0xFF;
    bool valid = false;  // the file ended with its "end" line

    static uint8_t at(const std::map<uint32_t, uint8_t> &m, uint32_t a)
    {
        auto it = m.find(a);
        return it == m.end() ? 0xFF : it->second;
    }
    uint8_t flash_at(uint32_t a) const { return at(flash, a); }
    uint8_t eeprom_at(uint32_t a) const { return at(eeprom, a); }
    std::vector<uint8_t> flash_range(uint32_t a, size_t n) const
    {
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < n; i++)
            bytes.push_back(flash_at(a + (uint32_t)i));
        return bytes;
    }
};

inline chip_state read_state_file(const std::string &path)
{
    chip_state state;
    std::istringstream in(read_text(path));
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

// The state of any target that keeps its files in a folder of its own.
template <typename Target>
chip_state read_state(const Target &t)
{
    return read_state_file(t.path("chip.state"));
}

// State file text that presets a chip: chip names it (none when empty), fuses and lock
// bits keep their factory values unless extra_lines give them.
inline std::string state_text(const std::string &chip, const runs_t &flash, const runs_t &eeprom,
                              const std::string &extra_lines)
{
    std::string text = "vtarget-chip-state 1\n";
    if (!chip.empty())
        text += "chip " + chip + "\n";
    text += extra_lines;
    char buffer[32];
    auto dump = [&](const char *tag, const runs_t &runs) {
        for (auto &run : runs)
            for (size_t i = 0; i < run.second.size(); i += 32) {
                snprintf(buffer, sizeof buffer, "%s %06X ", tag, (unsigned)(run.first + i));
                text += buffer;
                for (size_t k = i; k < std::min(i + 32, run.second.size()); k++) {
                    snprintf(buffer, sizeof buffer, "%02X", run.second[k]);
                    text += buffer;
                }
                text += "\n";
            }
    };
    dump("flash", flash);
    dump("eeprom", eeprom);
    return text + "end\n";
}

// Presets the chip of a target that keeps its files in a folder of its own, before
// its first run (see state_text).
template <typename Target>
void write_state(const Target &t, const std::string &chip, const runs_t &flash, const runs_t &eeprom,
                 const std::string &extra_lines = "")
{
    write_text(t.path("chip.state"), state_text(chip, flash, eeprom, extra_lines));
}

// Every byte of runs is found at its address in memory (missing counts as 0xFF).
inline ::testing::AssertionResult holds(const std::map<uint32_t, uint8_t> &memory, const runs_t &runs)
{
    for (auto &run : runs)
        for (size_t i = 0; i < run.second.size(); i++) {
            uint32_t a = run.first + (uint32_t)i;
            uint8_t v = chip_state::at(memory, a);
            if (v != run.second[i])
                return ::testing::AssertionFailure() << "at 0x" << std::hex << a << ": 0x" << (unsigned)v
                                                     << " instead of 0x" << (unsigned)run.second[i];
        }
    return ::testing::AssertionSuccess();
}

// Writes a HEX file of runs into the target's folder and returns its path.
template <typename Target>
std::string hex_file(const Target &t, const std::string &name, const runs_t &runs)
{
    std::string path = t.path(name);
    write_text(path, hex_text(runs));
    return path;
}

}  // namespace e2e
