// Whole runs of the program with -aft2232 over the virtual FT2232, through each way of
// reaching it: D2XX and libftdi1 natively, D2XX in the Windows build under Wine.
#pragma once

#include <fcntl.h>  // e2e.h calls open()
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

namespace ftdi_e2e {

using e2e::bytes_t;
using e2e::runs_t;
using vars_t = std::map<std::string, std::string>;

enum class way_t { d2xx, libftdi, wine };

inline const char *way_name(way_t way)
{
    switch (way) {
    case way_t::d2xx: return "d2xx";
    case way_t::libftdi: return "libftdi";
    default: return "wine";
    }
}

// Chip clock of the fast cases, its -o switch, and a short USB round trip.
inline vars_t fast_vars(vars_t more = {})
{
    more.emplace("VT_CLOCK_KHZ", "16000");
    more.emplace("VT_USB_LATENCY_US", "100");
    return more;
}
const char *const fast_osc = "-o16MHz";

inline std::string native_library_dir(way_t way)
{
    std::string dir = std::string(MORVIN_BUILD_DIR) + "/vtarget";
    return way == way_t::libftdi ? dir + "/libftdi1" : dir;
}

// Every way of this tree: the Windows build's only where one is configured, so that no
// case skips at run time.
inline std::vector<way_t> all_ways()
{
    std::vector<way_t> ways = {way_t::d2xx, way_t::libftdi};
#if MORVIN_WINE_TESTS
    ways.push_back(way_t::wine);
#endif
    return ways;
}

// Cases run through each way; the Windows build's cases fail when its program or its
// drop-in D2XX is missing.
class each_way : public ::testing::TestWithParam<way_t> {
protected:
    void SetUp() override
    {
        if (GetParam() != way_t::wine)
            return;
        std::string win = e2e::windows_build();
        for (const char *file : {"/morvin.exe", "/ftd2xx.dll"})
            ASSERT_TRUE(e2e::file_exists(win + file)) << "MORVIN_WIN_BUILD is " << win << " but " << win + file
                                                      << " is missing";
    }
};

// A virtual chip behind the virtual FT2232, run through one of the three ways.
class ftdi_target {
public:
    ftdi_target(way_t way_, const std::string &chip, const vars_t &vars = fast_vars()) : way(way_), target(chip, vars)
    {
        if (way != way_t::wine) {
            target.set("MORVIN_FTDI_LIBRARY", way == way_t::d2xx ? "d2xx" : "libftdi");
            target.set_library_path(native_library_dir(way));
        }
        // only the VT_* variables given here reach the run, none left over from the caller
        target.drop_inherited({"VT_FTDI_DEVICES", "VT_FAULT", "VT_USB_LATENCY_US", "VT_FTDI_RESET",
                               "VT_FTDI_ENABLE", "MORVIN_FTDI_LIBRARY", "MORVIN_CONFIG_PATH"});
    }

    void set(const std::string &name, const std::string &value) { target.set(name, value); }
    std::string path(const std::string &name) const { return target.path(name); }

    // A file as the program's command line names it: the Windows build reads a leading
    // '/' as a switch, so it gets the drive Wine maps the root to.
    std::string file_arg(const std::string &path) const
    {
        if (way != way_t::wine)
            return path;
        std::string name = "Z:" + path;
        std::replace(name.begin(), name.end(), '/', '\\');
        return name;
    }

    // One run of the program with args; extra_env adds or replaces variables of this run.
    e2e::run_result run(const std::vector<std::string> &args, const vars_t &extra_env = {}) const
    {
        return way == way_t::wine ? target.morvin_exe(args, extra_env) : target.morvin(args, nullptr, extra_env);
    }

    std::string trace() const { return target.trace(); }
    std::map<std::string, uint64_t> counters() const { return target.counters(); }

    way_t way;
    e2e::virtual_target target;
};

using e2e::output::has_line;
using e2e::output::lines;
using e2e::output::lines_in_order;

using e2e::chip_state;
using e2e::holds;
using e2e::read_state;
using e2e::write_state;

// n bytes from a seed, never 0xFF (so every byte shows in the state file).
inline bytes_t pattern(size_t n, unsigned seed)
{
    bytes_t b(n);
    uint32_t x = seed * 2654435761u + 12345u;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        b[i] = (uint8_t)((x >> 16) % 0xFF);
    }
    return b;
}

// Writes a HEX file into the target's folder; returns its name for the command line.
inline std::string hex_file(const ftdi_target &t, const std::string &name, const runs_t &runs)
{
    return t.file_arg(e2e::hex_file(t, name, runs));
}

// The MPSSE and USB lines of the virtual FT2232's trace, in order (the chip's lines left out).
inline std::vector<std::string> usb_lines(const std::string &trace)
{
    std::vector<std::string> result;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, 6, "mpsse ") == 0 || line.compare(0, 4, "usb ") == 0)
            result.push_back(line);
    }
    return result;
}

}  // namespace ftdi_e2e
