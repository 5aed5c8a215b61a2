// libFuzzer target: raw binary files, and the choice of a format by content
// (the same bytes read with no format forced); what is read is written as raw
// binary and as S-record and must read back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/file_formats.h"
#include "fuzz_support.h"
#include "image/hex_file.h"

namespace {
std::string in_path, bin_path, srec_path;
void remove_temp_files()
{
    std::remove(in_path.c_str());
    std::remove(bin_path.c_str());
    std::remove(srec_path.c_str());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        in_path = fuzz::make_temp(".dat");
        bin_path = fuzz::make_temp(".bin");
        srec_path = fuzz::make_temp(".s37");
        std::atexit(remove_temp_files);
        fuzz::quiet_messages();
        ready = true;
    }
    fuzz::write_file(in_path, data, size);
    PortionList image, none;
    if (!fuzz::load("bin:" + in_path, image, none))
        std::abort();  // raw bytes are always a raw binary file
    if (fuzz::byte_map(image).size() != size)
        std::abort();
    if (!write_image_file(image, bin_path.c_str()) || !write_image_file(image, srec_path.c_str()))
        std::abort();
    PortionList from_bin, from_srec;
    if (!fuzz::load(bin_path, from_bin, none) || !fuzz::load(srec_path, from_srec, none))
        std::abort();
    if (fuzz::byte_map(from_bin) != fuzz::byte_map(image) || fuzz::byte_map(from_srec) != fuzz::byte_map(image))
        std::abort();

    // by content: whatever format the bytes look like, an error or an image
    PortionList guessed, guessed_eeprom;
    fuzz::load(in_path, guessed, guessed_eeprom);
    fuzz::byte_map(guessed);
    return 0;
}
