// libFuzzer target: the Intel HEX reader on arbitrary file contents, and a
// write/read round trip of every image it accepts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <unistd.h>

#include "image/hex_file.h"
#include "image/image.h"
#include "base/messages.h"
#include "fuzz_support.h"

namespace {

std::string make_temp(const char *suffix)
{
    std::string pattern = std::string("/tmp/morvin_fuzz_hex_XXXXXX") + suffix;
    int fd = mkstemps(&pattern[0], int(std::string(suffix).size()));
    if (fd < 0)
        std::abort();
    close(fd);
    return pattern;
}

std::string in_path, out_path;

void remove_temp_files()
{
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
}

int answer_key;
int fuzz_key()
{
    return answer_key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        in_path = make_temp(".hex");
        out_path = make_temp(".out.hex");
        std::atexit(remove_temp_files);
        msg_out.stream = std::fopen("/dev/null", "w");
        ready = true;
    }
    FILE *f = std::fopen(in_path.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    answer_key = (size & 1) ? 'y' : 'n';

    PortionList image;
    try {
        read_hex_file(in_path.c_str(), image, fuzz_key);
    } catch (const app_error &) {
        return 0;
    }

    // Whatever was accepted must survive a write and a second read unchanged.
    if (!write_hex_file(image, out_path.c_str()))
        std::abort();
    PortionList back;
    answer_key = 'n';  // the writer's checksums are always right
    try {
        read_hex_file(out_path.c_str(), back, fuzz_key);
    } catch (const app_error &) {
        std::abort();
    }
    if (fuzz::byte_map(image) != fuzz::byte_map(back))
        std::abort();
    return 0;
}
