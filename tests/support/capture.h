// In-process runs: what msg_out prints, and the exit status an app_error carries.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/messages.h"

// Catches what msg_out prints in a temporary file for the life of the object, at the
// given level and without OEM translation; the stream, level and translation are put
// back after. With keep_level the level is left alone: what a run sets stays.
class message_capture {
public:
    static constexpr int keep_level = -1;

    explicit message_capture(int level = MSG_TRACE)
        : saved_stream(msg_out.stream), saved_level(msg_out.level), saved_oem(msg_out.oem),
          restore_level(level != keep_level), file(std::tmpfile())
    {
        if (!file)
            ADD_FAILURE() << "no temporary file for the messages";
        msg_out.stream = file ? file : saved_stream;
        if (level != keep_level)
            msg_out.level = static_cast<uint8_t>(level);
        msg_out.oem = false;
    }
    ~message_capture()
    {
        msg_out.stream = saved_stream;
        if (restore_level)
            msg_out.level = saved_level;
        msg_out.oem = saved_oem;
        if (file)
            std::fclose(file);
    }
    message_capture(const message_capture &) = delete;
    message_capture &operator=(const message_capture &) = delete;

    // Everything printed so far.
    std::string text() { return read_from(0); }

    // What was printed since the last take().
    std::string take()
    {
        std::string part = read_from(taken);
        taken += static_cast<long>(part.size());
        return part;
    }

private:
    std::string read_from(long offset)
    {
        std::string out;
        if (!file)
            return out;
        std::fflush(file);
        std::fseek(file, offset, SEEK_SET);
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            out.append(buffer, n);
        std::fseek(file, 0, SEEK_END);
        return out;
    }

    FILE *saved_stream;
    uint8_t saved_level;
    bool saved_oem;
    bool restore_level;
    FILE *file;
    long taken = 0;
};

// Runs f; the exit status of the app_error it ends with, if_returned when it
// returns (-1 unless given: an app_error may carry status 0).
template <class F> int status_of(F &&f, int if_returned = -1)
{
    try {
        f();
    } catch (const app_error &error) {
        return error.exit_code;
    }
    return if_returned;
}

// Runs f, which must end with app_error; returns its exit status (-1 and a failure
// when it returns).
template <class F> int exit_status_of(F &&f)
{
    try {
        f();
    } catch (const app_error &error) {
        return error.exit_code;
    }
    ADD_FAILURE() << "no error raised";
    return -1;
}
