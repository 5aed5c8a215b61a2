#include "image/elf_file.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/messages.h"
#include "image/image_builder.h"
#include "image/input_file.h"

namespace {

// avr-gcc's address spaces above the flash: data memory, then EEPROM at
// 0x810000, fuses, lock bits and signature each in their own 64 KiB.
constexpr uint32_t flash_space_end = 0x800000;
constexpr uint32_t eeprom_space = 0x810000;
constexpr uint32_t space_size = 0x10000;

constexpr uint16_t machine_avr = 83;
constexpr uint32_t segment_load = 1;
constexpr uint32_t section_nobits = 8;

class elf_reader_t {
public:
    elf_reader_t(input_file_t &file, PortionList &flash, PortionList &eeprom, file_facts_t &facts)
        : file(file), bytes(file.bytes()), flash(flash, "ELF file"), eeprom(eeprom, "ELF file"), facts(facts)
    {
    }
    void read();

private:
    [[noreturn]] void invalid(uint64_t offset, const char *what);
    uint16_t half(uint64_t offset) const;
    uint32_t word(uint64_t offset) const;
    // The table of count entries of entry_size bytes at offset must lie inside the file.
    void check_table(uint64_t offset, uint64_t count, uint64_t entry_size, uint64_t minimum_size,
                     uint64_t field, const char *what);
    void check_range(uint64_t offset, uint64_t size, uint64_t field, const char *what);
    void read_segments();
    void read_sections();
    void read_section(uint64_t header, const std::string &name);

    input_file_t &file;
    const std::string &bytes;
    image_builder_t flash;
    image_builder_t eeprom;
    file_facts_t &facts;
};

void elf_reader_t::invalid(uint64_t offset, const char *what)
{
    msg_print(msg_out, MSG_ERROR, "Invalid ELF file: %s\n", what);
    report_offset(file, (unsigned long)offset);
    throw app_error(EXIT_BAD_DATA);
}

uint16_t elf_reader_t::half(uint64_t offset) const
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data()) + offset;
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t elf_reader_t::word(uint64_t offset) const
{
    const unsigned char *p = reinterpret_cast<const unsigned char *>(bytes.data()) + offset;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void elf_reader_t::check_table(uint64_t offset, uint64_t count, uint64_t entry_size, uint64_t minimum_size,
                               uint64_t field, const char *what)
{
    if (count == 0)
        return;
    if (entry_size < minimum_size)
        invalid(field, what);
    check_range(offset, count * entry_size, field, what);
}

void elf_reader_t::check_range(uint64_t offset, uint64_t size, uint64_t field, const char *what)
{
    // 32-bit fields: the sums can't overflow 64 bits.
    if (offset > bytes.size() || size > bytes.size() - offset)
        invalid(field, what);
}

void elf_reader_t::read()
{
    if (bytes.size() < 52)
        invalid(bytes.size(), "file ends inside the ELF header");
    if (bytes.compare(0, 4, "\x7F" "ELF") != 0)
        invalid(0, "no ELF magic number");
    if (bytes[4] != 1)
        invalid(4, "not a 32-bit ELF file");
    if (bytes[5] != 1)
        invalid(5, "not a little-endian ELF file");
    if (half(18) != machine_avr)
        invalid(18, "not an AVR program");
    read_segments();
    read_sections();
    flash.finish(nullptr);
    eeprom.finish(nullptr);
}

void elf_reader_t::read_segments()
{
    uint32_t table = word(28);
    uint16_t entry_size = half(42), count = half(44);
    check_table(table, count, entry_size, 32, 28, "program headers lie outside the file");
    for (uint16_t i = 0; i < count; i++) {
        uint64_t header = uint64_t(table) + uint64_t(i) * entry_size;
        uint32_t offset = word(header + 4), physical = word(header + 12), size = word(header + 16);
        if (word(header) != segment_load || size == 0 || physical >= flash_space_end)
            continue;
        check_range(offset, size, header + 4, "segment lies outside the file");
        if (uint64_t(physical) + size > flash_space_end)
            invalid(header + 12, "segment runs past the flash address space");
        flash.add_block(physical, reinterpret_cast<const uint8_t *>(bytes.data()) + offset, size);
    }
}

void elf_reader_t::read_sections()
{
    uint32_t table = word(32);
    uint16_t entry_size = half(46), count = half(48), names = half(50);
    check_table(table, count, entry_size, 40, 32, "section headers lie outside the file");
    if (count == 0 || names == 0)
        return;
    if (names >= count)
        invalid(50, "section name table index out of range");
    uint64_t names_header = uint64_t(table) + uint64_t(names) * entry_size;
    uint32_t names_offset = word(names_header + 16), names_size = word(names_header + 20);
    check_range(names_offset, names_size, names_header + 16, "section name table lies outside the file");
    for (uint16_t i = 0; i < count; i++) {
        uint64_t header = uint64_t(table) + uint64_t(i) * entry_size;
        uint32_t name = word(header);
        if (name >= names_size)
            invalid(header, "section name outside the name table");
        const char *start = bytes.data() + names_offset + name;
        const void *end = std::memchr(start, 0, names_size - name);
        if (!end)
            invalid(header, "section name without its end");
        read_section(header, std::string(start, static_cast<const char *>(end)));
    }
}

void elf_reader_t::read_section(uint64_t header, const std::string &name)
{
    bool is_eeprom = name == ".eeprom", is_fuse = name == ".fuse", is_lock = name == ".lock",
         is_signature = name == ".signature";
    if (!is_eeprom && !is_fuse && !is_lock && !is_signature)
        return;
    uint32_t address = word(header + 12), offset = word(header + 16), size = word(header + 20);
    if (word(header + 4) == section_nobits || size == 0)
        return;
    check_range(offset, size, header + 16, "section lies outside the file");
    const uint8_t *data = reinterpret_cast<const uint8_t *>(bytes.data()) + offset;
    if (is_eeprom) {
        if (address < eeprom_space || uint64_t(address) + size > eeprom_space + space_size)
            invalid(header + 12, ".eeprom section outside the EEPROM address space");
        eeprom.add_block(address - eeprom_space, data, size);
    } else if (is_signature) {
        if (size != 3)
            invalid(header + 20, ".signature section is not 3 bytes long");
        // avr-libc stores the signature bytes last first
        facts.has_signature = true;
        facts.signature = uint32_t(data[2]) << 16 | uint32_t(data[1]) << 8 | data[0];
    } else if (is_fuse) {
        if (size > 16)
            invalid(header + 20, ".fuse section longer than 16 bytes");
        facts.fuses.assign(data, data + size);
    } else {
        facts.has_lock = true;
        facts.lock = data[0];
    }
}

}  // namespace

void read_elf_input(input_file_t &file, PortionList &flash, PortionList &eeprom, file_facts_t &facts)
{
    std::unique_ptr<elf_reader_t> reader(new elf_reader_t(file, flash, eeprom, facts));
    reader->read();
    facts.file = file.name;
}
