// A run that reads or writes a file on a standard stream ("-") prints its
// messages on standard error, so that the file's bytes stay alone on the stream.
#pragma once

#include <cstdio>

class stream_run_messages_t {
public:
    stream_run_messages_t(int argc, char **argv);
    ~stream_run_messages_t();
    stream_run_messages_t(const stream_run_messages_t &) = delete;
    stream_run_messages_t &operator=(const stream_run_messages_t &) = delete;

private:
    bool moved = false;
    FILE *saved_stream = nullptr;
    bool saved_oem = false;
};
