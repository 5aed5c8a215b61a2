// Platform layer for Windows: console, error texts, performance counter,
// console interrupt, DLLs, files and environment.
#include "os/os.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <windows.h>
#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace os {

// ---- console ----------------------------------------------------------

namespace {
bool descriptor_is_console(int fd)
{
    if (fd < 0 || !_isatty(fd))
        return false;
    // _isatty is also true for NUL and other character devices.
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}
}  // namespace

bool is_console(FILE *stream)
{
    return stream && descriptor_is_console(_fileno(stream));
}

void set_binary_mode(FILE *stream)
{
    if (stream)
        _setmode(_fileno(stream), _O_BINARY);
}

void make_unbuffered(FILE *stream)
{
    if (stream)
        setvbuf(stream, nullptr, _IONBF, 0);
}

void to_oem(char *text)
{
    if (text)
        CharToOemA(text, text);
}

int read_key_no_echo()
{
    if (descriptor_is_console(0))
        return _getch();
    // Redirected input: take the next byte, if there is one.
    unsigned char key = 0;
    return _read(0, &key, 1) == 1 ? key : -1;
}

// ---- system error texts -----------------------------------------------

const char *system_error_text()
{
    static char text[1024];
    text[0] = 0;
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, GetLastError(),
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    text[sizeof text - 1] = 0;
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
        text[--n] = 0;
    return text;
}

void clear_system_error()
{
    SetLastError(0);
}

uint32_t last_error()
{
    return GetLastError();
}

void set_last_error(uint32_t code)
{
    SetLastError(code);
}

// ---- high-resolution counter ------------------------------------------

bool counter_frequency(int64_t *counts_per_second)
{
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
        return false;
    *counts_per_second = frequency.QuadPart;
    return true;
}

int64_t counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

void yield()
{
    Sleep(0);
}

void sleep_ms(unsigned ms)
{
    Sleep(ms);
}

unsigned sleep_overshoot_ms()
{
    return 16;
}

// ---- console interrupt --------------------------------------------------

void install_break_handlers(void (*handler)(int))
{
    signal(SIGINT, handler);
    signal(SIGBREAK, handler);
    signal(SIGTERM, handler);
}

void reinstall_signal(int signal_number, void (*handler)(int))
{
    signal(signal_number, handler);
}

void restore_break_handlers()
{
    signal(SIGINT, SIG_DFL);
    signal(SIGBREAK, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

void raise_signal(int signal_number)
{
    raise(signal_number);
}

// ---- run-time libraries --------------------------------------------------

void *load_library(const char *name)
{
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<void *>(LoadLibraryA(name));
}

void *library_symbol(void *handle, const char *name)
{
    if (!handle || !name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    FARPROC address = GetProcAddress(static_cast<HMODULE>(handle), name);
    void *result = nullptr;
    static_assert(sizeof result == sizeof address, "function and data pointers differ");
    memcpy(&result, &address, sizeof result);
    return result;
}

void free_library(void *handle)
{
    if (handle)
        FreeLibrary(static_cast<HMODULE>(handle));
}

// ---- files and paths -------------------------------------------------------

bool program_path(char *buffer, size_t size)
{
    if (!buffer || size < 2)
        return false;
    DWORD room = size - 1 > 0xFFFF ? 0xFFFF : DWORD(size - 1);
    DWORD n = GetModuleFileNameA(nullptr, buffer, room);
    buffer[size - 1] = 0;
    if (n == 0) {
        buffer[0] = 0;
        return false;
    }
    buffer[n < room ? n : room] = 0;
    return true;
}

bool is_regular_file(const char *path)
{
    struct _stat info;
    return path && _stat(path, &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG;
}

int remove_file(const char *path)
{
    return remove(path);
}

// ---- environment --------------------------------------------------------

const char *get_env(const char *name)
{
    return getenv(name);
}

}  // namespace os
