// Helpers for whole runs against the virtual chip: fast settings, output lines without
// their timing figures, and the chip's state file read and preset.
#pragma once

#include <fcntl.h>  // e2e.h calls open() without including it
#include <unistd.h>

#include "support/chip_state.h"
#include "support/e2e.h"
#include "support/output_lines.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace flows {

using e2e::bytes_t;
using e2e::runs_t;

using e2e::clocked;

// The fast cases: a 16 MHz chip and the matching -o switch.
inline std::map<std::string, std::string> fast(std::map<std::string, std::string> more = {})
{
    return clocked("16000", std::move(more));
}
const char *const fast_osc = "-o16MHz";

using e2e::output::count_lines;
using e2e::output::has_line;
using e2e::output::lines_in_order;

using e2e::chip_state;
using e2e::hex_file;
using e2e::holds;
using e2e::read_state;

// Presets the chip the target was started as (the state names none).
inline void write_state(const e2e::virtual_target &t, const runs_t &flash, const runs_t &eeprom,
                        const std::string &extra_lines = "")
{
    e2e::write_state(t, "", flash, eeprom, extra_lines);
}

// Bytes counting up from start, avoiding 0xFF so that every byte is visible in the state.
inline bytes_t pattern(size_t n, uint8_t start)
{
    bytes_t b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)((start + i * 7) % 0xFF);
    return b;
}

// Number of trace lines that end with what (the model's note of a command).
inline int count_trace(const e2e::virtual_target &t, const std::string &what)
{
    std::istringstream in(t.trace());
    std::string line;
    int n = 0;
    while (std::getline(in, line))
        if (line.size() >= what.size() && line.compare(line.size() - what.size(), what.size(), what) == 0)
            n++;
    return n;
}

// Runs a callable with the working directory switched to dir.
template <typename F>
auto in_directory(const std::string &dir, F f) -> decltype(f())
{
    char old[4096];
    if (!getcwd(old, sizeof old) || chdir(dir.c_str()) != 0)
        throw std::runtime_error("cannot change to " + dir);
    struct back_t {
        const char *to;
        ~back_t()
        {
            if (chdir(to) != 0)
                ADD_FAILURE() << "cannot return to " << to;
        }
    } back{old};
    return f();
}

}  // namespace flows
