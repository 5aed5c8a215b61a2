// Platform layer for Linux and other POSIX systems: console, error texts,
// monotonic counter, signals, shared libraries, files and environment.
#include "os/os.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include <dlfcn.h>
#include <sched.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace os {

// ---- console ----------------------------------------------------------

bool is_console(FILE *stream)
{
    if (!stream)
        return false;
    int fd = fileno(stream);
    return fd >= 0 && isatty(fd) == 1;
}

void set_binary_mode(FILE *)
{
}

void make_unbuffered(FILE *stream)
{
    if (stream)
        setvbuf(stream, nullptr, _IONBF, 0);
}

void to_oem(char *)
{
    // Terminals here take the text as it is.
}

int read_key_no_echo()
{
    unsigned char key = 0;
    if (!isatty(STDIN_FILENO)) {
        // Redirected input: take the next byte, if there is one.
        return read(STDIN_FILENO, &key, 1) == 1 ? key : -1;
    }
    struct termios saved;
    if (tcgetattr(STDIN_FILENO, &saved) != 0)
        return -1;
    struct termios raw = saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0)
        return -1;
    ssize_t got;
    do {
        got = read(STDIN_FILENO, &key, 1);
    } while (got < 0 && errno == EINTR);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    return got == 1 ? key : -1;
}

// ---- system error texts -----------------------------------------------

namespace {
char loader_error[512];

void strip_line_end(char *text)
{
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
        text[--n] = 0;
}

void record_loader_error(const char *fallback)
{
    const char *text = dlerror();
    if (!text)
        text = fallback;
    snprintf(loader_error, sizeof loader_error, "%s", text);
}
}  // namespace

const char *system_error_text()
{
    static char text[1024];
    if (loader_error[0])
        snprintf(text, sizeof text, "%s", loader_error);
    else
        snprintf(text, sizeof text, "%s", strerror(errno));
    strip_line_end(text);
    return text;
}

void clear_system_error()
{
    loader_error[0] = 0;
}

uint32_t last_error()
{
    return 0;
}

void set_last_error(uint32_t)
{
}

// ---- high-resolution counter ------------------------------------------

bool counter_frequency(int64_t *counts_per_second)
{
    struct timespec resolution;
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0)
        return false;
    *counts_per_second = 1000000000;  // counts are nanoseconds
    return true;
}

int64_t counter()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void yield()
{
    sched_yield();
}

void sleep_ms(unsigned ms)
{
    struct timespec left;
    left.tv_sec = ms / 1000;
    left.tv_nsec = long(ms % 1000) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

unsigned sleep_overshoot_ms()
{
    return 1;
}

// ---- console interrupt --------------------------------------------------

namespace {
void (*volatile break_handler)(int) = nullptr;

int to_local_signal(int number)
{
    switch (number) {
    case signal_interrupt:
        return SIGINT;
    case signal_terminate:
        return SIGTERM;
    default:
        return 0;  // no Ctrl-Break here
    }
}

int to_run_signal(int local)
{
    if (local == SIGINT)
        return signal_interrupt;
    if (local == SIGTERM)
        return signal_terminate;
    return local;
}

void trampoline(int local)
{
    void (*handler)(int) = break_handler;
    if (handler)
        handler(to_run_signal(local));
}
}  // namespace

void install_break_handlers(void (*handler)(int))
{
    break_handler = handler;
    signal(SIGINT, trampoline);
    signal(SIGTERM, trampoline);
}

void reinstall_signal(int signal_number, void (*handler)(int))
{
    int local = to_local_signal(signal_number);
    if (!local)
        return;
    break_handler = handler;
    signal(local, trampoline);
}

void restore_break_handlers()
{
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    break_handler = nullptr;
}

void raise_signal(int signal_number)
{
    int local = to_local_signal(signal_number);
    if (local)
        raise(local);
}

// ---- run-time libraries --------------------------------------------------

namespace {
const char *native_library_name(const char *name)
{
    static const struct {
        const char *windows;
        const char *native;
    } names[] = {
        {"ftd2xx.dll", "libftd2xx.so"},
        {"DLportIO.dll", "libdlportio.so"},
    };
    for (const auto &entry : names)
        if (strcasecmp(name, entry.windows) == 0)
            return entry.native;
    return name;
}
}  // namespace

void *load_library(const char *name)
{
    if (!name) {
        snprintf(loader_error, sizeof loader_error, "no library name");
        return nullptr;
    }
    dlerror();
    void *handle = dlopen(native_library_name(name), RTLD_NOW | RTLD_LOCAL);
    if (handle)
        loader_error[0] = 0;
    else
        record_loader_error("library not found");
    return handle;
}

void *library_symbol(void *handle, const char *name)
{
    if (!handle || !name) {
        snprintf(loader_error, sizeof loader_error, "no library or function name");
        return nullptr;
    }
    dlerror();
    void *address = dlsym(handle, name);
    if (address)
        loader_error[0] = 0;
    else
        record_loader_error("function not found");
    return address;
}

void free_library(void *handle)
{
    if (handle)
        dlclose(handle);
}

// ---- files and paths -------------------------------------------------------

bool program_path(char *buffer, size_t size)
{
    if (!buffer || size < 2)
        return false;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n <= 0) {
        buffer[0] = 0;
        return false;
    }
    buffer[n] = 0;
    return true;
}

bool is_regular_file(const char *path)
{
    struct stat info;
    return path && stat(path, &info) == 0 && S_ISREG(info.st_mode);
}

int remove_file(const char *path)
{
    return unlink(path);
}

// ---- environment --------------------------------------------------------

const char *get_env(const char *name)
{
    return getenv(name);
}

}  // namespace os
