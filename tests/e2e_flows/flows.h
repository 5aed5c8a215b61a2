// Helpers for whole runs against the virtual chip: fast settings, output lines without
// their timing figures, and the chip's state file read and preset.
#pragma once

#include <fcntl.h>  // e2e.h calls open() without including it
#include <unistd.h>

#include "support/e2e.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace flows {

using bytes_t = std::vector<uint8_t>;
using runs_t = std::map<uint32_t, bytes_t>;

// Settings of a virtual chip clocked at khz. The port's register accesses take 200 ns each,
// so that the SCK phases built from the measured write cycle do not come out shorter than
// measured when the host runs faster for a moment.
inline std::map<std::string, std::string> clocked(const std::string &khz,
                                                  std::map<std::string, std::string> more = {})
{
    more["VT_CLOCK_KHZ"] = khz;
    more["VT_PORT_CYCLE_NS"] = "200";
    return more;
}

// The fast cases: a 16 MHz chip and the matching -o switch.
inline std::map<std::string, std::string> fast(std::map<std::string, std::string> more = {})
{
    return clocked("16000", std::move(more));
}
const char *const fast_osc = "-o16MHz";

// Output lines of a run with the progress dots and timing figures cut off
// ("Code: .... done (1.2ms)" -> "Code:  done", "..... passed" -> " passed").
inline std::vector<std::string> lines(const e2e::run_result &r)
{
    std::vector<std::string> result;
    std::istringstream in(r.body());
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(" done (");
        if (at != std::string::npos)
            line = line.substr(0, at + 5);
        std::string cleaned;
        for (size_t i = 0; i < line.size(); i++) {
            bool run_start = line[i] == '.' && (i == 0 || line[i - 1] == ' ');
            if (run_start)
                while (i + 1 < line.size() && line[i + 1] == '.')
                    i++;
            else
                cleaned += line[i];
        }
        result.push_back(cleaned);
    }
    return result;
}

inline bool has_line(const e2e::run_result &r, const std::string &line)
{
    auto all = lines(r);
    return std::find(all.begin(), all.end(), line) != all.end();
}

inline int count_lines(const e2e::run_result &r, const std::string &line)
{
    auto all = lines(r);
    return (int)std::count(all.begin(), all.end(), line);
}

// True when every wanted line occurs, in this order (other lines may lie between).
inline bool lines_in_order(const e2e::run_result &r, const std::vector<std::string> &wanted)
{
    auto all = lines(r);
    auto at = all.begin();
    for (auto &w : wanted) {
        at = std::find(at, all.end(), w);
        if (at == all.end())
            return false;
        ++at;
    }
    return true;
}

// The chip's persistent state: fuses, lock byte and the non-FF bytes of both memories.
struct chip_state {
    unsigned fuses[3] = {0xFF, 0xFF, 0xFF};
    unsigned lock = 0xFF;
    std::map<uint32_t, uint8_t> flash, eeprom;

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
};

inline chip_state read_state(const e2e::virtual_target &t)
{
    chip_state s;
    std::istringstream in(e2e::read_text(t.path("chip.state")));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string tag;
        ls >> tag;
        if (tag == "fuses")
            ls >> std::hex >> s.fuses[0] >> s.fuses[1] >> s.fuses[2];
        else if (tag == "lock")
            ls >> std::hex >> s.lock;
        else if (tag == "flash" || tag == "eeprom") {
            unsigned long a;
            std::string hex;
            ls >> std::hex >> a >> hex;
            auto &m = tag == "flash" ? s.flash : s.eeprom;
            for (size_t i = 0; i + 1 < hex.size(); i += 2) {
                uint8_t v = (uint8_t)std::stoul(hex.substr(i, 2), nullptr, 16);
                if (v != 0xFF)
                    m[(uint32_t)(a + i / 2)] = v;
            }
        }
    }
    return s;
}

// Presets the chip before its first run. Fuses left out keep their factory values.
inline void write_state(const e2e::virtual_target &t, const runs_t &flash, const runs_t &eeprom,
                        const std::string &extra_lines = "")
{
    std::string text = "vtarget-chip-state 1\n" + extra_lines;
    auto dump = [&](const char *tag, const runs_t &runs) {
        char head[32];
        for (auto &run : runs) {
            snprintf(head, sizeof head, "%s %06X ", tag, run.first);
            text += head;
            for (uint8_t b : run.second) {
                snprintf(head, sizeof head, "%02X", b);
                text += head;
            }
            text += "\n";
        }
    };
    dump("flash", flash);
    dump("eeprom", eeprom);
    e2e::write_text(t.path("chip.state"), text + "end\n");
}

// Bytes counting up from start, avoiding 0xFF so that every byte is visible in the state.
inline bytes_t pattern(size_t n, uint8_t start)
{
    bytes_t b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)((start + i * 7) % 0xFF);
    return b;
}

// Writes a HEX file into the target's folder and returns its path.
inline std::string hex_file(const e2e::virtual_target &t, const std::string &name, const runs_t &runs)
{
    std::string path = t.path(name);
    e2e::write_text(path, e2e::hex_text(runs));
    return path;
}

// Every byte of runs is found at its address in the given memory of the chip state.
inline ::testing::AssertionResult holds(const std::map<uint32_t, uint8_t> &memory, const runs_t &runs)
{
    for (auto &run : runs)
        for (size_t i = 0; i < run.second.size(); i++) {
            uint32_t a = run.first + (uint32_t)i;
            auto it = memory.find(a);
            uint8_t v = it == memory.end() ? 0xFF : it->second;
            if (v != run.second[i])
                return ::testing::AssertionFailure()
                       << "at 0x" << std::hex << a << ": 0x" << (unsigned)v << " instead of 0x"
                       << (unsigned)run.second[i];
        }
    return ::testing::AssertionSuccess();
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
