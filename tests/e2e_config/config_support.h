// Helpers for whole runs that change a chip's configuration: the chip's own
// state file read back, message lines, and fast clocks for the virtual chip.
#pragma once

#include <fcntl.h>

#include <gtest/gtest.h>

#include "support/chip_state.h"
#include "support/e2e.h"

#include <cstdint>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace cfg {

using e2e::chip_state;
using e2e::clocked;
using e2e::hex_file;
using e2e::read_state;

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

// Every piece occurs in text, each after the one before; a failure names the
// first piece not found after its predecessors.
inline ::testing::AssertionResult in_order(const std::string &text, std::initializer_list<std::string> pieces)
{
    size_t at = 0;
    for (auto &piece : pieces) {
        size_t found = text.find(piece, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "not found in order: '" << piece << "'";
        at = found + piece.size();
    }
    return ::testing::AssertionSuccess();
}

// Byte pair of an LDI instruction (1110 KKKK dddd KKKK, low byte first)
// carrying value, for register r16 + reg.
inline std::vector<uint8_t> ldi(unsigned reg, uint8_t value)
{
    return {(uint8_t)((reg << 4) | (value & 0x0F)), (uint8_t)(0xE0 | (value >> 4))};
}

}  // namespace cfg
