// The message stream, the error classes and the start-up banner.
#include "base/messages.h"

#include <cerrno>
#include <cstring>

#include "os/os.h"

msg_stream_t::msg_stream_t(FILE *stream, uint8_t level)
    : stream(stream), level(level), oem(os::is_console(stream))
{
    os::make_unbuffered(stream);
}

msg_stream_t msg_out(stdout, MSG_INFO);

namespace {
constexpr size_t message_limit = 2048;
}

void msg_vprint(msg_stream_t &out, uint8_t level, const char *format, va_list args)
{
    if (level > out.level || !format)
        return;
    // A failure site prints before it throws; the cause must survive the print.
    int saved_errno = errno;
    uint32_t saved_error = os::last_error();

    char buffer[message_limit + 1];
    if (vsnprintf(buffer, message_limit, format, args) < 0)
        buffer[0] = 0;
    buffer[message_limit] = 0;
    if (out.oem)
        os::to_oem(buffer);
    // Before static initialisation has built the stream, write to stdout.
    fputs(buffer, out.stream ? out.stream : stdout);

    os::set_last_error(saved_error);
    errno = saved_errno;
}

void msg_print(msg_stream_t &out, uint8_t level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    msg_vprint(out, level, format, args);
    va_end(args);
}

void fail(int status, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    msg_vprint(msg_out, MSG_ERROR, format, args);
    va_end(args);
    throw app_error(status);
}

app_error::~app_error() = default;

const char *app_error::what() const noexcept
{
    return "";
}

rtl_error::rtl_error(int exit_code) : app_error(exit_code), error_number(errno) {}

rtl_error::~rtl_error() = default;

const char *rtl_error::what() const noexcept
{
    return error_number ? strerror(error_number) : "";
}

win32_error::win32_error(int exit_code) : app_error(exit_code)
{
    snprintf(text, sizeof text, "%s", os::system_error_text());
}

win32_error::~win32_error() = default;

const char *win32_error::what() const noexcept
{
    return text;
}

FILE *open_file(const char *path, const char *mode)
{
    FILE *file = nullptr;
    int error = EINVAL;
    if (path && mode) {
        file = fopen(path, mode);
        error = errno;
    }
    if (!file) {
        msg_print(msg_out, MSG_ERROR, "Can't open file '%s'\n", path ? path : "");
        throw rtl_error(EXIT_USAGE, error);
    }
    return file;
}

void print_banner()
{
    msg_print(msg_out, MSG_INFO,
              "\n"
              "morvin/WIN32  -  AVR controllers LPT programmer\n"
              "Version " MORVIN_VERSION ", built " MORVIN_BUILD_DATE "\n"
              "Bug reports and questions: morvin@morvin.example.org\n");
}
