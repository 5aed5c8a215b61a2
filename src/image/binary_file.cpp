#include "image/binary_file.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/messages.h"
#include "image/image_builder.h"
#include "image/input_file.h"

void read_binary_input(input_file_t &file, PortionList &image)
{
    const std::string &bytes = file.bytes();
    if (bytes.size() > size_t(INT32_MAX)) {
        msg_print(msg_out, MSG_ERROR, "Binary file larger than 2 GiB\n");
        report_offset(file, (unsigned long)INT32_MAX);
        throw app_error(EXIT_BAD_DATA);
    }
    image_builder_t builder(image, "binary file");
    builder.add_block(0, reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    builder.finish(file.name);
}

bool write_binary_stream(PortionList &image, FILE *file)
{
    int32_t end = image.greatest_end();
    std::vector<uint8_t> bytes(size_t(end > 0 ? end : 0), 0xFF);
    for (CodePortion *p = image.first(); p; p = image.next_of(p))
        if (p->address >= 0)
            std::memcpy(bytes.data() + p->address, p->data, size_t(p->length));
    return bytes.empty() || fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}
