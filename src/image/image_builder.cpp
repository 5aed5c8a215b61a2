#include "image/image_builder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/messages.h"

void image_builder_t::add_record(int64_t address, const uint8_t *bytes, int length)
{
    if (run_length + length > run_capacity || address != expected_address) {
        flush();
        run_start = address;
    }
    std::memcpy(run_buffer + run_length, bytes, size_t(length));
    run_length += length;
    expected_address = address + length;
}

void image_builder_t::add_block(int64_t address, const uint8_t *bytes, size_t length)
{
    constexpr size_t record = 256;
    for (size_t done = 0; done < length; done += record) {
        size_t n = std::min(record, length - done);
        add_record(address + int64_t(done), bytes + done, int(n));
    }
}

void image_builder_t::flush()
{
    if (run_length == 0)
        return;
    image.append(new CodePortion(int32_t(run_start), run_length, run_buffer));
    run_length = 0;
}

void image_builder_t::finish(const char *name)
{
    flush();
    if (image.empty()) {
        if (name)
            msg_print(msg_out, MSG_WARNING, "Warning: '%s' has no data records\n", name);
        return;
    }
    sort_portions();
    check_overlaps();
}

void image_builder_t::sort_portions()
{
    std::vector<CodePortion *> portions;
    portions.reserve(size_t(image.count()));
    while (CodePortion *portion = image.first())
        portions.push_back(image.unlink(portion));
    std::stable_sort(portions.begin(), portions.end(), [](const CodePortion *a, const CodePortion *b) {
        if (a->address != b->address)
            return a->address < b->address;
        return a->end() < b->end();
    });
    for (CodePortion *portion : portions)
        image.append(portion);
}

void image_builder_t::check_overlaps()
{
    for (CodePortion *p = image.first(); p; p = image.next_of(p)) {
        for (CodePortion *q = image.next_of(p); q && q->address < p->end(); q = image.next_of(q)) {
            int32_t first = q->address;
            int32_t last = std::min(p->end(), q->end()) - 1;
            bool equal = std::memcmp(p->data + (first - p->address), q->data, size_t(last - first + 1)) == 0;
            if (!equal)
                fail(EXIT_BAD_DATA, "%s records overlapped in addresses 0x%X-0x%X with NON-equal data\n", kind,
                     unsigned(first), unsigned(last));
            msg_print(msg_out, MSG_WARNING,
                      "Warning: %s records overlapped in addresses 0x%X-0x%X with equal data\n", kind,
                      unsigned(first), unsigned(last));
        }
    }
}
