// libFuzzer target: the S-record reader on arbitrary file contents, and a
// write/read round trip of every image it accepts.
#include <cstdint>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz::temp_files_t files{".txt", ".srec"};
    fuzz::write_file(files[0], data, size);
    PortionList image, none;
    if (!fuzz::load("srec:" + files[0], image, none))
        return 0;
    if (!none.empty())
        std::abort();
    fuzz::check_round_trip(image, files[1]);
    return 0;
}
