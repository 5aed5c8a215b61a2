// Helpers shared by the image tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>

#include "base/messages.h"

// Redirects the message stream (at debug level) into a temporary file for the
// life of the object. Pass times are replaced by "T" so texts compare whole.
class message_capture_t {
public:
    message_capture_t() : saved(msg_out.stream), saved_level(msg_out.level), file(std::tmpfile())
    {
        msg_out.stream = file;
        msg_out.level = MSG_DEBUG;
    }
    ~message_capture_t()
    {
        msg_out.stream = saved;
        msg_out.level = saved_level;
        std::fclose(file);
    }
    // The text printed since the last call.
    std::string take()
    {
        std::fflush(file);
        std::fseek(file, consumed, SEEK_SET);
        std::string out;
        int c;
        while ((c = std::fgetc(file)) != EOF)
            out += char(c);
        consumed = std::ftell(file);
        std::fseek(file, 0, SEEK_END);
        return std::regex_replace(out, std::regex(" done \\([^)]*\\)"), " done (T)");
    }

private:
    FILE *saved;
    uint8_t saved_level;
    FILE *file;
    long consumed = 0;
};
