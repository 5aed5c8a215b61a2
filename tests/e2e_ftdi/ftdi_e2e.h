// Whole runs of the program with -aft2232 over the virtual FT2232, through each way of
// reaching it: D2XX and libftdi1 natively, D2XX in the Windows build under Wine.
#pragma once

#include <fcntl.h>  // e2e.h calls open()
#include <unistd.h>

#include "support/e2e.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace ftdi_e2e {

using bytes_t = std::vector<uint8_t>;
using runs_t = std::map<uint32_t, bytes_t>;
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

// The Windows build with its drop-in D2XX: empty when there is none configured. A build
// folder that is configured but lacks the program or the DLL is a failure, not a skip.
inline bool wine_ready(std::string *why)
{
    std::string win = e2e::windows_build();
    if (win.empty()) {
        *why = "no Windows build configured (MORVIN_WIN_BUILD is empty)";
        return false;
    }
    for (const char *file : {"/morvin.exe", "/ftd2xx.dll"})
        if (!e2e::file_exists(win + file))
            ADD_FAILURE() << "MORVIN_WIN_BUILD is " << win << " but " << win + file << " is missing";
    return true;
}

// A virtual chip behind the virtual FT2232, run through one of the three ways.
class ftdi_target {
public:
    ftdi_target(way_t way_, const std::string &chip, const vars_t &vars = fast_vars())
        : way(way_), target(chip, vars), vars_(vars)
    {
        vars_["VT_CHIP"] = chip;
        vars_.emplace("VT_STATE", target.path("chip.state"));
        vars_.emplace("VT_COUNTERS", target.path("counters.txt"));
        vars_.emplace("VT_TRACE", target.path("trace.txt"));
    }

    void set(const std::string &name, const std::string &value)
    {
        vars_[name] = value;
        target.set(name, value);
    }
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
        if (way == way_t::wine) {
            vars_t env = vars_;
            for (auto &v : extra_env)
                env[v.first] = v.second;
            return run_wine(args, env);
        }
        vars_t env = vars_;
        env["MORVIN_FTDI_LIBRARY"] = way == way_t::d2xx ? "d2xx" : "libftdi";
        env["LD_LIBRARY_PATH"] = native_library_dir(way);
        for (auto &v : extra_env)
            env[v.first] = v.second;
        std::vector<std::string> argv = {MORVIN_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        return spawn(argv, env);
    }

    std::string trace() const { return target.trace(); }
    std::map<std::string, uint64_t> counters() const { return target.counters(); }

    way_t way;
    e2e::virtual_target target;

private:
    e2e::run_result run_wine(const std::vector<std::string> &args, const vars_t &env) const
    {
        std::vector<std::string> argv = {"wine", e2e::windows_build() + "/morvin.exe"};
        argv.insert(argv.end(), args.begin(), args.end());
        vars_t wine_env = env;
        wine_env["WINEDEBUG"] = "-all";
        e2e::run_result r = spawn(argv, wine_env);
        std::string folded;
        for (size_t i = 0; i < r.out.size(); i++)
            if (!(r.out[i] == '\r' && i + 1 < r.out.size() && r.out[i + 1] == '\n'))
                folded += r.out[i];
        r.out = folded;
        return r;
    }

    // Runs argv with exactly the VT_* variables given (none left over from the caller).
    static e2e::run_result spawn(const std::vector<std::string> &argv, const vars_t &env)
    {
        e2e::run_result result;
        std::string out_path = std::string(P_tmpdir) + "/morvin-ftdi-out-XXXXXX";
        std::string err_path = std::string(P_tmpdir) + "/morvin-ftdi-err-XXXXXX";
        int out_fd = mkstemp(&out_path[0]);
        int err_fd = mkstemp(&err_path[0]);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out_fd, 1);
            dup2(err_fd, 2);
            int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
            for (const char *name : {"VT_FTDI_DEVICES", "VT_FAULT", "VT_USB_LATENCY_US", "VT_FTDI_RESET",
                                     "VT_FTDI_ENABLE", "MORVIN_FTDI_LIBRARY", "MORVIN_CONFIG_PATH"})
                unsetenv(name);
            for (auto &v : env)
                setenv(v.first.c_str(), v.second.c_str(), 1);
            std::vector<char *> args;
            for (auto &a : argv)
                args.push_back(const_cast<char *>(a.c_str()));
            args.push_back(nullptr);
            execvp(args[0], args.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        close(out_fd);
        close(err_fd);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = e2e::read_text(out_path);
        result.err = e2e::read_text(err_path);
        unlink(out_path.c_str());
        unlink(err_path.c_str());
        return result;
    }

    vars_t vars_;
};

// Output lines after the command echo, with the progress dots and timing figures cut off
// ("... done (1.2ms)" -> " done").
inline std::vector<std::string> lines(const e2e::run_result &r)
{
    std::vector<std::string> result;
    std::istringstream in(r.body());
    std::string line;
    std::getline(in, line);  // "Command:"
    std::getline(in, line);  // the arguments
    while (std::getline(in, line)) {
        line.erase(0, line.find_first_not_of('.') == std::string::npos ? line.size() : line.find_first_not_of('.'));
        size_t at = line.find(" done (");
        if (at != std::string::npos)
            line = line.substr(0, at + 5);
        if (line.compare(0, 11, "Total time ") == 0)
            line = "Total time";
        result.push_back(line);
    }
    return result;
}

inline bool has_line(const e2e::run_result &r, const std::string &line)
{
    auto all = lines(r);
    return std::find(all.begin(), all.end(), line) != all.end();
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

// The chip's state file: fuses, lock byte and the non-FF bytes of both memories.
struct chip_state {
    unsigned fuses[3] = {0xFF, 0xFF, 0xFF};
    unsigned lock = 0xFF;
    std::map<uint32_t, uint8_t> flash, eeprom;

    static uint8_t at(const std::map<uint32_t, uint8_t> &m, uint32_t a)
    {
        auto it = m.find(a);
        return it == m.end() ? 0xFF : it->second;
    }
};

inline chip_state read_state(const ftdi_target &t)
{
    chip_state s;
    std::istringstream in(e2e::read_text(t.path("chip.state")));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string tag;
        ls >> tag;
        if (tag == "fuses") {
            ls >> std::hex >> s.fuses[0] >> s.fuses[1] >> s.fuses[2];
        } else if (tag == "lock") {
            ls >> std::hex >> s.lock;
        } else if (tag == "flash" || tag == "eeprom") {
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

// Presets the chip before a run; fuses and lock bits keep their factory values unless
// extra_lines give them.
inline void write_state(const ftdi_target &t, const std::string &chip, const runs_t &flash, const runs_t &eeprom,
                        const std::string &extra_lines = "")
{
    std::string text = "vtarget-chip-state 1\nchip " + chip + "\n" + extra_lines;
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
    e2e::write_text(t.path("chip.state"), text + "end\n");
}

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
    std::string path = t.path(name);
    e2e::write_text(path, e2e::hex_text(runs));
    return t.file_arg(path);
}

// Every byte of runs as held in a byte map (missing counts as 0xFF); the first difference
// goes to *where.
inline bool holds(const std::map<uint32_t, uint8_t> &m, const runs_t &runs, std::string *where)
{
    for (auto &run : runs)
        for (size_t i = 0; i < run.second.size(); i++) {
            uint32_t a = run.first + (uint32_t)i;
            uint8_t got = chip_state::at(m, a);
            if (got != run.second[i]) {
                char text[64];
                snprintf(text, sizeof text, "at 0x%X: 0x%02X instead of 0x%02X", a, got, run.second[i]);
                *where = text;
                return false;
            }
        }
    return true;
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
