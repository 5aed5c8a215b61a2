// Parts of the program that are not built yet end a run that reaches them
// with a clear message and status 70. Each block goes when the real code lands.
#include <cctype>
#include <cstring>

#include "adapters/lpt_adapter.h"
#include "avr/devices.h"
#include "avr/fuses.h"
#include "avr/link.h"
#include "avr/memory_commands.h"
#include "ftdi/ft2232_adapter.h"
#include "image/hex_file.h"
#include "image/image.h"
#include "run/insertions.h"
#include "run/messages.h"
#include "run/operations.h"
#include "run/options.h"

namespace {
[[noreturn]] void not_built(const char *what)
{
    fail(EXIT_USAGE, "%s: not built yet\n", what);
}
}  // namespace

// ---- device table (temporary: a few records for name lookups) ----
namespace {
const struct {
    const char *name;
    int32_t code;
} pending_devices[] = {{"90S2313", 2048}, {"tiny13|tiny13A", 1024}, {"mega8", 8192}};

bool pending_match(const char *list, const char *name)
{
    size_t n = strlen(name);
    for (const char *p = list;;) {
        const char *bar = strchr(p, '|');
        size_t length = bar ? size_t(bar - p) : strlen(p);
        if (length == n) {
            size_t i = 0;
            while (i < n && tolower((unsigned char)p[i]) == tolower((unsigned char)name[i]))
                i++;
            if (i == n)
                return true;
        }
        if (!bar)
            return false;
        p = bar + 1;
    }
}
}  // namespace

int32_t find_device(const char *name)
{
    for (size_t i = 0; i < sizeof pending_devices / sizeof pending_devices[0]; i++)
        if (pending_match(pending_devices[i].name, name))
            return int32_t(i);
    return -1;
}

int32_t code_size()
{
    int32_t index = run_options.chip_name ? find_device(run_options.chip_name) : -1;
    return index < 0 ? 0 : pending_devices[index].code;
}

const char *memory_name(int memory)
{
    return memory == 0 ? "CODE memory" : "DATA memory";
}

void print_device_list()
{
    msg_print(msg_out, MSG_INFO, "\nSupported devices\n (device table not built yet)");
}

void devices_reset()
{
}

// ---- fuses ----
void parse_fuse_list(const char *)
{
    not_built("fuse list");
}

void print_fuse_list(const char *)
{
    not_built("fuse list");
}

void fuses_reset()
{
}

// ---- link and memory commands ----
void link_close()
{
}

void link_reset()
{
}

void memory_commands_reset()
{
}

// ---- insertions ----
void parse_hex_extension(const char *)
{
    not_built("HEX switch extensions");
}

void insertions_reset()
{
}

// ---- images and HEX files ----
PortionList code_image;
PortionList data_image;

void PortionList::clear()
{
    last = nullptr;
}

CodePortion::~CodePortion()
{
    delete[] data;
}

void read_hex_file(const char *, PortionList &)
{
    not_built("Intel HEX reader");
}

void split_image(PortionList &, PortionList &, int32_t)
{
    not_built("image split");
}

// ---- adapters ----
std::unique_ptr<spi_t> create_lpt_adapter(const char *, const char *)
{
    not_built("LPT adapter");
}

std::unique_ptr<spi_t> create_ft2232_adapter(const char *, const char *)
{
    not_built("FT2232 adapter");
}

// ---- operation sequence ----
void run_operations()
{
    not_built("operation sequence");
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
