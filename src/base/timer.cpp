// Stopwatch, delays and time-outs on the high-resolution counter, and the
// console interrupt turned into a flag that long operations poll.
#include "base/timer.h"

#include <csignal>
#include <cstdint>

#include "os/os.h"
#include "base/messages.h"

namespace {
bool timer_ready = false;
float counts_per_ms = 0.0f;
}  // namespace

os_timer_t::os_timer_t() : running(false), short_wait(false)
{
    if (!timer_ready) {
        int64_t frequency = 0;
        if (!os::counter_frequency(&frequency) || frequency <= 0) {
            msg_print(msg_out, MSG_ERROR, "Can't create performance timer\n");
            throw win32_error(EXIT_USAGE);
        }
        counts_per_ms = float(frequency) * 0.001f;
        timer_ready = true;
    }
    accumulated = 0;
    started = 0;
    wait_start = 0;
    wait_counts = 0;
}

os_timer_t::~os_timer_t() = default;

void os_timer_t::start()
{
    accumulated = 0;
    started = os::counter();
    running = true;
}

void os_timer_t::stop()
{
    if (running)
        accumulated += os::counter() - started;
    running = false;
}

long double os_timer_t::elapsed_ms() const
{
    int64_t counts = accumulated;
    if (running)
        counts += os::counter() - started;
    return (long double)counts / counts_per_ms;
}

void os_timer_t::set_wait(float milliseconds)
{
    wait_start = os::counter();
    long double counts = (long double)milliseconds * counts_per_ms;
    // Keep absurd delays inside the 64-bit range instead of overflowing.
    if (!(counts == counts))
        wait_counts = 0;
    else if (counts >= 9.0e18L)
        wait_counts = INT64_C(9000000000000000000);
    else if (counts <= -9.0e18L)
        wait_counts = -INT64_C(9000000000000000000);
    else
        wait_counts = int64_t(counts);
    short_wait = milliseconds < 1.0f;
}

bool os_timer_t::expired() const
{
    return os::counter() - wait_start >= wait_counts;
}

void os_timer_t::wait()
{
    wait_start = os::counter();
    if (short_wait) {
        while (!expired()) {
        }
        return;
    }
    // Sleep through all but the last stretch that a sleep may overshoot, then yield on the
    // counter to the end: the wait still ends on the counter, and a long wait leaves the
    // processor to others instead of spinning it.
    const int64_t margin = int64_t(float(os::sleep_overshoot_ms() + 1) * counts_per_ms);
    while (!expired()) {
        int64_t left = wait_counts - (os::counter() - wait_start);
        if (left > margin) {
            double ms = double(left - margin) / double(counts_per_ms);
            os::sleep_ms(ms < 1000.0 ? unsigned(ms) : 1000u);
        } else
            os::yield();
    }
}

os_timer_t &process_timer()
{
    static os_timer_t timer;
    return timer;
}

namespace {
// Built during static initialisation, so the counter is measured at start-up.
os_timer_t &startup_timer = process_timer();
}  // namespace

// ---- console interrupt ------------------------------------------------------

namespace {
volatile sig_atomic_t interrupted = 0;
volatile sig_atomic_t last_signal = 0;
bool handlers_installed = false;

void on_break_signal(int signal_number)
{
    interrupted = 1;
    last_signal = signal_number;
    os::reinstall_signal(signal_number, on_break_signal);
}

struct break_handlers_t {
    break_handlers_t()
    {
        os::install_break_handlers(on_break_signal);
        handlers_installed = true;
    }
    ~break_handlers_t()
    {
        if (handlers_installed) {
            os::restore_break_handlers();
            handlers_installed = false;
        }
    }
};
}  // namespace

const char *signal_name(int signal_number)
{
    switch (signal_number) {
    case os::signal_interrupt:
        return "SIGINT";
    case os::signal_break:
        return "SIGBREAK";
    case os::signal_terminate:
        return "SIGTERM";
    case os::signal_hangup:
        return "SIGHUP";
    case os::signal_quit:
        return "SIGQUIT";
    default:
        return "unknown signal";
    }
}

namespace {
void install_break_handlers_once()
{
    static break_handlers_t handlers;
    (void)handlers;
}
}  // namespace

bool no_user_break()
{
    install_break_handlers_once();
    return !interrupted;
}

void poll_user_break()
{
    install_break_handlers_once();
    if (interrupted) {
        interrupted = 0;
        fail(EXIT_USER_BREAK, "\nTerminated by user (%s)\n\n", signal_name(last_signal));
    }
}

user_break_scope_t::user_break_scope_t()
{
    interrupted = 0;
    last_signal = 0;
}
