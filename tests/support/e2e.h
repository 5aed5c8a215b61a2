// Runs the built morvin against the virtual target through the drop-in driver
// libraries, natively or (the Windows build) under Wine.
#pragma once

#include <gtest/gtest.h>

#include "support/hex_text.h"
#include "support/windows_build.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace e2e {

struct run_result {
    int status = -1;       // exit status, or 128 + signal
    std::string out;       // standard output (CR LF folded to LF for Wine runs)
    std::string err;
    // The output after the banner (its date line changes).
    std::string body() const
    {
        size_t at = out.find("Command:\n");
        return at == std::string::npos ? out : out.substr(at);
    }
    bool has(const std::string &text) const { return out.find(text) != std::string::npos; }
};

inline std::string read_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_text(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The folder's file names, sorted.
inline std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline bool file_exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline bool sanitizer_build()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

// The lines of a text, without their line ends.
inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// The virtual parallel port that native runs reach, from MORVIN_E2E_PORT: "dlportio" (the
// default: no parport device, so the drop-in library stands in) or "ppdev" (the kernel's
// parport devices, LD_PRELOADed). The same suites run over both.
enum class port_kind { dlportio, ppdev };

inline port_kind port_variant()
{
    const char *v = getenv("MORVIN_E2E_PORT");
    std::string name = v ? v : "";
    if (name == "ppdev")
        return port_kind::ppdev;
    if (!name.empty() && name != "dlportio")
        ADD_FAILURE() << "MORVIN_E2E_PORT: unknown port '" << name << "'";
    return port_kind::dlportio;
}

inline bool over_ppdev()
{
    return port_variant() == port_kind::ppdev;
}

// The ppdev stand-in; every native run preloads it, so that the host's own ports stay out.
inline std::string ppdev_interposer()
{
    std::string path = std::string(MORVIN_BUILD_DIR) + "/vtarget/libvtppdev.so";
    if (!file_exists(path))
        ADD_FAILURE() << path << " missing";
    return path;
}

// Variables of a native run: the interposer and its ports. Over ppdev the chip hangs on
// parport0 at LPT2's base (or at VT_LPT_BASE, where the library would answer); else there
// is no parport at all.
inline void attach_port(std::map<std::string, std::string> &env)
{
    env["LD_PRELOAD"] = ppdev_interposer();
    if (sanitizer_build()) {
        // the preloaded interposer comes before the sanitizer's run-time library
        const char *asan = getenv("ASAN_OPTIONS");
        env["ASAN_OPTIONS"] = std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
    }
    if (env.count("VT_PARPORTS"))
        return;
    if (!over_ppdev()) {
        env["VT_PARPORTS"] = "";
        return;
    }
    auto base = env.find("VT_LPT_BASE");
    env["VT_PARPORTS"] = "0@" + (base == env.end() ? std::string("278") : base->second);
}

// Bytes of a HEX file as address -> value (data records, types 02 and 04).
inline std::map<uint32_t, uint8_t> hex_bytes(const std::string &path)
{
    std::map<uint32_t, uint8_t> bytes;
    std::istringstream in(read_text(path));
    std::string line;
    uint32_t base = 0;
    while (std::getline(in, line)) {
        if (line.size() < 11 || line[0] != ':')
            continue;
        auto byte = [&](size_t i) { return (uint8_t)std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16); };
        unsigned n = byte(0), type = byte(3);
        uint32_t address = (byte(1) << 8) | byte(2);
        if (type == 0)
            for (unsigned i = 0; i < n; i++)
                bytes[base + address + i] = byte(4 + i);
        else if (type == 4)
            base = (uint32_t)((byte(4) << 8) | byte(5)) << 16;
        else if (type == 2)
            base = (uint32_t)((byte(4) << 8) | byte(5)) << 4;
        else if (type == 1)
            break;
    }
    return bytes;
}

// How a program is started: its environment starts empty or drops some inherited
// variables, Wine's CR LF line ends are folded, and a callback may watch it run.
struct spawn_options {
    bool clear_env = false;
    std::vector<std::string> unset;
    bool fold_crlf = false;
    std::function<void(pid_t, int)> while_running;
    std::string input;  // file on standard input; /dev/null when empty
    // Standard input a terminal (a pseudo-terminal) instead; once the output shows
    // console_prompt, console_keys are typed at it.
    bool console = false;
    std::string console_prompt;
    std::string console_keys;
};

// The output file so far holds text, or the time ran out.
inline bool output_shows(int out_fd, const std::string &text, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string seen;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < end) {
        ssize_t n = pread(out_fd, buffer, sizeof buffer, (off_t)seen.size());
        if (n > 0) {
            seen.append(buffer, (size_t)n);
            if (seen.find(text) != std::string::npos)
                return true;
            continue;
        }
        usleep(2000);
    }
    return false;
}

// Runs argv with env over the inherited environment; stdin is /dev/null, a file or a terminal.
inline run_result spawn_program(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                                const spawn_options &options)
{
    run_result result;
    std::string out_path = std::string(P_tmpdir) + "/morvin-e2e-out-XXXXXX";
    std::string err_path = std::string(P_tmpdir) + "/morvin-e2e-err-XXXXXX";
    int out_fd = mkstemp(&out_path[0]);
    int err_fd = mkstemp(&err_path[0]);
    int terminal = -1;
    std::string terminal_name;
    if (options.console) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY);
        if (terminal < 0 || grantpt(terminal) != 0 || unlockpt(terminal) != 0 || ptsname(terminal) == nullptr) {
            ADD_FAILURE() << "no pseudo-terminal for the console input";
            return result;
        }
        terminal_name = ptsname(terminal);
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        std::string input = options.input.empty() ? "/dev/null" : options.input;
        if (options.console)
            input = terminal_name;
        int input_fd = open(input.c_str(), O_RDONLY);
        dup2(input_fd, 0);
        if (options.clear_env)
            clearenv();
        for (auto &name : options.unset)
            unsetenv(name.c_str());
        for (auto &v : env)
            setenv(v.first.c_str(), v.second.c_str(), 1);
        std::vector<char *> args;
        for (auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (options.console) {
        EXPECT_TRUE(output_shows(out_fd, options.console_prompt, 20000)) << "no prompt " << options.console_prompt;
        EXPECT_EQ(write(terminal, options.console_keys.data(), options.console_keys.size()),
                  (ssize_t)options.console_keys.size());
    }
    if (options.while_running)
        options.while_running(pid, out_fd);
    int status = 0;
    waitpid(pid, &status, 0);
    if (terminal >= 0)
        close(terminal);
    close(out_fd);
    close(err_fd);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = read_text(out_path);
    result.err = read_text(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    if (options.fold_crlf) {
        std::string folded;
        for (size_t i = 0; i < result.out.size(); i++)
            if (!(result.out[i] == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n'))
                folded += result.out[i];
        result.out = folded;
    }
    return result;
}

// A virtual chip with its own folder: state file, counters, trace.
class virtual_target {
public:
    // chip: any of the 103 names; vars: more VT_* settings (VT_CLOCK_KHZ, VT_CABLE, VT_FAULT, ...).
    explicit virtual_target(const std::string &chip, std::map<std::string, std::string> vars = {})
        : vars_(std::move(vars))
    {
        char pattern[] = "/tmp/morvin-e2e-XXXXXX";
        dir = mkdtemp(pattern);
        vars_["VT_CHIP"] = chip;
        // The port's cycle must stay above what one access costs the host, as a real
        // port's does, or the measured cycle overstates later, faster accesses and
        // SCK phases come out short: sanitizer builds cost a few hundred ns an access.
        vars_.emplace("VT_PORT_CYCLE_NS", sanitizer_build() ? "1000" : "250");
        vars_.emplace("VT_STATE", dir + "/chip.state");
        vars_.emplace("VT_COUNTERS", dir + "/counters.txt");
        vars_.emplace("VT_TRACE", dir + "/trace.txt");
    }
    ~virtual_target()
    {
        std::string command = "rm -rf '" + dir + "'";
        if (system(command.c_str()) != 0)
            ADD_FAILURE() << "could not remove " << dir;
    }
    virtual_target(const virtual_target &) = delete;
    virtual_target &operator=(const virtual_target &) = delete;

    void set(const std::string &name, const std::string &value) { vars_[name] = value; }
    void unset(const std::string &name) { vars_.erase(name); }
    std::string path(const std::string &name) const { return dir + "/" + name; }

    // Counters of the last run (key=value lines written when the libraries unload).
    std::map<std::string, uint64_t> counters() const
    {
        std::map<std::string, uint64_t> result;
        std::istringstream in(read_text(path("counters.txt")));
        std::string line;
        while (std::getline(in, line)) {
            size_t eq = line.find_first_of("= ");
            if (eq != std::string::npos)
                result[line.substr(0, eq)] = std::stoull(line.substr(line.find_first_not_of("= ", eq)));
        }
        return result;
    }
    std::string trace() const { return read_text(path("trace.txt")); }

    // The folder the native program loads its libraries from (the native build's
    // drop-ins unless set), and inherited variables no run of this target sees.
    void set_library_path(const std::string &dir) { library_path_ = dir; }
    // A file on the standard input of the following runs (none when empty).
    void set_input(const std::string &path) { input_ = path; }
    // The native program to run (the build's morvin unless set, e.g. an installed copy).
    void set_program(const std::string &path) { program_ = path; }
    void drop_inherited(const std::vector<std::string> &names) { dropped_ = names; }

    // The variables a native run of this target sees (for programs started
    // some other way, through a shell or on a terminal).
    std::map<std::string, std::string> environment() const
    {
        std::map<std::string, std::string> env = vars_;
        env["LD_LIBRARY_PATH"] = library_path_;
        return env;
    }

    // Runs the native program with the drop-in libraries; extra adds or replaces
    // variables of this run only.
    run_result morvin(const std::vector<std::string> &args,
                      const std::function<void(pid_t, int)> &while_running = nullptr,
                      const std::map<std::string, std::string> &extra = {}) const
    {
        spawn_options options;
        options.while_running = while_running;
        options.input = input_;
        return spawn({program_}, args, {{"LD_LIBRARY_PATH", library_path_}}, extra, options, true);
    }

    // The same with standard input a terminal at which keys are typed once the output
    // shows prompt.
    run_result morvin_at_console(const std::vector<std::string> &args, const std::string &prompt,
                                 const std::string &keys) const
    {
        std::vector<std::string> argv = {program_};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> env = vars_;
        env["LD_LIBRARY_PATH"] = library_path_;
        spawn_options options;
        options.unset = dropped_;
        options.console = true;
        options.console_prompt = prompt;
        options.console_keys = keys;
        return spawn_program(argv, env, options);
    }

    // Runs the Windows build under Wine with the drop-in DLLs of that build (they sit
    // beside morvin.exe).
    run_result morvin_exe(const std::vector<std::string> &args,
                          const std::map<std::string, std::string> &extra = {}) const
    {
        spawn_options options;
        options.fold_crlf = true;
        return spawn({"wine", windows_build() + "/morvin.exe"}, args, {{"WINEDEBUG", "-all"}}, extra, options, false);
    }

    std::string dir;

private:
    // command and args with this target's variables, then own (the way's), then extra;
    // a native run reaches the virtual port through the interposer.
    run_result spawn(std::vector<std::string> argv, const std::vector<std::string> &args,
                     const std::map<std::string, std::string> &own, const std::map<std::string, std::string> &extra,
                     spawn_options options, bool native) const
    {
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> env = vars_;
        for (auto &v : own)
            env[v.first] = v.second;
        for (auto &v : extra)
            env[v.first] = v.second;
        if (native)
            attach_port(env);
        options.unset = dropped_;
        return spawn_program(argv, env, options);
    }

    std::map<std::string, std::string> vars_;
    std::string library_path_ = std::string(MORVIN_BUILD_DIR) + "/vtarget";
    std::string program_ = MORVIN_EXE;
    std::vector<std::string> dropped_;
    std::string input_;
};

// From a while_running callback: waits until the program's output so far holds
// text, or the time runs out.
inline bool wait_for_text(int out_fd, const std::string &text, int timeout_ms)
{
    return output_shows(out_fd, text, timeout_ms);
}

// Settings of a virtual chip clocked at khz, on a port of the default cycle.
inline std::map<std::string, std::string> clocked(const std::string &khz, std::map<std::string, std::string> more = {})
{
    more["VT_CLOCK_KHZ"] = khz;
    return more;
}

inline std::map<std::string, std::string> clocked(unsigned khz)
{
    return clocked(std::to_string(khz));
}

}  // namespace e2e
