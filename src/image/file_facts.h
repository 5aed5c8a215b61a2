// What an input file says about the chip besides the memory contents: the
// signature, fuse and lock bytes of an avr-gcc ELF file.
#pragma once

#include <cstdint>
#include <vector>

struct file_facts_t {
    const char *file = nullptr;      // the file that carried them, for messages
    bool has_signature = false;
    uint32_t signature = 0;          // first signature byte highest, as the device table holds it
    std::vector<uint8_t> fuses;      // low byte first; empty when the file has none
    bool has_lock = false;
    uint8_t lock = 0xFF;
};
