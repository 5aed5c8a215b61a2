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
#include <cstring>

#include "adapters/spi.h"
#include "avr/link.h"
#include "avr/memory_commands.h"
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

void poll_user_break() {}

int32_t lock_state = -1;
memory_state_t memory_state;

void send_command(uint8_t *bytes)
{
    run_adapter()->transfer_block(bytes, bytes, 4);
}

void check_echo(uint8_t reply, uint8_t expected)
{
    if (reply != expected)
        fail(EXIT_SYNC_LOST, "\nSynchronisation lost\n");
}

void trace_command(uint8_t level, const char *label, const uint8_t *command, const uint8_t *reply)
{
    msg_print(msg_out, level, "\t%% %s\tcommand %02X %02X %02X %02X,  reply %02X %02X %02X %02X\n",
              label, command[0], command[1], command[2], command[3], reply[0], reply[1], reply[2],
              reply[3]);
}
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
// END TEMPORARY (image branch)
