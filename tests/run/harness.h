// Runs the program in-process on an argument vector and captures what it prints.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "run/entry.h"
#include "run/run_context.h"
#include "base/messages.h"
#include "support/capture.h"

// msg_out caught for the life of the object, at the level the run sets.
class captured_output : public message_capture {
public:
    captured_output() : message_capture(keep_level) {}
};

struct run_result {
    int status;
    std::string out;   // everything printed
    std::string rest;  // what follows the banner
};

inline const char banner_title[] = "\nmorvin/WIN32  -  AVR controllers LPT programmer\n";

// Splits off the four banner lines (empty, title, version, contact); checks
// that they are there and that the version line names version and date.
inline std::string after_banner(const std::string &out)
{
    EXPECT_EQ(out.compare(0, sizeof banner_title - 1, banner_title), 0) << out;
    size_t version_end = out.find('\n', sizeof banner_title - 1);
    if (version_end == std::string::npos)
        return out;
    std::string version = out.substr(sizeof banner_title - 1, version_end - (sizeof banner_title - 1));
    EXPECT_NE(version.find(MORVIN_VERSION), std::string::npos) << version;
    EXPECT_NE(version.find(MORVIN_BUILD_DATE), std::string::npos) << version;
    size_t contact_end = out.find('\n', version_end + 1);
    if (contact_end == std::string::npos)
        return out;
    EXPECT_GT(contact_end, version_end + 1) << "contact line is empty";
    return out.substr(contact_end + 1);
}

// The context of the last in-process run: what it parsed and what it left.
inline std::unique_ptr<run_context_t> &last_context()
{
    static std::unique_ptr<run_context_t> context;
    return context;
}

inline const run_options_t &last_options()
{
    return last_context()->options;
}

// Fresh state, then morvin_main on "morvin" + args.
inline run_result run_morvin(const std::vector<std::string> &args)
{
    reset_process_state();
    last_context().reset(new run_context_t);
    std::vector<std::string> storage;
    storage.push_back("morvin");
    storage.insert(storage.end(), args.begin(), args.end());
    // The settings point into the argument strings: keep them for the test.
    static std::vector<std::string> kept;
    kept = storage;
    std::vector<char *> argv;
    for (auto &s : kept)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    captured_output capture;
    run_result result;
    result.status = morvin_main(*last_context(), int(kept.size()), argv.data());
    result.out = capture.text();
    result.rest = after_banner(result.out);
    return result;
}

// The command echo for the given arguments.
inline std::string echo(const std::string &line)
{
    return "Command:\n  " + line + "\n";
}

inline const std::string hint = "For short help type\n\tmorvin -h\n";
