#include "run/stream_messages.h"

#include <cstdio>

#include "base/messages.h"
#include "image/file_formats.h"
#include "os/os.h"

stream_run_messages_t::stream_run_messages_t(int argc, char **argv)
{
    // Only what would go to standard output moves (not a stream a caller chose).
    for (int i = 1; i < argc && !moved && msg_out.stream == stdout; i++)
        moved = is_standard_stream_name(argv[i]);
    if (!moved)
        return;
    saved_stream = msg_out.stream;
    saved_oem = msg_out.oem;
    msg_out.stream = stderr;
    msg_out.oem = os::is_console(stderr);
}

stream_run_messages_t::~stream_run_messages_t()
{
    if (!moved)
        return;
    msg_out.stream = saved_stream;
    msg_out.oem = saved_oem;
}
