// Message stream, levels, the error classes that end a run, and exit statuses.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <exception>

enum msg_level_t : uint8_t {
    MSG_ERROR = 0,
    MSG_WARNING = 1,
    MSG_INFO = 2,
    MSG_DEBUG = 3,
    MSG_TRACE = 4,
};

struct msg_stream_t {
    FILE *stream;
    uint8_t level;
    bool oem;
    msg_stream_t(FILE *stream, uint8_t level);
};

extern msg_stream_t msg_out;

void msg_print(msg_stream_t &out, uint8_t level, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

// msg_print with a va_list. Keeps errno and the system's last error intact.
void msg_vprint(msg_stream_t &out, uint8_t level, const char *format, va_list args);

// Exit statuses.
enum exit_status_t : int {
    EXIT_OK = 0,
    EXIT_CHIP_REFUSED = 10,
    EXIT_WRONG_CHIP = 30,
    EXIT_SYNC_LOST = 40,
    EXIT_BAD_DATA = 50,
    EXIT_NO_MEMORY = 60,
    EXIT_USAGE = 70,
    EXIT_USER_BREAK = 80,
    EXIT_OTHER = 255,
};

class app_error : public std::exception {
public:
    explicit app_error(int exit_code) : exit_code(exit_code) {}
    ~app_error() override;
    const char *what() const noexcept override;
    int exit_code;
};

// what(): the runtime library's text for the error of the failing call: errno
// when the error is built, or the number given; no text for 0 (a file that
// merely ended, a number that did not read).
class rtl_error : public app_error {
public:
    explicit rtl_error(int exit_code);
    rtl_error(int exit_code, int error_number) : app_error(exit_code), error_number(error_number) {}
    ~rtl_error() override;
    const char *what() const noexcept override;
    int error_number;
};

// what(): the system's text for the last error when the error was built,
// trailing CR/LF removed.
class win32_error : public app_error {
public:
    explicit win32_error(int exit_code);
    ~win32_error() override;
    const char *what() const noexcept override;

private:
    char text[256];
};

// fopen with the standard failure: "Can't open file '%s'\n" and rtl_error(70).
FILE *open_file(const char *path, const char *mode);

// Print at MSG_ERROR and throw app_error(status).
[[noreturn]] void fail(int status, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The start-up banner (MSG_INFO).
void print_banner();
