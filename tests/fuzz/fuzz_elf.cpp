// libFuzzer target: the ELF reader on arbitrary file contents (every size and
// offset in the file is the fuzzer's); the flash and EEPROM it accepts are
// written as HEX files and must read back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "image/file_formats.h"
#include "fuzz_support.h"

namespace {
std::string in_path, flash_path, eeprom_path;
void remove_temp_files()
{
    std::remove(in_path.c_str());
    std::remove(flash_path.c_str());
    std::remove(eeprom_path.c_str());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        in_path = fuzz::make_temp(".elf");
        flash_path = fuzz::make_temp(".hex");
        eeprom_path = fuzz::make_temp(".hex");
        std::atexit(remove_temp_files);
        fuzz::quiet_messages();
        ready = true;
    }
    fuzz::write_file(in_path, data, size);
    PortionList flash, eeprom;
    if (!fuzz::load("elf:" + in_path, flash, eeprom))
        return 0;
    // flash below avr-gcc's data space, EEPROM inside its 64 KiB
    if (!flash.empty() && (flash.first()->address < 0 || flash.greatest_end() > 0x800000))
        std::abort();
    if (!eeprom.empty() && (eeprom.first()->address < 0 || eeprom.greatest_end() > 0x10000))
        std::abort();

    if (!write_image_file(flash, flash_path.c_str()) || !write_image_file(eeprom, eeprom_path.c_str()))
        std::abort();
    PortionList flash_back, eeprom_back, none;
    if (!fuzz::load(flash_path, flash_back, none) || !fuzz::load(eeprom_path, eeprom_back, none))
        std::abort();
    if (fuzz::byte_map(flash) != fuzz::byte_map(flash_back) || fuzz::byte_map(eeprom) != fuzz::byte_map(eeprom_back))
        std::abort();
    return 0;
}
