#include "image/file_formats.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/messages.h"
#include "image/binary_file.h"
#include "image/elf_file.h"
#include "image/hex_file.h"
#include "image/input_file.h"
#include "image/output_file.h"
#include "image/srec_file.h"

namespace {

struct file_format_t {
    const char *name;                 // also the prefix that forces the format: "bin:fw.img"
    const char *title;                // for messages
    const char *extensions[5];        // lower case; the first entries choose the output format
    // true when the first bytes of a file are of this format; null: told by name only
    bool (*holds)(const std::string &head);
    bool by_extension_first;          // its extension outweighs the content (raw bytes say nothing)
    bool binary;                      // written in binary mode
    bool two_memories;                // the file holds flash and EEPROM apart (ELF)
    void (*read)(input_file_t &file, PortionList &image, PortionList &eeprom, file_facts_t &facts);
    // null: not writable. address_bytes: the S-record width asked for by the extension.
    bool (*write)(PortionList &image, FILE *file, int address_bytes);
};

void read_hex(input_file_t &file, PortionList &image, PortionList &, file_facts_t &)
{
    read_hex_input(file, image);
}

void read_srec(input_file_t &file, PortionList &image, PortionList &, file_facts_t &)
{
    read_srec_input(file, image);
}

void read_binary(input_file_t &file, PortionList &image, PortionList &, file_facts_t &)
{
    read_binary_input(file, image);
}

bool write_hex(PortionList &image, FILE *file, int)
{
    return write_hex_stream(image, file);
}

bool write_binary(PortionList &image, FILE *file, int)
{
    return write_binary_stream(image, file);
}

bool holds_elf(const std::string &head)
{
    return head.compare(0, 4, "\x7F" "ELF") == 0;
}

// The first thing that is not blank is "S" and a digit.
bool holds_srec(const std::string &head)
{
    size_t first = head.find_first_not_of(" \t\r\n\v\f");
    return first != std::string::npos && first + 1 < head.size() && head[first] == 'S' &&
           isdigit((unsigned char)head[first + 1]);
}

enum format_index_t { FORMAT_HEX, FORMAT_SREC, FORMAT_ELF, FORMAT_BINARY, FORMAT_COUNT };

// Intel HEX is also what a file of no other format is read as.
const file_format_t formats[FORMAT_COUNT] = {
    {"hex", "Intel HEX", {".hex", ".ihex", ".ihx", nullptr}, nullptr, false, false, false, read_hex, write_hex},
    {"srec", "S-record", {".srec", ".s19", ".s28", ".s37", nullptr}, holds_srec, false, false, false, read_srec,
     write_srec_stream},
    {"elf", "ELF", {".elf", nullptr}, holds_elf, false, true, true, read_elf_input, nullptr},
    {"bin", "raw binary", {".bin", nullptr}, nullptr, true, true, false, read_binary, write_binary},
};

bool same_text(const char *a, const char *b, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (tolower((unsigned char)a[i]) != tolower((unsigned char)b[i]))
            return false;
    return true;
}

// The format a "name:" prefix forces, or -1; rest: the path after the prefix.
int prefixed_format(const char *path, const char **rest)
{
    for (int i = 0; i < FORMAT_COUNT; i++) {
        size_t n = std::strlen(formats[i].name);
        if (same_text(path, formats[i].name, n) && path[n] == ':') {
            *rest = path + n + 1;
            return i;
        }
    }
    *rest = path;
    return -1;
}

// The format whose extension ends the path, or -1; extension: which one it was.
int extension_format(const char *path, int *extension)
{
    size_t length = std::strlen(path);
    for (int i = 0; i < FORMAT_COUNT; i++) {
        for (int e = 0; formats[i].extensions[e]; e++) {
            size_t n = std::strlen(formats[i].extensions[e]);
            if (length > n && same_text(path + length - n, formats[i].extensions[e], n)) {
                *extension = e;
                return i;
            }
        }
    }
    return -1;
}

int input_format(input_file_t &file)
{
    int extension = 0;
    int by_name = extension_format(file.path, &extension);
    if (by_name >= 0 && formats[by_name].by_extension_first)
        return by_name;
    std::string head = file.head(256);
    for (int i = 0; i < FORMAT_COUNT; i++)
        if (formats[i].holds && formats[i].holds(head))
            return i;
    return by_name >= 0 ? by_name : FORMAT_HEX;
}

// Reads one input file into image. A file that keeps flash and EEPROM apart
// gives image its flash (its EEPROM as_data), and the EEPROM of a code file to eeprom.
void read_input(const char *name, PortionList &image, PortionList &eeprom, bool as_data, file_facts_t &facts,
                key_reader_t ask_key)
{
    const char *path = name;
    int index = prefixed_format(name, &path);
    input_file_t file(path);
    file.ask_key = ask_key;
    if (index < 0)
        index = input_format(file);
    const file_format_t &format = formats[index];
    if (!format.two_memories) {
        format.read(file, image, eeprom, facts);
        return;
    }

    PortionList flash_bytes, eeprom_bytes;
    format.read(file, flash_bytes, eeprom_bytes, facts);
    PortionList &wanted = as_data ? eeprom_bytes : flash_bytes;
    if (wanted.empty() && (as_data || eeprom_bytes.empty()))
        msg_print(msg_out, MSG_WARNING, "Warning: '%s' has no data records\n", file.name);
    while (CodePortion *p = wanted.first())
        image.append(wanted.unlink(p));
    while (CodePortion *p = eeprom_bytes.first())
        eeprom.append(eeprom_bytes.unlink(p));

    if (facts.has_signature)
        msg_print(msg_out, MSG_INFO, "Signature in '%s': %02X %02X %02X\n", file.name,
                  unsigned(facts.signature >> 16), unsigned(facts.signature >> 8 & 0xFF),
                  unsigned(facts.signature & 0xFF));
    if (!facts.fuses.empty()) {
        std::string bytes;
        char text[4];
        for (uint8_t b : facts.fuses) {
            std::snprintf(text, sizeof text, " %02X", b);
            bytes += text;
        }
        msg_print(msg_out, MSG_INFO, "Fuses in '%s':%s (low byte first), not written\n", file.name, bytes.c_str());
    }
    if (facts.has_lock)
        msg_print(msg_out, MSG_INFO, "Lock byte in '%s': %02X, not written\n", file.name, facts.lock);
}

struct output_job_t {
    PortionList &image;
    const file_format_t &format;
    int address_bytes;
};

// The format an output name asks for; rest: the path after a prefix.
int output_format(const char *path, const char **rest, int *extension)
{
    int index = prefixed_format(path, rest);
    *extension = 0;
    if (index < 0)
        index = extension_format(*rest, extension);
    if (index < 0)
        index = FORMAT_HEX;
    if (!formats[index].write)
        fail(EXIT_USAGE, "Can't write %s files ('%s'): name a .hex, .srec or .bin file\n", formats[index].title, path);
    return index;
}

}  // namespace

bool is_standard_stream_name(const char *name)
{
    const char *path = name;
    prefixed_format(name, &path);
    return std::strcmp(path, "-") == 0;
}

void load_image_files(const char *code_file, const char *data_file, bool single_file, int32_t code_size,
                      PortionList &code, PortionList &data, file_facts_t &facts, key_reader_t ask_key)
{
    facts = file_facts_t{};
    if (code_file && data_file && is_standard_stream_name(code_file) && is_standard_stream_name(data_file))
        fail(EXIT_USAGE, "Only one file can come from standard input\n");
    PortionList elf_eeprom, unused;
    if (code_file)
        read_input(code_file, code, elf_eeprom, false, facts, ask_key);
    if (data_file)
        read_input(data_file, data, unused, true, facts, ask_key);
    // One file may carry both memories, the EEPROM placed above the flash.
    if (single_file && !code.empty())
        split_image(code, data, code_size);
    if (single_file)
        while (CodePortion *p = elf_eeprom.first())
            data.append(elf_eeprom.unlink(p));
}


void check_output_files(const char *code_file, const char *data_file)
{
    const char *rest;
    int extension;
    for (const char *path : {code_file, data_file})
        if (path)
            output_format(path, &rest, &extension);
    if (code_file && data_file && is_standard_stream_name(code_file) && is_standard_stream_name(data_file))
        fail(EXIT_USAGE, "Only one file can go to standard output\n");
}

bool write_image_file(PortionList &image, const char *path)
{
    const char *rest = path;
    int extension = 0;
    int index = output_format(path, &rest, &extension);
    const file_format_t &format = formats[index];
    // .s19, .s28 and .s37 ask for 2, 3 and 4 address bytes; the others for the fewest that do
    int address_bytes = index == FORMAT_SREC && extension > 0 ? extension + 1 : 0;
    output_job_t job{image, format, address_bytes};
    return write_output_file(
        rest, format.binary ? "wb" : "wt",
        [](FILE *file, void *user) {
            output_job_t &j = *static_cast<output_job_t *>(user);
            return j.format.write(j.image, file, j.address_bytes);
        },
        &job);
}
