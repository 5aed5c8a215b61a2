// Every pass of a run against every fault a run meets: the user's Ctrl-C, a chip
// that loses step, writes that never finish and a short USB read. Each fault is
// placed in the middle of its pass by the chip's command count, taken from a clean
// run of the same command. Whatever happens, the run ends with the fault's status,
// the chip is released, and the EEPROM is still on the chip or complete in a
// rescue file.
#include <fcntl.h>  // e2e.h calls open()
#include <unistd.h>

#include "support/chip_state.h"
#include "support/e2e.h"
#include "support/output_lines.h"

#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using e2e::bytes_t;
using e2e::runs_t;

enum class fault_t { interrupt, lost_step, stuck_write, usb_short_read };
enum class pass_t { save, erase, blank_check, write_back, program, verify, read, fuses, lock };

const char *fault_name(fault_t f)
{
    const char *names[] = {"interrupt", "lost_step", "stuck_write", "usb_short_read"};
    return names[(int)f];
}

const char *pass_name(pass_t p)
{
    const char *names[] = {"save", "erase", "blank_check", "write_back", "program",
                           "verify", "read", "fuses", "lock"};
    return names[(int)p];
}

// One command of the chip's trace: what it did and whether the chip was in programming mode.
struct command_t {
    std::string note;
    bool enabled;
};

std::vector<command_t> trace_commands(const std::string &trace)
{
    std::vector<command_t> commands;
    std::istringstream in(trace);
    std::string line;
    while (std::getline(in, line)) {
        size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos)
            continue;  // the FT2232's own lines
        // "<time> ms  AC 53 00 00 -> 00 AC 53 00  pgm_enable": the note follows the reply's 4 bytes
        std::string note = line.size() > arrow + 4 + 12 ? line.substr(arrow + 4 + 12) : "";
        note.erase(0, note.find_first_not_of(' '));
        commands.push_back({note, note != "not in programming mode"});
    }
    return commands;
}

bool starts(const std::string &note, const char *prefix)
{
    return note.compare(0, strlen(prefix), prefix) == 0;
}

bool is_flash_read(const std::string &n) { return starts(n, "flash_read"); }
bool is_write(const std::string &n)
{
    return starts(n, "flash_load") || starts(n, "flash_write") || starts(n, "eeprom_write") ||
           starts(n, "eeprom_load");
}

// The commands of a pass in a clean run: [first, first + count).
struct span_t {
    size_t first = 0, count = 0;
};

span_t find_pass(pass_t pass, const std::vector<command_t> &c)
{
    auto find = [&](size_t from, const std::function<bool(const std::string &)> &what) {
        for (size_t i = from; i < c.size(); i++)
            if (what(c[i].note))
                return i;
        return c.size();
    };
    auto run_of = [&](size_t from, const std::function<bool(const std::string &)> &what) {
        span_t s;
        s.first = find(from, what);
        while (s.first + s.count < c.size() && what(c[s.first + s.count].note))
            s.count++;
        return s;
    };
    size_t erase = find(0, [](const std::string &n) { return n == "chip_erase"; });
    switch (pass) {
    case pass_t::save:
        return run_of(0, [](const std::string &n) { return n == "eeprom_read"; });
    case pass_t::erase:
        return {erase, erase < c.size() ? 1u : 0u};
    case pass_t::blank_check: {
        // the code and data reads after the erase, up to the write-back
        span_t s;
        s.first = find(erase, is_flash_read);
        size_t end = find(s.first, [](const std::string &n) { return starts(n, "eeprom_write"); });
        s.count = end - s.first;
        return s;
    }
    case pass_t::write_back:
        return run_of(erase, [](const std::string &n) { return starts(n, "eeprom_write"); });
    case pass_t::program: {
        span_t s;
        s.first = find(erase, [](const std::string &n) { return starts(n, "flash_load") || starts(n, "flash_write"); });
        size_t end = s.first;
        for (size_t i = s.first; i < c.size(); i++)
            if (starts(c[i].note, "flash_load") || starts(c[i].note, "flash_write"))
                end = i + 1;
        s.count = end - s.first;
        return s;
    }
    case pass_t::verify: {
        size_t last_write = 0;
        for (size_t i = 0; i < c.size(); i++)
            if (is_write(c[i].note))
                last_write = i;
        return run_of(last_write, is_flash_read);
    }
    case pass_t::read:
        return run_of(0, [](const std::string &n) { return is_flash_read(n) || n == "eeprom_read"; });
    case pass_t::fuses:
        return run_of(0, [](const std::string &n) { return starts(n, "fuse") && n.find("_write") != std::string::npos; });
    case pass_t::lock:
        return run_of(0, [](const std::string &n) { return n == "lock_write"; });
    }
    return {};
}

// Commands in programming mode up to and including index i (the chip's count for
// lose_after, stuck_after and interrupt_after).
uint64_t enabled_count(const std::vector<command_t> &c, size_t i)
{
    uint64_t n = 0;
    for (size_t k = 0; k <= i; k++)
        n += c[k].enabled;
    return n;
}

std::string fault_setting(fault_t fault, const std::vector<command_t> &c, size_t target)
{
    uint64_t enabled = enabled_count(c, target);
    switch (fault) {
    case fault_t::interrupt:
        return "interrupt_after=" + std::to_string(enabled);
    case fault_t::lost_step:
        // the lost edge garbles the next command: the target
        return "lose_after=" + std::to_string(enabled - 1);
    case fault_t::stuck_write:
        return "stuck_after=" + std::to_string(enabled - 1);
    case fault_t::usb_short_read:
        return "usb_short_read_after=" + std::to_string(target + 1);
    }
    return "";
}

int fault_status(fault_t fault, pass_t pass)
{
    switch (fault) {
    case fault_t::interrupt: return 80;
    case fault_t::lost_step: return 40;
    case fault_t::usb_short_read: return 70;
    case fault_t::stuck_write:
        // a read writes nothing; the lock write is the run's last, and the chip takes its
        // bits at once: read back, they are in effect
        return pass == pass_t::read || pass == pass_t::lock ? 0 : 10;
    }
    return -1;
}

bytes_t pattern(size_t n, unsigned seed)
{
    bytes_t b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = (uint8_t)((seed + i * 13) % 0xFF);
    return b;
}

const runs_t user_flash = {{0x0000, pattern(256, 7)}};
const runs_t user_eeprom = {{0x0000, pattern(64, 101)}};

class fault_matrix : public ::testing::TestWithParam<std::tuple<pass_t, fault_t>> {};

TEST_P(fault_matrix, nothing_is_lost_and_the_status_tells)
{
    pass_t pass = std::get<0>(GetParam());
    fault_t fault = std::get<1>(GetParam());
    bool usb = fault == fault_t::usb_short_read;

    e2e::virtual_target chip("tiny13", e2e::clocked("9600"));
    std::string work = chip.path("work");
    ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
    std::string code = e2e::hex_file(chip, "code.hex", {{0x0000, pattern(200, 3)}});
    std::vector<std::string> args = {"+tiny13", "-o9600kHz"};
    if (usb) {
        args.push_back("-aft2232");
        chip.set("MORVIN_FTDI_LIBRARY", "d2xx");
        chip.set("VT_USB_LATENCY_US", "100");
    }
    std::string code_out = work + "/code_out.hex", data_out = work + "/data_out.hex";
    if (pass == pass_t::read)
        args.insert(args.end(), {"-r", code_out, data_out});
    else
        args.insert(args.end(), {"-e-", "-b", "-w", "-v", code, "-fBODLEVEL=2", "-l1"});

    auto preset = [&] { e2e::write_text(chip.path("chip.state"), e2e::state_text("tiny13", user_flash, user_eeprom, "")); };
    auto run_in_work = [&] {
        char here[4096];
        EXPECT_NE(getcwd(here, sizeof here), nullptr);
        EXPECT_EQ(chdir(work.c_str()), 0);
        auto r = chip.morvin(args);
        EXPECT_EQ(chdir(here), 0);
        return r;
    };

    // the clean run shows where the pass lies
    preset();
    auto clean = run_in_work();
    ASSERT_EQ(clean.status, 0) << clean.out;
    auto commands = trace_commands(chip.trace());
    span_t span = find_pass(pass, commands);
    ASSERT_GT(span.count, 0u) << pass_name(pass) << " not found in the trace";
    size_t target = span.first + span.count / 2;
    for (auto &name : e2e::names_in(work))
        unlink((work + "/" + name).c_str());

    preset();
    unlink(chip.path("trace.txt").c_str());
    std::string setting = fault_setting(fault, commands, target);
    chip.set("VT_FAULT", setting);
    auto r = run_in_work();
    std::string where = std::string(pass_name(pass)) + " x " + fault_name(fault) + " (" + setting + ", command " +
                        commands[target].note + ")\n";

    EXPECT_EQ(r.status, fault_status(fault, pass)) << where << r.out;
    EXPECT_TRUE(e2e::output::has_line(r, "Reset pin released")) << where << r.out;
    if (usb) {
        EXPECT_TRUE(e2e::output::has_line(r, "Adapter disabled")) << where << r.out;
    }
    if (r.status != 0) {
        EXPECT_FALSE(r.has("Total time")) << where << r.out;
    }

    // the EEPROM: on the chip, or whole in the file the run names
    e2e::chip_state state = e2e::read_state(chip);
    bool on_chip = (bool)e2e::holds(state.eeprom, user_eeprom) && state.eeprom.size() == 64;
    std::vector<std::string> files = e2e::names_in(work);
    if (!on_chip) {
        std::string rescue = work + "/(eeprom).sav";
        ASSERT_TRUE(e2e::file_exists(rescue)) << where << "EEPROM lost, no rescue file\n" << r.out;
        EXPECT_TRUE(r.has("EEPROM content saved to HEX-file \"(eeprom).sav\"")) << where << r.out;
        auto saved = e2e::hex_bytes(rescue);
        EXPECT_EQ(saved.size(), 64u) << where;
        EXPECT_TRUE(e2e::holds(std::map<uint32_t, uint8_t>(saved.begin(), saved.end()), user_eeprom)) << where;
    }
    if (r.status == 0 && pass != pass_t::read) {
        // success only when every step is on the chip
        EXPECT_TRUE(e2e::holds(state.flash, {{0x0000, pattern(200, 3)}})) << where;
        EXPECT_EQ(state.lock & 0x03, 0x02u) << where << "not locked to level 1";
        EXPECT_EQ(state.fuses[1] & 0x06, 0x04u) << where << "BODLEVEL not 2";
    }
    if (pass == pass_t::read) {
        // a failed read leaves no file, not even a part of one; a finished one is whole
        if (r.status == 0) {
            EXPECT_EQ(e2e::hex_bytes(code_out).size(), 1024u) << where;
            EXPECT_TRUE(e2e::holds(state.flash, user_flash)) << where;
        } else {
            EXPECT_EQ(files.size(), 0u) << where << files.front();
        }
    }
}

std::string combination_name(const ::testing::TestParamInfo<std::tuple<pass_t, fault_t>> &info)
{
    return std::string(pass_name(std::get<0>(info.param))) + "_" + fault_name(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(passes, fault_matrix,
                         ::testing::Combine(::testing::Values(pass_t::save, pass_t::erase, pass_t::blank_check,
                                                              pass_t::write_back, pass_t::program, pass_t::verify,
                                                              pass_t::read, pass_t::fuses, pass_t::lock),
                                            ::testing::Values(fault_t::interrupt, fault_t::lost_step,
                                                              fault_t::stuck_write, fault_t::usb_short_read)),
                         combination_name);

}  // namespace
