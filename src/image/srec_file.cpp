#include "image/srec_file.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "base/messages.h"
#include "image/image_builder.h"
#include "image/input_file.h"

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Address bytes of each record type; 0 where the type has no address field in use.
const int address_bytes_of[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

class srec_reader_t {
public:
    srec_reader_t(input_file_t &file, PortionList &image) : file(file), builder(image, "S-record file") {}
    void read();

private:
    void handle_line(const std::string &line);
    [[noreturn]] void stop(const char *what, const std::string &line);

    input_file_t &file;
    image_builder_t builder;
    unsigned long line_number = 0;
    unsigned long data_records = 0;
    bool ended = false;
};

void srec_reader_t::read()
{
    const std::string &text = file.bytes();
    size_t at = 0;
    while (!ended && at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        line_number++;
        std::string line = text.substr(at, end - at);
        at = end + 1;
        // Blanks and the CR of CR LF line ends around a record do not count.
        size_t first = line.find_first_not_of(" \t\r\v\f");
        size_t last = line.find_last_not_of(" \t\r\v\f");
        if (first == std::string::npos)
            continue;
        handle_line(line.substr(first, last - first + 1));
    }
    // The end record is optional: srec_cat leaves it out when there is no start address.
    builder.finish(file.name);
}

void srec_reader_t::stop(const char *what, const std::string &line)
{
    msg_print(msg_out, MSG_ERROR, "%s\n'%.80s'\n", what, line.c_str());
    report_line(file, line_number);
    throw app_error(EXIT_BAD_DATA);
}

void srec_reader_t::handle_line(const std::string &line)
{
    // 'S', the type digit, then count, address, data and checksum as digit pairs.
    if (line.size() < 4 || line[0] != 'S' || line[1] < '0' || line[1] > '9' || line.size() % 2 != 0)
        stop("Invalid S-record line", line);
    int type = line[1] - '0';
    if (type == 4)
        stop("Unknown S-record type S4", line);
    size_t count = (line.size() - 2) / 2;
    uint8_t bytes[1 + 255];
    if (count > sizeof bytes)
        stop("Invalid S-record line", line);
    for (size_t i = 0; i < count; i++) {
        int high = hex_digit(line[2 + 2 * i]);
        int low = hex_digit(line[3 + 2 * i]);
        if (high < 0 || low < 0)
            stop("Invalid S-record line", line);
        bytes[i] = uint8_t(high << 4 | low);
    }
    size_t address_bytes = size_t(address_bytes_of[type]);
    // The count covers address, data and checksum.
    if (bytes[0] != count - 1 || count < 1 + address_bytes + 1)
        stop("Invalid S-record line", line);
    uint8_t sum = 0;
    for (size_t i = 0; i < count; i++)
        sum = uint8_t(sum + bytes[i]);
    if (sum != 0xFF)
        stop("S-record checksum error", line);

    uint32_t address = 0;
    for (size_t i = 0; i < address_bytes; i++)
        address = address << 8 | bytes[1 + i];
    const uint8_t *data = bytes + 1 + address_bytes;
    int length = int(count - 1 - address_bytes - 1);
    switch (type) {
    case 1:
    case 2:
    case 3:
        data_records++;
        if (int64_t(address) + length > INT32_MAX)
            stop("S-record address beyond 2 GiB", line);
        if (length > 0)
            builder.add_record(address, data, length);
        break;
    case 5:
    case 6:
        if (address != data_records) {
            msg_print(msg_out, MSG_ERROR, "S-record count %lu, but %lu data records before it\n",
                      (unsigned long)address, data_records);
            report_line(file, line_number);
            throw app_error(EXIT_BAD_DATA);
        }
        break;
    case 7:
    case 8:
    case 9:
        builder.flush();
        ended = true;
        break;
    default:  // S0 header: its text is not needed
        break;
    }
}

// Whole records into a large buffer, written in blocks.
class srec_writer_t {
public:
    explicit srec_writer_t(FILE *file) : file(file) {}

    void record(int type, int address_bytes, uint32_t address, const uint8_t *data, int length)
    {
        char line[4 + 2 * (1 + 4 + 255 + 1) + 2];
        char *out = line;
        *out++ = 'S';
        *out++ = char('0' + type);
        uint8_t count = uint8_t(address_bytes + length + 1);
        uint8_t sum = count;
        out = put(out, count);
        for (int i = address_bytes - 1; i >= 0; i--) {
            uint8_t b = uint8_t(address >> (8 * i));
            sum = uint8_t(sum + b);
            out = put(out, b);
        }
        for (int i = 0; i < length; i++) {
            sum = uint8_t(sum + data[i]);
            out = put(out, data[i]);
        }
        out = put(out, uint8_t(~sum));
        *out++ = '\n';
        text.append(line, size_t(out - line));
        if (text.size() > (1 << 16))
            flush();
    }

    bool flush()
    {
        if (!text.empty() && fwrite(text.data(), 1, text.size(), file) != text.size())
            failed = true;
        text.clear();
        return !failed;
    }

private:
    static char *put(char *out, uint8_t value)
    {
        static const char digits[] = "0123456789ABCDEF";
        out[0] = digits[value >> 4];
        out[1] = digits[value & 0x0F];
        return out + 2;
    }

    FILE *file;
    std::string text;
    bool failed = false;
};

}  // namespace

void read_srec_input(input_file_t &file, PortionList &image)
{
    std::unique_ptr<srec_reader_t> reader(new srec_reader_t(file, image));
    reader->read();
}

bool write_srec_stream(PortionList &image, FILE *file, int address_bytes)
{
    uint32_t top = image.empty() ? 0 : uint32_t(image.greatest_end() - 1);
    int needed = top > 0xFFFFFF ? 4 : top > 0xFFFF ? 3 : 2;
    int width = std::max(address_bytes, needed);
    int data_type = width - 1;   // S1, S2, S3
    int end_type = 11 - width;   // S9, S8, S7

    srec_writer_t writer(file);
    writer.record(0, 2, 0, nullptr, 0);
    unsigned long records = 0;
    for (CodePortion *p = image.first(); p; p = image.next_of(p)) {
        for (int32_t offset = 0; offset < p->length; offset += 16) {
            int n = std::min<int32_t>(16, p->length - offset);
            writer.record(data_type, width, uint32_t(p->address + offset), p->data + offset, n);
            records++;
        }
    }
    if (records <= 0xFFFF)
        writer.record(5, 2, uint32_t(records), nullptr, 0);
    else if (records <= 0xFFFFFF)
        writer.record(6, 3, uint32_t(records), nullptr, 0);
    writer.record(end_type, width, 0, nullptr, 0);
    return writer.flush();
}
