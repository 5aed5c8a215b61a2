// Builds an image from the data a file reader finds: consecutive bytes gather
// into portions of at most 4096 bytes, then the portions are sorted and
// checked for overlaps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"

class image_builder_t {
public:
    // kind names the records in the overlap messages ("HEX file").
    image_builder_t(PortionList &image, const char *kind) : image(image), kind(kind) {}
    image_builder_t(const image_builder_t &) = delete;
    image_builder_t &operator=(const image_builder_t &) = delete;

    // One record's bytes (at most 4096): a record never spans two portions.
    void add_record(int64_t address, const uint8_t *bytes, int length);
    // Any number of bytes, cut into records of 256.
    void add_block(int64_t address, const uint8_t *bytes, size_t length);
    void flush();
    // Flushes, then warns about a file without data ("Warning: '%s' has no
    // data records\n" with name, unless null), or sorts the portions and checks overlaps.
    void finish(const char *name);

    static constexpr int32_t run_capacity = 4096;

private:
    void sort_portions();
    void check_overlaps();

    PortionList &image;
    const char *kind;
    uint8_t run_buffer[run_capacity];
    int32_t run_length = 0;
    int64_t run_start = 0;
    int64_t expected_address = -1;
};
