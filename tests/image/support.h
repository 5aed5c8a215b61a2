// Helpers shared by the image tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <regex>
#include <string>

#include "base/messages.h"
#include "support/capture.h"

// The message stream (at debug level) caught for the life of the object. Pass
// times are replaced by "T" so texts compare whole.
class message_capture_t {
public:
    // The text printed since the last call.
    std::string take() { return std::regex_replace(capture.take(), std::regex(" done \\([^)]*\\)"), " done (T)"); }

private:
    message_capture capture{MSG_DEBUG};
};
