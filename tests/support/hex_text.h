// Intel HEX text written by the tests themselves, independent of src/image.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace e2e {

// One record, ":LLAAAATT" + data + checksum and a line end.
inline std::string hex_record(unsigned type, unsigned address, const std::vector<uint8_t> &data)
{
    char text[16];
    unsigned sum = unsigned(data.size()) + ((address >> 8) & 0xFF) + (address & 0xFF) + type;
    snprintf(text, sizeof text, ":%02X%04X%02X", unsigned(data.size()), address & 0xFFFF, type);
    std::string line = text;
    for (uint8_t b : data) {
        snprintf(text, sizeof text, "%02X", b);
        line += text;
        sum += b;
    }
    snprintf(text, sizeof text, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + text;
}

// Intel HEX text of one or more byte runs (16-byte records, type 04 above 64 KiB).
inline std::string hex_text(const std::map<uint32_t, std::vector<uint8_t>> &runs)
{
    std::string text;
    uint32_t upper = 0;
    for (auto &run : runs) {
        for (size_t i = 0; i < run.second.size(); i += 16) {
            uint32_t a = run.first + (uint32_t)i;
            size_t n = std::min<size_t>(16, run.second.size() - i);
            if ((a >> 16) != upper) {
                upper = a >> 16;
                text += hex_record(4, 0, {uint8_t(upper >> 8), uint8_t(upper)});
            }
            text += hex_record(0, a, std::vector<uint8_t>(run.second.begin() + i, run.second.begin() + i + n));
        }
    }
    return text + hex_record(1, 0, {});
}

}  // namespace e2e
