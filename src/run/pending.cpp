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

// ===== TEMPORARY (adapters branch): stand-ins for src/run and src/avr parts that
// are being written elsewhere. Delete this whole block when they land on main.
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/config_search.h"
#include "run/dll.h"
#include "run/options.h"
#include "run/timer.h"

rtl_error::~rtl_error() {}
const char *rtl_error::what() const noexcept { return strerror(errno); }
win32_error::~win32_error() {}
const char *win32_error::what() const noexcept { return "system error"; }

FILE *open_file(const char *path, const char *mode)
{
    FILE *file = fopen(path, mode);
    if (!file) {
        msg_print(msg_out, MSG_ERROR, "Can't open file '%s'\n", path);
        throw rtl_error(EXIT_USAGE);
    }
    return file;
}

os_timer_t &process_timer()
{
    static os_timer_t timer;
    return timer;
}

namespace {
const char *pending_format(long double x, int i, const char *const *units, char *buffer)
{
    static char own[128];
    if (!buffer)
        buffer = own;
    while (x > 300 && i > 0) { x *= 0.001L; i--; }
    while (x <= 0.3L && i < 3) { x *= 1000; i++; }
    const char *format = x < 0.003L ? "%.6Lf%s" : x < 0.03L ? "%.4Lf%s" : x < 0.3L ? "%.3Lf%s"
                       : x < 3 ? "%.2Lf%s" : x < 30 ? "%.1Lf%s" : "%.0Lf%s";
    snprintf(buffer, 128, format, x, units[i]);
    return buffer;
}
}  // namespace

const char *format_time(long double value, int unit_index, char *buffer)
{
    static const char *const units[] = {"s", "ms", "us", "ns"};
    return pending_format(value, unit_index, units, buffer);
}

const char *format_frequency(long double value, int unit_index, char *buffer)
{
    static const char *const units[] = {"GHz", "MHz", "kHz", "Hz"};
    return pending_format(value, unit_index, units, buffer);
}

dll_t::dll_t(const char *library) : name(nullptr), handle(nullptr)
{
    msg_print(msg_out, MSG_ERROR, "Can't load library '%s'\n", library);
    throw win32_error(EXIT_USAGE);
}
dll_t::~dll_t() {}
void *dll_t::symbol(const char *) { return nullptr; }

bool find_config_file(char *buffer, size_t size, const char *name)
{
    if (!buffer || !size || !name)
        return false;
    auto exists = [](const std::string &path) {
        FILE *file = fopen(path.c_str(), "r");
        if (file)
            fclose(file);
        return file != nullptr;
    };
    auto take = [&](const std::string &path) {
        snprintf(buffer, size, "%s", path.c_str());
        return true;
    };
    if (exists(name))
        return take(name);
    const char *dirs = getenv("MORVIN_CONFIG_PATH");
    std::string list = dirs ? dirs : "";
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos)
            end = list.size();
        std::string dir = list.substr(start, end - start);
        if (!dir.empty()) {
            std::string path = dir + (dir.back() == '/' ? "" : "/") + name;
            if (exists(path))
                return take(path);
        }
        start = end + 1;
    }
    return false;
}

// ===== end of TEMPORARY block
