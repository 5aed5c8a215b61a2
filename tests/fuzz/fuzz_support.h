// Shared by the file-format fuzz targets: temporary files, quiet messages, an
// image as address -> byte (aborting on overlaps with different data), and the
// write-and-read-again check of what a reader accepted.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

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

// A target's files, one per suffix: made (and messages silenced) when a
// function-static instance is first reached, removed when the fuzzer exits.
class temp_files_t {
public:
    temp_files_t(std::initializer_list<const char *> suffixes)
    {
        quiet_messages();
        for (const char *suffix : suffixes)
            paths.push_back(make_temp(suffix));
    }
    ~temp_files_t()
    {
        for (const std::string &path : paths)
            std::remove(path.c_str());
    }
    temp_files_t(const temp_files_t &) = delete;
    temp_files_t &operator=(const temp_files_t &) = delete;

    const std::string &operator[](size_t i) const { return paths.at(i); }

private:
    std::vector<std::string> paths;
};

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

// What a reader accepted must be written without error in the format path's
// name asks for, and that file must read back (checksums taken as they are,
// found by content or extension) to the same bytes.
inline void check_round_trip(PortionList &image, const std::string &path)
{
    if (!write_image_file(image, path.c_str()))
        std::abort();
    PortionList back, none;
    if (!load(path, back, none) || byte_map(back) != byte_map(image))
        std::abort();
}

}  // namespace fuzz
