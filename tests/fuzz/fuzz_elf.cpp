// libFuzzer target: the ELF reader on arbitrary file contents (every size and
// offset in the file is the fuzzer's); the flash and EEPROM it accepts are
// written as HEX files and must read back unchanged.
#include <cstdint>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const fuzz::temp_files_t files{".elf", ".hex", ".hex"};
    fuzz::write_file(files[0], data, size);
    PortionList flash, eeprom;
    if (!fuzz::load("elf:" + files[0], flash, eeprom))
        return 0;
    // flash below avr-gcc's data space, EEPROM inside its 64 KiB
    if (!flash.empty() && (flash.first()->address < 0 || flash.greatest_end() > 0x800000))
        std::abort();
    if (!eeprom.empty() && (eeprom.first()->address < 0 || eeprom.greatest_end() > 0x10000))
        std::abort();
    fuzz::check_round_trip(flash, files[1]);
    fuzz::check_round_trip(eeprom, files[2]);
    return 0;
}
