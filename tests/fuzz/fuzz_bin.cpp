// libFuzzer target: raw binary files, and the choice of a format by content
// (the same bytes read with no format forced); what is read is written as raw
// binary and as S-record and must read back unchanged.
#include <cstdint>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz::temp_files_t files{".dat", ".bin", ".s37"};
    const std::string &in_path = files[0];
    fuzz::write_file(in_path, data, size);
    PortionList image, none;
    if (!fuzz::load("bin:" + in_path, image, none))
        std::abort();  // raw bytes are always a raw binary file
    if (fuzz::byte_map(image).size() != size)
        std::abort();
    fuzz::check_round_trip(image, files[1]);
    fuzz::check_round_trip(image, files[2]);

    // by content: whatever format the bytes look like, an error or an image
    PortionList guessed, guessed_eeprom;
    fuzz::load(in_path, guessed, guessed_eeprom);
    fuzz::byte_map(guessed);
    return 0;
}
