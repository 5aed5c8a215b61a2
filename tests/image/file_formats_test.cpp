// The file formats as the run loads and writes them: recognition, what each
// reader accepts and refuses (with the file and line or byte of the error), the
// writers, and cross-checks with files that srec_cat writes and reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include "base/messages.h"
#include "image/file_formats.h"
#include "image/hex_file.h"
#include "support.h"

namespace {

using bytes_t = std::vector<uint8_t>;
using runs_t = std::map<uint32_t, bytes_t>;
using byte_map_t = std::map<uint32_t, uint8_t>;

byte_map_t byte_map(const runs_t &runs)
{
    byte_map_t map;
    for (auto &run : runs)
        for (size_t i = 0; i < run.second.size(); i++)
            map[run.first + uint32_t(i)] = run.second[i];
    return map;
}

byte_map_t byte_map(const PortionList &image)
{
    byte_map_t map;
    for (CodePortion *p = image.first(); p; p = image.next_of(p))
        for (int32_t i = 0; i < p->length; i++)
            map[uint32_t(p->address + i)] = p->data[i];
    return map;
}

bytes_t sequence(size_t n, uint8_t start)
{
    bytes_t v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = uint8_t(start + i * 13);
    return v;
}

std::string text_of(const bytes_t &bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// One S-record with a right checksum (sum_error added to it).
std::string srec(int type, uint32_t address, int address_bytes, const bytes_t &data, int sum_error = 0)
{
    char text[8];
    std::string line = "S" + std::to_string(type);
    unsigned count = unsigned(address_bytes) + unsigned(data.size()) + 1;
    unsigned sum = count;
    std::snprintf(text, sizeof text, "%02X", count);
    line += text;
    for (int i = address_bytes - 1; i >= 0; i--) {
        unsigned b = (address >> (8 * i)) & 0xFF;
        sum += b;
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
    }
    for (uint8_t b : data) {
        sum += b;
        std::snprintf(text, sizeof text, "%02X", b);
        line += text;
    }
    std::snprintf(text, sizeof text, "%02X", (~sum + unsigned(sum_error)) & 0xFF);
    return line + text + "\n";
}

// ---- ELF files as avr-gcc lays them out ---------------------------------------

struct elf_segment_t {
    uint32_t type;  // 1: loadable
    uint32_t virtual_address;
    uint32_t physical_address;
    bytes_t bytes;
};

struct elf_section_t {
    std::string name;
    uint32_t type;  // 1 program bits, 8 no bits
    uint32_t address;
    bytes_t bytes;
};

void put16(std::string &s, size_t at, uint32_t v)
{
    s[at] = char(v);
    s[at + 1] = char(v >> 8);
}

void put32(std::string &s, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        s[at + size_t(i)] = char(v >> (8 * i));
}

uint32_t get32(const std::string &s, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; i--)
        v = v << 8 | uint8_t(s[at + size_t(i)]);
    return v;
}

// Header, program headers, the bytes, the section headers (a null section first,
// the name table last).
std::string make_elf(const std::vector<elf_segment_t> &segments, std::vector<elf_section_t> sections)
{
    std::string names(1, '\0');
    std::vector<uint32_t> name_at;
    sections.push_back({".shstrtab", 3, 0, {}});
    for (auto &s : sections) {
        name_at.push_back(uint32_t(names.size()));
        names += s.name + '\0';
    }
    sections.back().bytes.assign(names.begin(), names.end());

    std::string elf(52 + 32 * segments.size(), '\0');
    elf.replace(0, 7, "\x7F" "ELF\x01\x01\x01");
    put16(elf, 16, 2);
    put16(elf, 18, 83);
    put32(elf, 20, 1);
    put32(elf, 28, 52);
    put16(elf, 40, 52);
    put16(elf, 42, 32);
    put16(elf, 44, uint32_t(segments.size()));
    for (size_t i = 0; i < segments.size(); i++) {
        size_t h = 52 + 32 * i;
        put32(elf, h, segments[i].type);
        put32(elf, h + 4, uint32_t(elf.size()));
        put32(elf, h + 8, segments[i].virtual_address);
        put32(elf, h + 12, segments[i].physical_address);
        put32(elf, h + 16, uint32_t(segments[i].bytes.size()));
        put32(elf, h + 20, uint32_t(segments[i].bytes.size()));
        elf += text_of(segments[i].bytes);
    }
    std::vector<uint32_t> offsets;
    for (auto &s : sections) {
        offsets.push_back(uint32_t(elf.size()));
        if (s.type != 8)
            elf += text_of(s.bytes);
    }
    elf.resize((elf.size() + 3) & ~size_t(3), '\0');
    put32(elf, 32, uint32_t(elf.size()));
    put16(elf, 46, 40);
    put16(elf, 48, uint32_t(sections.size() + 1));
    put16(elf, 50, uint32_t(sections.size()));
    elf += std::string(40, '\0');
    for (size_t i = 0; i < sections.size(); i++) {
        std::string h(40, '\0');
        put32(h, 0, name_at[i]);
        put32(h, 4, sections[i].type);
        put32(h, 12, sections[i].address);
        put32(h, 16, offsets[i]);
        put32(h, 20, uint32_t(sections[i].bytes.size()));
        elf += h;
    }
    return elf;
}

const bytes_t elf_text = {0x0C, 0x94, 0x34, 0x00, 0x0C, 0x94, 0x3E, 0x00, 0xFF, 0xCF};

// The shape of an avr-gcc program: .text, .data loaded after it, .bss, and the
// EEPROM, fuse, lock and signature sections in their own address spaces.
std::string firmware_elf()
{
    return make_elf({{1, 0x0, 0x0, elf_text},
                     {1, 0x800100, 0x0A, {0xAA, 0xBB}},
                     {1, 0x800102, 0x0C, {}},
                     {1, 0x810000, 0x810000, {1, 2, 3}},
                     {1, 0x820000, 0x820000, {0xE2, 0xD9, 0xFD}}},
                    {{".text", 1, 0x0, elf_text},
                     {".data", 1, 0x800100, {0xAA, 0xBB}},
                     {".bss", 8, 0x800102, {0, 0, 0, 0}},
                     {".eeprom", 1, 0x810000, {1, 2, 3}},
                     {".fuse", 1, 0x820000, {0xE2, 0xD9, 0xFD}},
                     {".lock", 1, 0x830000, {0xFC}},
                     {".signature", 1, 0x840000, {0x0F, 0x95, 0x1E}}});
}

// A stripped file: program headers and their bytes only.
std::string elf_without_sections()
{
    std::string elf = make_elf({{1, 0, 0x100, {1, 2}}}, {}).substr(0, 52 + 32 + 2);
    put32(elf, 32, 0);
    put16(elf, 48, 0);
    put16(elf, 50, 0);
    return elf;
}

// The offset of section header n (0 is the null section).
size_t section_header(const std::string &elf, size_t n)
{
    return get32(elf, 32) + 40 * n;
}

// ---- loading through the run's entry point ------------------------------------

class FileFormatsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/morvin_formats_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        std::string command = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // The path of name in the test's folder; a format prefix stays in front.
    std::string path(const std::string &name) const
    {
        size_t colon = name.find(':');
        if (colon == std::string::npos)
            return dir + "/" + name;
        return name.substr(0, colon + 1) + dir + "/" + name.substr(colon + 1);
    }
    std::string file_path(const std::string &name) const
    {
        size_t colon = name.find(':');
        return dir + "/" + (colon == std::string::npos ? name : name.substr(colon + 1));
    }
    void write(const std::string &name, const std::string &content) const
    {
        FILE *f = std::fopen(file_path(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    std::string read(const std::string &name) const
    {
        std::string text;
        FILE *f = std::fopen(file_path(name).c_str(), "rb");
        if (!f)
            return "<missing>";
        int c;
        while ((c = std::fgetc(f)) != EOF)
            text += char(c);
        std::fclose(f);
        return text;
    }

    struct loaded_t {
        int status = 0;
        std::string messages;
        byte_map_t code, data;
        file_facts_t facts;
    };

    // Loads code_name (and data_name) as a write run does, a single file split at code_size.
    loaded_t load(const std::string &code_name, const std::string &data_name = "", int32_t code_size = 0x8000)
    {
        loaded_t result;
        PortionList code, data;
        std::string c = path(code_name), d = data_name.empty() ? "" : path(data_name);
        message_capture_t capture;
        try {
            load_image_files(c.c_str(), d.empty() ? nullptr : d.c_str(), d.empty(), code_size, code, data,
                             result.facts, [] { return int('n'); });
        } catch (const app_error &e) {
            result.status = e.exit_code;
        }
        result.messages = capture.take();
        result.code = byte_map(code);
        result.data = byte_map(data);
        return result;
    }

    // text with "{file}" standing for the path of name
    std::string with_path(std::string text, const std::string &name) const
    {
        for (size_t at; (at = text.find("{file}")) != std::string::npos;)
            text.replace(at, 6, file_path(name));
        return text;
    }

    std::string dir;
};

struct accepted_case {
    const char *what;
    std::string name;
    std::string content;
    runs_t code, data;
    std::string messages;  // "{file}": the file's path
};

TEST_F(FileFormatsTest, EachFormatIsRecognisedAndReadIntoBothImages)
{
    bytes_t big = sequence(0x8000 + 3, 1);
    const std::string elf_report = "Signature in '{file}': 1E 95 0F\n"
                                   "Fuses in '{file}': E2 D9 FD (low byte first), not written\n"
                                   "Lock byte in '{file}': FC, not written\n";
    const accepted_case cases[] = {
        {"S-record of every width, CR LF, blanks and a count; above the flash is EEPROM", "fw.srec",
         srec(0, 0, 2, {'h', 'd', 'r'}) + "\r\n" + srec(1, 0x0010, 2, {0x11, 0x22}) + "  " +
             srec(2, 0x01234, 3, {0x55}) + srec(3, 0x8001, 4, {0x44}) + srec(1, 0x0012, 2, {0x33}) +
             srec(5, 4, 2, {}) + srec(9, 0, 2, {}) + "anything after the end\n",
         {{0x10, {0x11, 0x22, 0x33}}, {0x1234, {0x55}}},
         {{0x0001, {0x44}}},
         ""},
        {"S-record told by its content whatever the name says; the end record is optional", "fw.hex",
         srec(1, 0x0100, 2, {9, 8, 7}), {{0x100, {9, 8, 7}}}, {}, ""},
        {"raw binary by its extension, whatever it holds", "fw.BIN", "S1:00", {{0, {'S', '1', ':', '0', '0'}}}, {},
         ""},
        {"raw binary by a prefix: from address 0, split at the flash size", "bin:fw.img", text_of(big),
         {{0, bytes_t(big.begin(), big.begin() + 0x8000)}},
         {{0, bytes_t(big.begin() + 0x8000, big.end())}},
         ""},
        {"ELF: segments by physical address to flash, .eeprom to EEPROM, the rest reported", "fw.elf",
         firmware_elf(),
         {{0, elf_text}, {0x0A, {0xAA, 0xBB}}},
         {{0, {1, 2, 3}}},
         elf_report},
        {"ELF told by its magic number", "firmware", firmware_elf(), {{0, elf_text}, {0x0A, {0xAA, 0xBB}}},
         {{0, {1, 2, 3}}}, elf_report},
        {"ELF without section headers: flash only", "bare.elf", elf_without_sections(), {{0x100, {1, 2}}}, {}, ""},
        {"text of no other format is Intel HEX", "fw.txt", ":0100200042 9D\n:00000001FF\n", {{0x20, {0x42}}}, {},
         ""},
    };
    for (const accepted_case &c : cases) {
        write(c.name, c.content);
        loaded_t r = load(c.name);
        EXPECT_EQ(r.status, 0) << c.what << "\n" << r.messages;
        EXPECT_EQ(r.code, byte_map(c.code)) << c.what;
        EXPECT_EQ(r.data, byte_map(c.data)) << c.what;
        EXPECT_EQ(r.messages, with_path(c.messages, c.name)) << c.what;
    }
}

TEST_F(FileFormatsTest, ElfFilesGiveTheMemoryTheirPlaceAsksFor)
{
    write("fw.elf", firmware_elf());
    write("code.hex", ":0100200042 9D\n:00000001FF\n");

    // as the data file: its EEPROM only
    loaded_t r = load("code.hex", "fw.elf");
    ASSERT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(r.code, byte_map(runs_t{{0x20, {0x42}}}));
    EXPECT_EQ(r.data, byte_map(runs_t{{0, {1, 2, 3}}}));
    EXPECT_TRUE(r.facts.has_signature);
    EXPECT_EQ(r.facts.signature, 0x1E950Fu);
    EXPECT_EQ(r.facts.fuses, (bytes_t{0xE2, 0xD9, 0xFD}));
    EXPECT_TRUE(r.facts.has_lock);
    EXPECT_EQ(r.facts.lock, 0xFC);

    // as the code file beside a data file: its flash only
    r = load("fw.elf", "code.hex");
    ASSERT_EQ(r.status, 0) << r.messages;
    EXPECT_EQ(r.code, byte_map(runs_t{{0, elf_text}, {0x0A, {0xAA, 0xBB}}}));
    EXPECT_EQ(r.data, byte_map(runs_t{{0x20, {0x42}}}));

    // an ELF file without EEPROM as the data file has nothing to give
    write("flash_only.elf", make_elf({{1, 0, 0, {1}}}, {}));
    r = load("code.hex", "flash_only.elf");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.messages, with_path("Warning: '{file}' has no data records\n", "flash_only.elf"));
    EXPECT_TRUE(r.data.empty());

    // standard input can't be read twice
    PortionList code, data;
    file_facts_t facts;
    message_capture_t capture;
    try {
        load_image_files("-", "bin:-", false, 0x8000, code, data, facts, nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const app_error &e) {
        EXPECT_EQ(e.exit_code, EXIT_USAGE);
    }
    EXPECT_EQ(capture.take(), "Only one file can come from standard input\n");
}

struct refused_case {
    const char *what;
    std::string name;
    std::string content;
    std::string messages;  // "{file}": the file's path
};

std::string line_of(const std::string &record)
{
    return record.substr(0, record.size() - 1);
}

std::string elf_with(void (*change)(std::string &elf))
{
    std::string elf = firmware_elf();
    change(elf);
    return elf;
}

TEST_F(FileFormatsTest, ReadersNameTheFileAndTheLineOrByteOfAnError)
{
    std::string good = srec(1, 0x10, 2, {0xAA});
    const refused_case cases[] = {
        {"S-record count byte disagrees with the line", "a.srec", good + "S1050010AA00\n",
         "Invalid S-record line\n'S1050010AA00'\nat line 2 of '{file}'\n"},
        {"S-record with a character that is no hex digit", "a.srec", "S10400G0AA00\n",
         "Invalid S-record line\n'S10400G0AA00'\nat line 1 of '{file}'\n"},
        {"S-record line of an odd length", "a.srec", "\n\n" + good.substr(0, good.size() - 2) + "\n",
         "Invalid S-record line\n'" + good.substr(0, good.size() - 2) + "'\nat line 3 of '{file}'\n"},
        {"S-record checksum", "a.srec", srec(1, 0x10, 2, {0xAA}, 1),
         "S-record checksum error\n'" + line_of(srec(1, 0x10, 2, {0xAA}, 1)) + "'\nat line 1 of '{file}'\n"},
        {"S4 is reserved", "a.srec", good + srec(4, 0, 2, {}),
         "Unknown S-record type S4\n'" + line_of(srec(4, 0, 2, {})) + "'\nat line 2 of '{file}'\n"},
        {"S5 count of the wrong number of records", "a.srec", good + srec(5, 2, 2, {}) + srec(9, 0, 2, {}),
         "S-record count 2, but 1 data records before it\nat line 2 of '{file}'\n"},
        {"S-record too short for its address", "a.srec", good + "S1020000FD\n",
         "Invalid S-record line\n'S1020000FD'\nat line 2 of '{file}'\n"},
        {"S3 data beyond the 2 GiB an image holds", "a.srec", srec(3, 0x7FFFFFFF, 4, {1, 2}),
         "S-record address beyond 2 GiB\n'" + line_of(srec(3, 0x7FFFFFFF, 4, {1, 2})) + "'\nat line 1 of '{file}'\n"},
        {"text in no format is refused as Intel HEX", "a.dat", "\n\nhello\n",
         "Invalid HEX line\n'hello'\nat line 3 of '{file}'\n"},
        {"ELF shorter than its header", "a.elf", firmware_elf().substr(0, 40),
         "Invalid ELF file: file ends inside the ELF header\nat byte 0x28 of '{file}'\n"},
        {"forced ELF without the magic number", "elf:a.hex", std::string(60, ':'),
         "Invalid ELF file: no ELF magic number\nat byte 0x0 of '{file}'\n"},
        {"64-bit ELF", "a.elf", elf_with([](std::string &e) { e[4] = 2; }),
         "Invalid ELF file: not a 32-bit ELF file\nat byte 0x4 of '{file}'\n"},
        {"big-endian ELF", "a.elf", elf_with([](std::string &e) { e[5] = 2; }),
         "Invalid ELF file: not a little-endian ELF file\nat byte 0x5 of '{file}'\n"},
        {"ELF for another machine", "a.elf", elf_with([](std::string &e) { put16(e, 18, 3); }),
         "Invalid ELF file: not an AVR program\nat byte 0x12 of '{file}'\n"},
        {"program headers beyond the end", "a.elf", elf_with([](std::string &e) { put32(e, 28, 0xFFFFFFF0); }),
         "Invalid ELF file: program headers lie outside the file\nat byte 0x1C of '{file}'\n"},
        {"program headers too short", "a.elf", elf_with([](std::string &e) { put16(e, 42, 16); }),
         "Invalid ELF file: program headers lie outside the file\nat byte 0x1C of '{file}'\n"},
        {"segment bytes beyond the end", "a.elf", elf_with([](std::string &e) { put32(e, 52 + 4, 0xFFFFFFFF); }),
         "Invalid ELF file: segment lies outside the file\nat byte 0x38 of '{file}'\n"},
        {"segment running out of the flash space", "a.elf",
         elf_with([](std::string &e) { put32(e, 52 + 12, 0x7FFFFC); }),
         "Invalid ELF file: segment runs past the flash address space\nat byte 0x40 of '{file}'\n"},
        {"section headers beyond the end", "a.elf", elf_with([](std::string &e) { put16(e, 48, 0xFFFF); }),
         "Invalid ELF file: section headers lie outside the file\nat byte 0x20 of '{file}'\n"},
        {"name table index past the sections", "a.elf", elf_with([](std::string &e) { put16(e, 50, 9); }),
         "Invalid ELF file: section name table index out of range\nat byte 0x32 of '{file}'\n"},
        {"name table beyond the end", "a.elf",
         elf_with([](std::string &e) { put32(e, section_header(e, 8) + 20, 0x10000); }),
         "Invalid ELF file: section name table lies outside the file\nat byte 0x{names} of '{file}'\n"},
        {"section name outside the name table", "a.elf",
         elf_with([](std::string &e) { put32(e, section_header(e, 1), 0x1000); }),
         "Invalid ELF file: section name outside the name table\nat byte 0x{first} of '{file}'\n"},
        {"section bytes beyond the end", "a.elf",
         elf_with([](std::string &e) { put32(e, section_header(e, 4) + 20, 0x1000000); }),
         "Invalid ELF file: section lies outside the file\nat byte 0x{eeprom_offset} of '{file}'\n"},
        {".eeprom outside its address space", "a.elf",
         elf_with([](std::string &e) { put32(e, section_header(e, 4) + 12, 0x80FFFF); }),
         "Invalid ELF file: .eeprom section outside the EEPROM address space\nat byte 0x{eeprom_address} of "
         "'{file}'\n"},
        {".signature of two bytes", "a.elf",
         elf_with([](std::string &e) { put32(e, section_header(e, 7) + 20, 2); }),
         "Invalid ELF file: .signature section is not 3 bytes long\nat byte 0x{signature_size} of '{file}'\n"},
    };
    std::string elf = firmware_elf();
    auto hex = [](size_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "%zX", v);
        return std::string(text);
    };
    const std::map<std::string, std::string> offsets = {
        {"{names}", hex(section_header(elf, 8) + 16)},
        {"{first}", hex(section_header(elf, 1))},
        {"{eeprom_offset}", hex(section_header(elf, 4) + 16)},
        {"{eeprom_address}", hex(section_header(elf, 4) + 12)},
        {"{signature_size}", hex(section_header(elf, 7) + 20)},
    };
    for (const refused_case &c : cases) {
        write(c.name, c.content);
        loaded_t r = load(c.name);
        std::string expected = with_path(c.messages, c.name);
        for (auto &o : offsets) {
            size_t at = expected.find(o.first);
            if (at != std::string::npos)
                expected.replace(at, o.first.size(), o.second);
        }
        EXPECT_EQ(r.status, EXIT_BAD_DATA) << c.what;
        EXPECT_EQ(r.messages, expected) << c.what;
    }
}

struct written_case {
    const char *what;
    std::string name;
    runs_t image;
    std::string first_data_record;  // the start of the first data line
};

TEST_F(FileFormatsTest, ReadsAreWrittenInTheFormatTheNameAsksFor)
{
    runs_t low = {{0, sequence(40, 1)}, {0x100, sequence(5, 2)}};
    runs_t high = {{0x12000, sequence(3, 3)}};
    const written_case cases[] = {
        {"Intel HEX", "out.hex", low, ":10000000"},
        {"Intel HEX for a name of no format", "out.txt", low, ":10000000"},
        {"S-record, narrowest addresses", "out.srec", low, "S1130000"},
        {"S19", "out.s19", low, "S1130000"},
        {"S28", "out.s28", low, "S214000000"},
        {"S37", "out.S37", low, "S31500000000"},
        {"S19 widens for addresses above 64 KiB", "out.s19", high, "S207012000"},
        {"S-record by prefix", "srec:out.dat", low, "S1130000"},
        {"raw binary", "out.bin", low, std::string("\x01\x0E", 2)},
        {"raw binary by prefix", "bin:out.hex", low, std::string("\x01\x0E", 2)},
    };
    for (const written_case &c : cases) {
        PortionList image;
        for (auto &run : c.image)
            image.append(new CodePortion(int32_t(run.first), int32_t(run.second.size()), run.second.data()));
        std::string target = path(c.name);
        ASSERT_TRUE(write_image_file(image, target.c_str())) << c.what;
        std::string text = read(c.name);
        size_t data_line = text[0] == 'S' ? text.find('\n') + 1 : 0;
        EXPECT_EQ(text.substr(data_line, c.first_data_record.size()), c.first_data_record) << c.what;

        // what was written reads back the same; raw binary fills the gaps with FF
        byte_map_t expected = byte_map(c.image);
        if (text.substr(0, 2) == std::string("\x01\x0E", 2)) {
            for (uint32_t a = 0; a < 0x105; a++)
                expected.emplace(a, 0xFF);
            EXPECT_EQ(text.size(), 0x105u) << c.what;
        }
        loaded_t back = load(c.name, "", 0x100000);
        EXPECT_EQ(back.status, 0) << c.what << back.messages;
        EXPECT_EQ(back.code, expected) << c.what;
    }

    // ELF files are not written: the run says which names are
    PortionList image;
    image.append(new CodePortion(0, 3, sequence(3, 1).data()));
    message_capture_t capture;
    std::string elf = path("out.elf");
    try {
        write_image_file(image, elf.c_str());
        ADD_FAILURE() << "no exception";
    } catch (const app_error &e) {
        EXPECT_EQ(e.exit_code, EXIT_USAGE);
    }
    EXPECT_EQ(capture.take(), "Can't write ELF files ('" + elf + "'): name a .hex, .srec or .bin file\n");
    EXPECT_EQ(read("out.elf"), "<missing>");
}

// ---- cross-checks with srec_cat (package srecord) -----------------------------

// Runs srec_cat with the arguments; a missing srec_cat fails the test.
void srec_cat(const std::string &arguments)
{
    std::string command = "srec_cat " + arguments + " 2>&1";
    int status = std::system(command.c_str());
    ASSERT_NE(WEXITSTATUS(status), 127) << "srec_cat not found: install the package srecord (scripts/setup does)";
    ASSERT_EQ(status, 0) << command;
}

TEST_F(FileFormatsTest, FilesThatSrecCatWritesReadAsItsIntelHexDoes)
{
    // across 64 KiB and 128 KiB, as the largest chips' files are
    runs_t runs = {{0x0000, sequence(300, 1)}, {0xFFF0, sequence(40, 2)}, {0x1FF00, sequence(0x200, 3)}};
    PortionList image;
    for (auto &run : runs)
        image.append(new CodePortion(int32_t(run.first), int32_t(run.second.size()), run.second.data()));
    ASSERT_TRUE(write_hex_file(image, file_path("ref.hex").c_str()));
    const std::string in = file_path("ref.hex") + " -intel";

    srec_cat(in + " -o " + file_path("cat.srec") + " -motorola");
    srec_cat(in + " -o " + file_path("cat.s37") + " -motorola -address-length=4");
    srec_cat(in + " -o " + file_path("cat_crlf.s19") + " -motorola -crlf -line-length=80");
    for (const char *name : {"cat.srec", "cat.s37"}) {
        loaded_t r = load(name, "", 0x100000);
        EXPECT_EQ(r.status, 0) << name << r.messages;
        EXPECT_EQ(r.code, byte_map(runs)) << name;
    }
    // above 64 KiB srec_cat writes S2 records into the .s19 file
    loaded_t crlf = load("cat_crlf.s19", "", 0x100000);
    EXPECT_EQ(crlf.code, byte_map(runs)) << crlf.messages;

    // raw binary: srec_cat fills the gaps as asked
    srec_cat(in + " -fill 0xFF 0 0x20100 -o " + file_path("cat.bin") + " -binary");
    loaded_t bin = load("cat.bin", "", 0x100000);
    byte_map_t filled;
    for (uint32_t a = 0; a < 0x20100; a++)
        filled[a] = 0xFF;
    for (auto &b : byte_map(runs))
        filled[b.first] = b.second;
    EXPECT_EQ(bin.code, filled);
}

TEST_F(FileFormatsTest, FilesWeWriteReadInSrecCatAsTheImage)
{
    runs_t runs = {{0x0000, sequence(300, 4)}, {0x1FF00, sequence(0x200, 5)}};
    PortionList image;
    for (auto &run : runs)
        image.append(new CodePortion(int32_t(run.first), int32_t(run.second.size()), run.second.data()));
    for (const char *name : {"ours.srec", "ours.s28", "ours.s37", "ours.bin"}) {
        ASSERT_TRUE(write_image_file(image, file_path(name).c_str())) << name;
        std::string format = std::string(name).substr(5) == "bin" ? " -binary" : " -motorola";
        std::string hex = file_path(name) + ".hex";
        // srec_cat refuses wrong checksums and counts by itself
        srec_cat(file_path(name) + format + " -o " + hex + " -intel");
        PortionList back;
        message_capture_t capture;
        read_hex_file(hex.c_str(), back, nullptr);
        byte_map_t expected = byte_map(runs);
        if (format == " -binary")
            for (uint32_t a = 0; a < 0x20100; a++)
                expected.emplace(a, 0xFF);
        EXPECT_EQ(byte_map(back), expected) << name;
    }
}

}  // namespace
