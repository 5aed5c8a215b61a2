// libFuzzer target: the Intel HEX reader on arbitrary file contents (checksum
// errors ignored or not by the input's size), and a write/read round trip of
// every image it accepts.
#include <cstdint>
#include <string>

#include "image/hex_file.h"
#include "fuzz_support.h"

namespace {

int answer_yes()
{
    return 'y';
}

int answer_no()
{
    return 'n';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz::temp_files_t files{".hex", ".out.hex"};
    fuzz::write_file(files[0], data, size);
    PortionList image;
    try {
        read_hex_file(files[0].c_str(), image, (size & 1) ? answer_yes : answer_no);
    } catch (const app_error &) {
        return 0;
    }
    // the writer's checksums are always right: read back with none ignored
    fuzz::check_round_trip(image, files[1]);
    return 0;
}
