// Parts of the program that are not built yet end a run that reaches them
// with a clear message and status 70.
#include "run/messages.h"
#include "run/entry.h"

int morvin_main(int, char **)
{
    return EXIT_USAGE;
}

// ---------------------------------------------------------------------------
// TEMPORARY (avrlink branch): stand-ins for messages, timer, run settings,
// device table and lock-state read, which other branches provide. They exist
// only so that the link and memory-command tests link before those branches
// are merged. Delete this whole block when merging them.
// ---------------------------------------------------------------------------
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstring>

#include "avr/devices.h"
#include "avr/fuses.h"
#include "avr/link.h"
#include "run/options.h"
#include "run/timer.h"

run_options_t run_options;

msg_stream_t::msg_stream_t(FILE *stream, uint8_t level) : stream(stream), level(level), oem(false) {}
msg_stream_t msg_out(stdout, MSG_INFO);

void msg_print(msg_stream_t &out, uint8_t level, const char *format, ...)
{
    if (level > out.level)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(out.stream, format, args);
    va_end(args);
}

app_error::~app_error() {}
const char *app_error::what() const noexcept { return ""; }

void fail(int status, const char *format, ...)
{
    if (msg_out.level >= MSG_ERROR) {
        va_list args;
        va_start(args, format);
        vfprintf(msg_out.stream, format, args);
        va_end(args);
    }
    throw app_error(status);
}

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

const avr_device_t avr_devices[] = {
    {"86RF401", 0x1E9181, 30, {{2048, 0, 10, 0}, {128, 0, 10, 0}}, 0, flag_sck_5_17, 0, 0, 0, nullptr},
    {"90S1200", 0x1E9001, 30, {{1024, 0, 6, 0}, {64, 0, 6, 0}}, 0,
     flag_no_sync | flag_sck_2_5 | flag_list_break, 0, 0, 0, nullptr},
    {"90S2313", 0x1E9101, 30, {{2048, 0, 6, 3}, {128, 0, 6, 2}}, 0, flag_resync_sck, 0, 0, 0, nullptr},
    {"tiny12", 0x1E9005, 30, {{1024, 0, 6, 4}, {64, 0, 8, 4}}, 1,
     flag_resync_sck | flag_fuses_when_locked | flag_erase_fix | flag_list_break, 2, 3, 0x2, nullptr},
    {"tiny22L", 0x1E9106, 30, {{2048, 0, 6, 4}, {128, 0, 6, 1}}, 0, flag_resync_sck, 1, 0, 0, nullptr},
    {"tiny22", 0x1E9106, 30, {{2048, 0, 6, 4}, {128, 0, 6, 1}}, 0,
     flag_resync_sck | flag_fuses_when_locked, 1, 1, 0x2, nullptr},
    {"tiny13|tiny13A", 0x1E9007, 20, {{1024, 32, 6, 5}, {64, 4, 5, 5}}, 2, 0, 3, 3, 0x6, nullptr},
    {"mega8", 0x1E9307, 20, {{8192, 64, 6, 4}, {512, 4, 10, 4}}, 4, flag_list_break, 3, 3, 0x7, nullptr},
    {"mega128", 0x1E9702, 20, {{131072, 256, 6, 4}, {4096, 8, 12, 4}}, 4, 0, 3, 3, 0xF, nullptr},
    {"mega2560", 0x1E9801, 20, {{262144, 256, 6, 5}, {4096, 8, 10, 5}}, 1, 0, 3, 3, 0xF, nullptr},
};
const int avr_device_count = sizeof(avr_devices) / sizeof(avr_devices[0]);

namespace {
int32_t pending_detected = -1;
bool pending_same(const char *a, size_t n, const char *b)
{
    if (strlen(b) != n)
        return false;
    for (size_t i = 0; i < n; i++)
        if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}
}  // namespace

bool device_name_matches(const char *list, const char *name)
{
    for (;;) {
        const char *bar = strchr(list, '|');
        size_t n = bar ? static_cast<size_t>(bar - list) : strlen(list);
        if (pending_same(list, n, name))
            return true;
        if (!bar)
            return false;
        list = bar + 1;
    }
}

int32_t find_device(const char *name)
{
    for (int i = 0; i < avr_device_count; i++)
        if (device_name_matches(avr_devices[i].name, name))
            return i;
    return -1;
}

int32_t find_device_by_signature(uint32_t signature, const char *requested)
{
    int32_t result = -1;
    for (int i = 0; i < avr_device_count; i++) {
        if (avr_devices[i].signature != signature)
            continue;
        result = i;
        if (requested && pending_same(avr_devices[i].name, strlen(avr_devices[i].name), requested))
            break;
    }
    return result;
}

int32_t current_device_index()
{
    if (pending_detected >= 0)
        return pending_detected;
    return run_options.chip_name ? find_device(run_options.chip_name) : -1;
}
void set_current_device(int32_t index) { pending_detected = index; }
int32_t detected_device_index() { return pending_detected; }
const avr_device_t &current_device() { return avr_devices[current_device_index()]; }
const char *device_name(int32_t index) { return index < 0 ? "unknown" : avr_devices[index].name; }
int32_t code_size() { return current_device().memory[CODE_MEMORY].size; }
int32_t data_size() { return current_device().memory[DATA_MEMORY].size; }
const char *memory_name(int memory) { return memory == CODE_MEMORY ? "CODE memory" : "DATA memory"; }
void devices_reset() { pending_detected = -1; }

void read_lock_state()
{
    int32_t index = current_device_index();
    uint8_t kind = index >= 0 ? avr_devices[index].lock_kind : 0;
    if (kind == 0) {
        lock_state = -1;
        return;
    }
    uint8_t command[4] = {0x58, 0x00, 0x00, 0x00};
    send_command(command);
    check_echo(command[1], 0x58);
    uint8_t bits = command[3];
    int pair = kind == 1 ? (((bits >> 6) & 1) << 1) | ((bits >> 7) & 1)
               : kind == 2 ? (bits >> 1) & 3
                           : bits & 3;
    static const int32_t states[4] = {2, -1, 1, 0};
    lock_state = states[pair];
}

void print_lock_state()
{
    static const char *const texts[3] = {"not locked", "locked - programming disabled",
                                         "locked - reading and programming disabled"};
    if (lock_state >= 0 && lock_state <= 2)
        msg_print(msg_out, MSG_INFO, "Chip %s\n", texts[lock_state]);
    else
        msg_print(msg_out, MSG_INFO, "Lock state unknown\n");
}
// ---------------------------------------------------------------------------
// end of TEMPORARY block
// ---------------------------------------------------------------------------
