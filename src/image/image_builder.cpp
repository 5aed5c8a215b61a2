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

// Portions are sorted by address, so everything before Q that reaches past
// Q's start covers one stretch from Q's start on, and the portion that reaches
// furthest covers all of it: comparing Q with that one alone checks Q against
// every earlier portion, one warning per overlapping portion.
void image_builder_t::check_overlaps()
{
    CodePortion *furthest = image.first();
    for (CodePortion *q = furthest ? image.next_of(furthest) : nullptr; q; q = image.next_of(q)) {
        if (q->address < furthest->end()) {
            int32_t first = q->address;
            int32_t last = std::min(furthest->end(), q->end()) - 1;
            if (!same_bytes(furthest, q, first, last))
                report_conflict(q, furthest);
            msg_print(msg_out, MSG_WARNING,
                      "Warning: %s records overlapped in addresses 0x%X-0x%X with equal data\n", kind,
                      unsigned(first), unsigned(last));
        }
        if (q->end() > furthest->end())
            furthest = q;
    }
}

bool image_builder_t::same_bytes(const CodePortion *p, const CodePortion *q, int32_t first, int32_t last)
{
    return std::memcmp(p->data + (first - p->address), q->data + (first - q->address), size_t(last - first + 1)) ==
           0;
}

// Names the first earlier portion whose bytes differ from q's (furthest
// differs, so there is one).
void image_builder_t::report_conflict(const CodePortion *q, const CodePortion *furthest)
{
    const CodePortion *p = image.first();
    while (p != furthest &&
           (p->end() <= q->address || same_bytes(p, q, q->address, std::min(p->end(), q->end()) - 1)))
        p = image.next_of(p);
    fail(EXIT_BAD_DATA, "%s records overlapped in addresses 0x%X-0x%X with NON-equal data\n", kind,
         unsigned(q->address), unsigned(std::min(p->end(), q->end()) - 1));
}
