// High-resolution timer, console interrupt, number formatting.
#pragma once

#include <cstddef>
#include <cstdint>

class os_timer_t {
public:
    os_timer_t();
    virtual ~os_timer_t();

    void start();
    void stop();
    long double elapsed_ms() const;

    void set_wait(float milliseconds);
    bool expired() const;
    void wait();

private:
    bool running;
    int64_t accumulated;
    int64_t started;
    bool short_wait;
    int64_t wait_start;
    int64_t wait_counts;
};

// The process-wide timer (the memory passes time themselves with it).
os_timer_t &process_timer();

// Console interrupt: ends the run with status 80 when Ctrl-C etc. arrived.
void poll_user_break();
// True while no interrupt is pending (installs the handler like the poll); for
// waits in the platform layer, which then end so the poll can report it.
bool no_user_break();
const char *signal_name(int signal_number);

// A run's hold on the console interrupt: the run starts from a clear flag, so
// an interrupt left over from an earlier run in the same process is not
// reported again. The handler itself is still installed by the first poll.
class user_break_scope_t {
public:
    user_break_scope_t();
    user_break_scope_t(const user_break_scope_t &) = delete;
    user_break_scope_t &operator=(const user_break_scope_t &) = delete;
};

// Unit indices: time "s","ms","us","ns"; frequency "GHz","MHz","kHz","Hz".
// A caller's buffer must hold format_buffer_size characters.
constexpr size_t format_buffer_size = 64;
const char *format_time(long double value, int unit_index, char *buffer = nullptr);
const char *format_frequency(long double value, int unit_index, char *buffer = nullptr);
