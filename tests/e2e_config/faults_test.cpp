// Runs that go wrong: interrupted by the user, writes that never end, a chip
// out of step or clocked slower than the program was told, and a chip clocked
// from the XTAL pin. None may end with status 0 and wrong data.
#include "e2e_config/config_support.h"

#include <poll.h>
#include <termios.h>

#include <chrono>

using cfg::in_order;
using cfg::has_line;

namespace {

typedef std::vector<uint8_t> bytes_t;

bytes_t pattern(size_t n, unsigned seed)
{
    bytes_t bytes;
    for (size_t i = 0; i < n; i++)
        bytes.push_back((uint8_t)((i * 7 + seed) ^ (i >> 3)));
    return bytes;
}

// A failed run ends with the release line after its error, and without the total time.
void expect_released_after(const e2e::run_result &run, const std::string &error)
{
    EXPECT_TRUE(in_order(run.out, {error, "Reset pin released\n"})) << run.out;
    EXPECT_EQ(run.out.find("Total time"), std::string::npos) << run.out;
}

TEST(interrupt, ctrl_c_during_a_read_ends_it_and_releases_the_chip)
{
    // Ctrl-C, a termination request, a closed terminal or SSH session, and Ctrl-\ (quit):
    for (auto sig : std::vector<std::pair<int, std::string>>{
             {SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}}) {
        e2e::virtual_target chip("mega328P", cfg::clocked(1000));
        std::string file = chip.path("read.hex");
        bool seen = false;
        auto run = chip.morvin({"+mega328P", "-o1MHz", "-r", file}, [&](pid_t pid, int out_fd) {
            seen = e2e::wait_for_text(out_fd, "Reading CODE memory\n", 20000);
            kill(pid, sig.first);
        });
        ASSERT_TRUE(seen) << run.out;
        EXPECT_EQ(run.status, 80) << sig.second << "\n" << run.out;
        expect_released_after(run, "\nTerminated by user (" + sig.second + ")\n\n");
        EXPECT_EQ(run.out.find(" done ("), std::string::npos) << "the pass did not finish\n" << run.out;
        EXPECT_FALSE(e2e::file_exists(file)) << sig.second;
    }
}

// Output into a pipe whose reader has gone (morvin | head): the messages are
// lost, the run is not: it reads the whole chip into its file and ends well.
TEST(interrupt, a_closed_output_pipe_does_not_end_the_run)
{
    e2e::virtual_target chip("mega328P", cfg::clocked(4000));
    std::string file = chip.path("read.hex");
    e2e::spawn_options options;
    auto run = e2e::spawn_program({"bash", "-c", "\"$0\" \"$@\" | head -n 3 >/dev/null; exit ${PIPESTATUS[0]}",
                                   MORVIN_EXE, "+mega328P", "-o4MHz", "-r", file},
                                  chip.environment(), options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(e2e::hex_bytes(file).size(), 32768u);
}

// Ctrl-C while the checksum question waits for its key: the terminal gets its
// echo and line mode back before the interrupt ends the program.
TEST(interrupt, ctrl_c_at_the_checksum_question_restores_the_terminal)
{
    e2e::virtual_target chip("mega8", cfg::clocked(8000));
    std::string image = chip.path("bad.hex");
    e2e::write_text(image, ":0100000001FF\n:00000001FF\n");  // checksum should be FE

    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string slave_name = ptsname(master);
    int slave = open(slave_name.c_str(), O_RDWR | O_NOCTTY);  // keeps the settings readable afterwards
    ASSERT_GE(slave, 0);
    struct termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    ASSERT_TRUE((before.c_lflag & ECHO) && (before.c_lflag & ICANON) && (before.c_lflag & ISIG));

    std::map<std::string, std::string> env = chip.environment();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int tty = open(slave_name.c_str(), O_RDWR);  // becomes the controlling terminal
        dup2(tty, 0);
        dup2(tty, 1);
        dup2(tty, 2);
        for (auto &v : env)
            setenv(v.first.c_str(), v.second.c_str(), 1);
        execl(MORVIN_EXE, MORVIN_EXE, "+mega8", "-o8MHz", "-w", image.c_str(), (char *)nullptr);
        _exit(127);
    }
    std::string seen;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen.find("(y/N)?") == std::string::npos && std::chrono::steady_clock::now() < end) {
        struct pollfd ready = {master, POLLIN, 0};
        if (poll(&ready, 1, 100) > 0) {
            char buffer[512];
            ssize_t n = read(master, buffer, sizeof buffer);
            if (n > 0)
                seen.append(buffer, size_t(n));
        }
    }
    ASSERT_NE(seen.find("(y/N)?"), std::string::npos) << seen;
    // the key read puts the terminal in raw mode: wait for that, however slow the host
    struct termios during;
    bool raw = false;
    while (!raw && std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(tcgetattr(slave, &during), 0);
        raw = !(during.c_lflag & ICANON);
        if (!raw)
            usleep(1000);
    }
    ASSERT_TRUE(raw) << "the key read never left line mode";
    ASSERT_EQ(write(master, "\x03", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    struct termios after;
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_TRUE(after.c_lflag & ECHO);
    EXPECT_TRUE(after.c_lflag & ICANON);
    close(slave);
    close(master);
}

TEST(stuck_write, polled_writes_time_out_and_timed_writes_fail_verification)
{
    struct case_t {
        std::string chip;
        unsigned khz;
        std::string poll_error;
    };
    for (auto c : std::vector<case_t>{{"mega8", 16000, "Poll: can't write page at 0x100\n"},
                                      {"tiny13", 16000, "Poll: can't write page at 0x100\n"},
                                      {"90S8535", 8000, "Poll: can't write byte to CODE memory at 0x100\n"}}) {
        e2e::virtual_target chip(c.chip, cfg::clocked(c.khz));
        chip.set("VT_FAULT", "stuck_write");
        std::string osc = "-o" + std::to_string(c.khz / 1000) + "MHz";
        std::string image = cfg::hex_file(chip, "code.hex", {{0x100, {0x12, 0x34, 0x56, 0x78}}});
        auto run = chip.morvin({"+" + c.chip, osc, "-wp", "-v", image});
        EXPECT_EQ(run.status, 10) << c.chip << "\n" << run.out;
        EXPECT_TRUE(in_order(run.out, {"Programming CODE memory\n", c.poll_error})) << c.chip << "\n" << run.out;
        expect_released_after(run, c.poll_error);
        EXPECT_EQ(run.out.find("Verifying CODE memory"), std::string::npos);

        run = chip.morvin({"+" + c.chip, osc, "-w", "-v", image});
        EXPECT_EQ(run.status, 10) << c.chip << "\n" << run.out;
        EXPECT_TRUE(in_order(run.out, {"Programming CODE memory\n", "Verifying CODE memory\n", "failed, "}))
            << c.chip << "\n" << run.out;
        expect_released_after(run, "failed, ");
    }
}

TEST(stuck_write, eeprom_writes_time_out_too)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    chip.set("VT_FAULT", "stuck_write");
    std::string data = cfg::hex_file(chip, "data.hex", {{0x10, {0x01, 0x02}}});
    auto run = chip.morvin({"+mega8", "-o16MHz", "-wp", "-d", data});
    EXPECT_EQ(run.status, 10) << run.out;
    expect_released_after(run, "Programming DATA memory\nPoll: can't write byte to DATA memory at 0x10\n");
}

TEST(lost_step, a_chip_that_slips_mid_pass_ends_the_run_without_a_file)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    bytes_t flash = pattern(1024, 3);
    bytes_t eeprom = pattern(64, 9);
    std::string code = cfg::hex_file(chip, "code.hex", {{0, flash}});
    std::string data = cfg::hex_file(chip, "data.hex", {{0, eeprom}});
    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-v", code, "-d", data});
    ASSERT_EQ(run.status, 0) << run.out;

    // the edge is lost at various points of the flash read, then of the EEPROM read
    std::string code_out = chip.path("code_out.hex"), data_out = chip.path("data_out.hex");
    for (int after : {20, 700, 8000, 8300}) {
        chip.set("VT_FAULT", "lose_after=" + std::to_string(after));
        run = chip.morvin({"+mega8", "-o16MHz", "-r", code_out, "-d", data_out});
        EXPECT_EQ(run.status, 40) << after << "\n" << run.out;
        expect_released_after(run, "\nSynchronisation lost\n\n");
        EXPECT_FALSE(e2e::file_exists(after < 8000 ? code_out : data_out)) << after;
        unlink(code_out.c_str());
    }

    // writes: the slip shows after the pass, before anything is verified
    bytes_t other = pattern(512, 5);
    std::string next = cfg::hex_file(chip, "next.hex", {{0, other}});
    for (auto args : std::vector<std::vector<std::string>>{{"-e", "-w", next}, {"-e", "-w", "-v", next}}) {
        chip.set("VT_FAULT", "lose_after=150");
        std::vector<std::string> all = {"+mega8", "-o16MHz"};
        all.insert(all.end(), args.begin(), args.end());
        run = chip.morvin(all);
        EXPECT_EQ(run.status, 40) << run.out;
        EXPECT_TRUE(in_order(run.out, {"Programming CODE memory\n", " done (", "\nSynchronisation lost\n"})) << run.out;
        EXPECT_EQ(run.out.find("Verifying CODE memory"), std::string::npos) << run.out;
        expect_released_after(run, "\nSynchronisation lost\n\n");
    }

    // without the fault the chip reads back what it holds
    chip.unset("VT_FAULT");
    run = chip.morvin({"+mega8", "-o16MHz", "-r", code_out});
    ASSERT_EQ(run.status, 0) << run.out;
    auto bytes = e2e::hex_bytes(code_out);
    cfg::chip_state state = cfg::read_state(chip);
    ASSERT_EQ(bytes.size(), 8192u);
    for (uint32_t a = 0; a < 8192; a++)
        if (bytes[a] != state.flash_at(a)) {
            ADD_FAILURE() << "read-back differs at " << a;
            break;
        }
}

TEST(lost_step, a_chip_that_never_answers_is_given_up)
{
    for (std::string name : {"mega8", "90S8535"}) {
        e2e::virtual_target chip(name, cfg::clocked(8000));
        chip.set("VT_FAULT", "never_sync");
        std::string file = chip.path("read.hex");
        auto run = chip.morvin({"+" + name, "-o8MHz", "-r", file});
        EXPECT_EQ(run.status, 40) << name << "\n" << run.out;
        EXPECT_TRUE(in_order(run.body(), {"Command:\n", "Can't resync\n", "\nReset pin released\n"}))
            << name << "\n" << run.out;
        EXPECT_EQ(run.out.find("Device connected"), std::string::npos);
        EXPECT_FALSE(e2e::file_exists(file));
    }
}

TEST(slow_clock, a_chip_slower_than_told_never_yields_wrong_data)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    bytes_t flash = pattern(512, 1);
    std::string image = cfg::hex_file(chip, "code.hex", {{0, flash}});
    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", image});
    ASSERT_EQ(run.status, 0) << run.out;

    // far too slow a chip loses step on any host: the read ends with status 40 and no file
    std::string file = chip.path("read.hex");
    chip.set("VT_CLOCK_KHZ", "1000");
    run = chip.morvin({"+mega8", "-o16MHz", "-r", file});
    EXPECT_EQ(run.status, 40) << run.out;
    EXPECT_TRUE(has_line(run.out, "Can't resync\n") || run.has("\nSynchronisation lost\n")) << run.out;
    EXPECT_FALSE(e2e::file_exists(file));

    // a write run against a chip somewhat too slow never ends with status 0 unless it verified
    for (unsigned khz : {1000, 6000, 9000}) {
        chip.set("VT_CLOCK_KHZ", std::to_string(khz));
        std::string other = cfg::hex_file(chip, "other.hex", {{0, pattern(64, 2)}});
        run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", other});
        if (run.status == 0) {
            // a host slower than the port's cycle stretched SCK enough: then it verified
            EXPECT_TRUE(run.has("Verifying CODE memory\n passed\n")) << khz << " kHz\n" << run.out;
        } else {
            EXPECT_TRUE(run.status == 40 || run.status == 10) << khz << " kHz\n" << run.out;
            EXPECT_EQ(run.out.find("Total time"), std::string::npos) << run.out;
        }
    }
    // 1 MHz told and true programs and reads back correctly (on a fresh chip: mistimed
    // commands may have changed fuses or lock bits of the old one, as on silicon)
    e2e::virtual_target fresh("mega8", cfg::clocked(1000));
    run = fresh.morvin({"+mega8", "-o1MHz", "-e", "-w", "-v", image});
    EXPECT_EQ(run.status, 0) << run.out;
    run = fresh.morvin({"+mega8", "-o1MHz", "-r", file});
    ASSERT_EQ(run.status, 0) << run.out;
    auto bytes = e2e::hex_bytes(file);
    for (uint32_t a = 0; a < flash.size(); a++)
        ASSERT_EQ(bytes[a], flash[a]) << "at " << a;
}

TEST(xtal, a_chip_clocked_by_the_program_is_programmed_and_verified)
{
    e2e::virtual_target chip("mega8", cfg::clocked(0));
    bytes_t flash = pattern(300, 4);
    std::string image = cfg::hex_file(chip, "code.hex", {{0x40, flash}});
    auto run = chip.morvin({"+mega8", "-o0", "-e", "-w", "-v", image});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Device connected, mega8 detected\n", "Device erased\n",
                                   "Verifying CODE memory\n", " passed\n"}))
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x40, flash.size()), flash);

    bytes_t more = pattern(100, 8);
    std::string next = cfg::hex_file(chip, "next.hex", {{0x20, more}});
    run = chip.morvin({"+mega8", "-o0,4", "-e", "-w", "-v", next});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Device erased\n", "Verifying CODE memory\n", " passed\n"})) << run.out;
    cfg::chip_state state = cfg::read_state(chip);
    EXPECT_EQ(state.flash_range(0x20, more.size()), more);
    EXPECT_EQ(state.flash_at(0x20 + (uint32_t)more.size()), 0xFF) << "the erase cleared the first image";

    // the same chip without the generated clock cannot answer
    std::string file = chip.path("read.hex");
    run = chip.morvin({"+mega8", "-o8MHz", "-r", file});
    EXPECT_EQ(run.status, 40) << run.out;
    EXPECT_FALSE(e2e::file_exists(file));
}

}  // namespace
