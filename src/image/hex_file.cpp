#include "image/hex_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/messages.h"
#include "image/image_builder.h"
#include "image/input_file.h"
#include "image/output_file.h"
#include "os/os.h"

namespace {

constexpr int line_size = 522;          // 521 characters: a record of 255 data bytes

// Hex digit values; -1 for anything else.
struct hex_table_t {
    int8_t value[256];
    hex_table_t()
    {
        for (int i = 0; i < 256; i++)
            value[i] = -1;
        for (int i = 0; i < 10; i++)
            value['0' + i] = int8_t(i);
        for (int i = 0; i < 6; i++) {
            value['A' + i] = int8_t(10 + i);
            value['a' + i] = int8_t(10 + i);
        }
    }
};
const hex_table_t hex_table;

const char upper_digits[] = "0123456789ABCDEF";

struct file_closer_t {
    void operator()(FILE *file) const { fclose(file); }
};
typedef std::unique_ptr<FILE, file_closer_t> file_ptr_t;

bool is_blank_char(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Line source with the semantics of fgets(buffer, 522, file) over a large
// read buffer: a line is at most 521 characters; the rest of a longer line
// comes as the next line. Reads a file, or text already in memory.
class line_reader_t {
public:
    explicit line_reader_t(FILE *file) : file(file), data(own_buffer), pos(0), fill(0) {}
    explicit line_reader_t(const std::string &text)
        : file(nullptr), data(text.data()), pos(0), fill(text.size())
    {
    }

    // False when no further line can be read.
    bool next(char *line)
    {
        if (ended_line)
            number++;
        int n = 0;
        while (n < line_size - 1) {
            if (pos == fill && !refill())
                break;
            char c = data[pos++];
            line[n++] = c;
            if (c == '\n')
                break;
        }
        line[n] = '\0';
        ended_line = n > 0 && line[n - 1] == '\n';
        return n > 0;
    }

    // The line of the file that the last line came from, from 1.
    unsigned long line_number() const { return number; }

private:
    bool refill()
    {
        if (!file)
            return false;
        fill = fread(own_buffer, 1, sizeof own_buffer, file);
        pos = 0;
        return fill > 0;
    }

    FILE *file;
    const char *data;
    size_t pos;
    size_t fill;
    unsigned long number = 0;
    bool ended_line = true;
    char own_buffer[1 << 16];
};

class hex_reader_t {
public:
    hex_reader_t(input_file_t &file, PortionList &image) : file(file), builder(image, "HEX file") {}
    void read();

private:
    void handle_line(char *line);
    [[noreturn]] void invalid_line(const char *line);
    [[noreturn]] void stop_here();

    input_file_t &file;
    image_builder_t builder;
    std::unique_ptr<line_reader_t> lines;
    bool ignore_checksums = false;
    uint32_t base_address = 0;
    bool ended = false;
};

void hex_reader_t::read()
{
    file_ptr_t stream;
    if (file.is_standard_input()) {
        lines.reset(new line_reader_t(file.bytes()));
    } else {
        stream.reset(open_file(file.path, "rt"));
        lines.reset(new line_reader_t(stream.get()));
    }
    char line[line_size];
    while (!ended) {
        if (!lines->next(line)) {
            msg_print(msg_out, MSG_ERROR, "Unexpected end of file '%s'\n", file.name);
            throw rtl_error(EXIT_BAD_DATA);
        }
        handle_line(line);
    }
    stream.reset();
    builder.finish(file.name);
}

// Names the file and line of the error just printed, and ends the run.
void hex_reader_t::stop_here()
{
    report_line(file, lines->line_number());
    throw app_error(EXIT_BAD_DATA);
}

void hex_reader_t::invalid_line(const char *line)
{
    msg_print(msg_out, MSG_ERROR, "Invalid HEX line\n'%s'\n", line);
    stop_here();
}

void hex_reader_t::handle_line(char *line)
{
    // Drop every whitespace character, wherever it stands.
    char *out = line;
    for (const char *in = line; *in; in++) {
        if (!is_blank_char(*in))
            *out++ = *in;
    }
    *out = '\0';
    size_t length_chars = size_t(out - line);
    if (length_chars == 0 || line[0] == '#')
        return;

    // ':' LL AAAA TT, then the data bytes and the checksum, all as digit pairs.
    if (line[0] != ':' || length_chars < 9 || (length_chars - 9) % 2 != 0)
        invalid_line(line);
    uint8_t bytes[4 + 256];
    size_t count = (length_chars - 1) / 2;
    const unsigned char *digits = reinterpret_cast<const unsigned char *>(line + 1);
    for (size_t i = 0; i < count; i++) {
        int high = hex_table.value[digits[2 * i]];
        int low = hex_table.value[digits[2 * i + 1]];
        if (high < 0 || low < 0)
            invalid_line(line);
        if (i < sizeof bytes)
            bytes[i] = uint8_t(high << 4 | low);
    }
    int length = bytes[0];
    if (count != size_t(4 + length + 1))
        invalid_line(line);

    uint8_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum = uint8_t(sum + bytes[i]);
    if (sum != 0 && !ignore_checksums) {
        msg_print(msg_out, MSG_ERROR, "CSUM error in line\n  %s\nIgnore ALL CSUM errors (y/N)?\n", line);
        int key = file.ask_key ? file.ask_key() : -1;
        if (key != 'y' && key != 'Y')
            stop_here();
        ignore_checksums = true;
    }

    unsigned type = bytes[3];
    if (type > 5) {
        msg_print(msg_out, MSG_ERROR, "Unknown HEX record type 0x%2X\n", type);
        stop_here();
    }

    const uint8_t *data = bytes + 4;
    uint32_t field_address = uint32_t(bytes[1]) << 8 | bytes[2];
    switch (type) {
    case 0: {
        if (length == 0)
            invalid_line(line);
        int64_t address = int64_t(base_address) + field_address;
        // Image addresses are signed 32-bit: refuse what can't be held.
        if (address + length > INT32_MAX)
            invalid_line(line);
        builder.add_record(address, data, length);
        break;
    }
    case 1:
        builder.flush();
        ended = true;
        break;
    case 2:
    case 4:
        // The base comes from the first two data bytes; a shorter record
        // has no base to give.
        if (length < 2)
            invalid_line(line);
        base_address = uint32_t(data[0]) << 8 | data[1];
        base_address <<= (type == 2) ? 4 : 16;
        break;
    default:
        msg_print(msg_out, MSG_WARNING, "Start address record in HEX file ignored\n");
        break;
    }
}

// Output buffer that builds whole records and writes them in large blocks.
class hex_writer_t {
public:
    explicit hex_writer_t(FILE *file) : file(file), used(0), failed(false) {}

    void record(uint8_t length, uint16_t address, uint8_t type, const uint8_t *data)
    {
        if (used + 1 + 2 * (5 + length) + 1 > sizeof buffer)
            flush();
        char *out = buffer + used;
        uint8_t sum = uint8_t(length + (address >> 8) + (address & 0xFF) + type);
        *out++ = ':';
        out = put_byte(out, length);
        out = put_byte(out, uint8_t(address >> 8));
        out = put_byte(out, uint8_t(address));
        out = put_byte(out, type);
        for (int i = 0; i < length; i++) {
            out = put_byte(out, data[i]);
            sum = uint8_t(sum + data[i]);
        }
        out = put_byte(out, uint8_t(-sum));
        *out++ = '\n';
        used = size_t(out - buffer);
    }

    void flush()
    {
        if (used && !failed && fwrite(buffer, 1, used, file) != used)
            failed = true;
        used = 0;
    }

    bool failed_write() const { return failed; }

private:
    static char *put_byte(char *out, uint8_t value)
    {
        out[0] = upper_digits[value >> 4];
        out[1] = upper_digits[value & 0x0F];
        return out + 2;
    }

    FILE *file;
    size_t used;
    bool failed;
    char buffer[1 << 16];
};

}  // namespace

void read_hex_file(const char *path, PortionList &image, key_reader_t ask_key)
{
    input_file_t file(path);
    file.ask_key = ask_key;
    read_hex_input(file, image);
}

void read_hex_input(input_file_t &file, PortionList &image)
{
    std::unique_ptr<hex_reader_t> reader(new hex_reader_t(file, image));
    reader->read();
}

bool write_hex_stream(PortionList &image, FILE *file)
{
    std::unique_ptr<hex_writer_t> writer(new hex_writer_t(file));
    uint32_t current_upper = 0;
    for (CodePortion *portion = image.first(); portion && !writer->failed_write(); portion = image.next_of(portion)) {
        for (int32_t offset = 0; offset < portion->length; offset += 16) {
            uint32_t address = uint32_t(portion->address) + uint32_t(offset);
            uint8_t n = uint8_t(std::min<int32_t>(16, portion->length - offset));
            uint32_t upper = address >> 16;
            if (upper != current_upper) {
                uint8_t base[2] = {uint8_t(upper >> 8), uint8_t(upper)};
                writer->record(2, 0, 4, base);
                current_upper = upper;
            }
            writer->record(n, uint16_t(address), 0, portion->data + offset);
        }
    }
    writer->record(0, 0, 1, nullptr);
    writer->flush();
    return !writer->failed_write();
}

bool write_hex_file(PortionList &image, const char *path)
{
    return write_output_file(
        path, "wt", [](FILE *file, void *user) { return write_hex_stream(*static_cast<PortionList *>(user), file); },
        &image);
}
