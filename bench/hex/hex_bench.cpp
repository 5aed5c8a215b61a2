// Converts one Intel HEX file into another through morvin's reader and writer:
//   hex_bench in.hex out.hex
// Prints the time spent inside the reader and the writer to standard error.
#include <chrono>
#include <cstdio>

#include "image/hex_file.h"
#include "image/image.h"
#include "base/messages.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: hex_bench in.hex out.hex\n");
        return 2;
    }
    try {
        auto t0 = std::chrono::steady_clock::now();
        PortionList image;
        read_hex_file(argv[1], image, nullptr);
        auto t1 = std::chrono::steady_clock::now();
        bool written = write_hex_file(image, argv[2]);
        auto t2 = std::chrono::steady_clock::now();
        std::fprintf(stderr, "read %.3f ms, write %.3f ms\n",
                     std::chrono::duration<double, std::milli>(t1 - t0).count(),
                     std::chrono::duration<double, std::milli>(t2 - t1).count());
        return written ? 0 : EXIT_USAGE;
    } catch (const app_error &e) {
        return e.exit_code;
    }
}
