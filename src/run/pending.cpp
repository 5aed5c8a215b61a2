// Parts of the program that are not built yet end a run that reaches them
// with a clear message and status 70.
#include "run/messages.h"
#include "run/entry.h"

int morvin_main(int, char **)
{
    return EXIT_USAGE;
}

// ---------------------------------------------------------------------------
// TEMPORARY (devices branch): minimal stand-ins for the message stream, run
// options, interrupt check, link and memory-command state, so that the device
// table and fuse code link and test before the real modules land. Delete each
// block when its module is merged.
#include <cstdarg>
#include <chrono>
#include <cstring>

#include "adapters/spi.h"
#include "run/options.h"
#include "run/timer.h"

msg_stream_t::msg_stream_t(FILE *stream, uint8_t level) : stream(stream), level(level), oem(false)
{
}
msg_stream_t msg_out(stdout, MSG_INFO);

void msg_print(msg_stream_t &out, uint8_t level, const char *format, ...)
{
    if (level > out.level || out.stream == nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(out.stream, format, args);
    va_end(args);
}

void fail(int status, const char *format, ...)
{
    if (msg_out.stream != nullptr) {
        va_list args;
        va_start(args, format);
        std::vfprintf(msg_out.stream, format, args);
        va_end(args);
    }
    throw app_error(status);
}

app_error::~app_error() {}
const char *app_error::what() const noexcept
{
    return "";
}

run_options_t run_options;

namespace {
int64_t pending_now_us()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

os_timer_t::os_timer_t()
    : running(false), accumulated(0), started(0), short_wait(false), wait_start(0), wait_counts(0)
{
}
os_timer_t::~os_timer_t() {}
void os_timer_t::start() { running = true; started = pending_now_us(); }
void os_timer_t::stop()
{
    if (running)
        accumulated += pending_now_us() - started;
    running = false;
}
long double os_timer_t::elapsed_ms() const { return accumulated / 1000.0L; }
void os_timer_t::set_wait(float milliseconds)
{
    wait_start = pending_now_us();
    wait_counts = static_cast<int64_t>(milliseconds * 1000.0f);
    short_wait = milliseconds < 1.0f;
}
bool os_timer_t::expired() const { return pending_now_us() - wait_start >= wait_counts; }
void os_timer_t::wait()
{
    wait_start = pending_now_us();
    while (!expired()) {
    }
}


void poll_user_break() {}

// END TEMPORARY (devices branch)

// ---------------------------------------------------------------------------
// TEMPORARY (image branch): file opening, the runtime-error class and the two
// platform calls of the HEX reader and writer, until the run and os modules
// land. Delete this block then.
#include <cerrno>
#include <cstdio>

#include "os/os.h"

rtl_error::~rtl_error() {}
const char *rtl_error::what() const noexcept
{
    return std::strerror(errno);
}

FILE *open_file(const char *path, const char *mode)
{
    FILE *file = std::fopen(path, mode);
    if (!file) {
        msg_print(msg_out, MSG_ERROR, "Can't open file '%s'\n", path);
        throw rtl_error(EXIT_USAGE);
    }
    return file;
}

namespace os {
int read_key_no_echo()
{
    return -1;
}
int remove_file(const char *path)
{
    return std::remove(path);
}
}  // namespace os

os_timer_t &process_timer()
{
    static os_timer_t timer;
    return timer;
}

const char *format_time(long double value, int unit_index, char *buffer)
{
    static const char *const units[] = {"s", "ms", "us", "ns"};
    static char text[128];
    char *out = buffer ? buffer : text;
    std::snprintf(out, 128, "%.1Lf%s", value, units[unit_index & 3]);
    return out;
}
// END TEMPORARY (image branch)
