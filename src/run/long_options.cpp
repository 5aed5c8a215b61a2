// --help and --version are answered before the banner, so that each prints
// only the usage text or the one version line, as scripts and packaging tools
// expect of these two options. Every other run keeps its banner.
#include "run/long_options.h"

#include <cstring>

#include "base/messages.h"
#include "run/entry.h"

bool answer_long_option(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--help") == 0) {
            print_usage();
            return true;
        }
        if (strcmp(argv[i], "--version") == 0) {
            msg_print(msg_out, MSG_INFO, "morvin %s (built %s)\n", MORVIN_VERSION, MORVIN_BUILD_DATE);
            return true;
        }
    }
    return false;
}
