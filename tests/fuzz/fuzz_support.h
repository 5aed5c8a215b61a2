// Shared by the file-format fuzz targets: temporary files, quiet messages, and an
// image as address -> byte (aborting on overlaps with different data).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <unistd.h>

#include "base/messages.h"
#include "image/file_formats.h"
#include "image/image.h"

namespace fuzz {

inline std::string make_temp(const char *suffix)
{
    std::string pattern = std::string("/tmp/morvin_fuzz_XXXXXX") + suffix;
    int fd = mkstemps(&pattern[0], int(std::string(suffix).size()));
    if (fd < 0)
        std::abort();
    close(fd);
    return pattern;
}

inline void write_file(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    std::fwrite(data, 1, size, f);
    std::fclose(f);
}

inline void quiet_messages()
{
    msg_out.stream = std::fopen("/dev/null", "w");
}

inline std::map<int32_t, uint8_t> byte_map(const PortionList &image)
{
    std::map<int32_t, uint8_t> bytes;
    for (CodePortion *p = image.first(); p; p = image.next_of(p)) {
        for (int32_t i = 0; i < p->length; i++) {
            auto inserted = bytes.emplace(p->address + i, p->data[i]);
            if (!inserted.second && inserted.first->second != p->data[i])
                std::abort();  // the reader let different overlapping data through
        }
    }
    return bytes;
}

// Loads one file as the only input of a write run, with no split.
inline bool load(const std::string &name, PortionList &code, PortionList &data)
{
    file_facts_t facts;
    try {
        load_image_files(name.c_str(), nullptr, true, INT32_MAX, code, data, facts, nullptr);
    } catch (const app_error &) {
        return false;
    }
    return true;
}

}  // namespace fuzz
