// libFuzzer target: the S-record reader on arbitrary file contents, and a
// write/read round trip of every image it accepts.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/file_formats.h"
#include "fuzz_support.h"

namespace {
std::string in_path, out_path;
void remove_temp_files()
{
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        in_path = fuzz::make_temp(".txt");
        out_path = fuzz::make_temp(".srec");
        std::atexit(remove_temp_files);
        fuzz::quiet_messages();
        ready = true;
    }
    fuzz::write_file(in_path, data, size);
    PortionList image, none;
    if (!fuzz::load("srec:" + in_path, image, none))
        return 0;
    if (!none.empty())
        std::abort();

    // Whatever was accepted must survive a write and a second read unchanged.
    if (!write_image_file(image, out_path.c_str()))
        std::abort();
    PortionList back;
    if (!fuzz::load(out_path, back, none))
        std::abort();
    if (fuzz::byte_map(image) != fuzz::byte_map(back))
        std::abort();
    return 0;
}
