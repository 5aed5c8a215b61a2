// Fuzzes the command line: the input is split at newlines and NUL bytes into
// an argument vector, and the whole program runs on it in-process.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "run/entry.h"
#include "base/messages.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Prompts must never wait for a key, and nothing needs to be shown.
    if (!freopen("/dev/null", "r", stdin))
        return 0;
    static FILE *sink = fopen("/dev/null", "w");
    if (sink)
        msg_out.stream = sink;
    msg_out.oem = false;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const size_t max_arguments = 64;
    std::vector<std::string> words;
    std::string word;
    for (size_t i = 0; i < size; i++) {
        char c = char(data[i]);
        if (c == '\n' || c == '\0') {
            words.push_back(word);
            word.clear();
            if (words.size() >= max_arguments)
                break;
        } else {
            word += c;
        }
    }
    if (words.size() < max_arguments && !word.empty())
        words.push_back(word);

    std::vector<char *> argv;
    static char program[] = "morvin";
    argv.push_back(program);
    for (auto &w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);

    reset_process_state();
    int status = morvin_main(int(argv.size() - 1), argv.data());
    // Settings point into the words: clear them before the words go.
    reset_process_state();
    if (status < 0 || status > 255)
        __builtin_trap();
    return 0;
}
