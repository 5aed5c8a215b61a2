// Exclusive creation with the next free name, replacing through a renamed
// temporary file, and the names' identity.
#include "base/safe_file.h"

#include "os/os.h"

#include <cerrno>

namespace {

const int max_free_name = 999;

std::string numbered_name(const std::string &wanted, int number)
{
    if (number == 0)
        return wanted;
    size_t folder_end = wanted.find_last_of("/\\");
    size_t dot = wanted.find_last_of('.');
    if (dot == std::string::npos || (folder_end != std::string::npos && dot < folder_end) ||
        dot == (folder_end == std::string::npos ? 0 : folder_end + 1))
        dot = wanted.size();
    return wanted.substr(0, dot) + "-" + std::to_string(number) + wanted.substr(dot);
}

}  // namespace

FILE *create_fresh_file(const std::string &wanted, std::string *used, bool text)
{
    for (int number = 0; number <= max_free_name; number++) {
        std::string name = numbered_name(wanted, number);
        FILE *stream = os::create_new_file(name.c_str(), text);
        if (stream) {
            *used = name;
            return stream;
        }
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;  // errno stays EEXIST
}

bool finish_file(FILE *stream)
{
    bool ok = !ferror(stream) && os::flush_to_disk(stream);
    int saved = errno;
    if (fclose(stream) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok && saved == 0)
        saved = EIO;
    errno = saved;
    return ok;
}

bool replaceable_name(const char *path)
{
    os::path_kind_t kind = os::path_kind(path);
    return kind == os::path_kind_t::none || kind == os::path_kind_t::regular;
}

bool same_file_name(const char *a, const char *b)
{
    return os::same_file(a, b);
}

replacing_file_t::replacing_file_t(const char *target, bool text) : target_(target), text_(text) {}

replacing_file_t::~replacing_file_t()
{
    drop();
}

FILE *replacing_file_t::open()
{
    drop();
    // beside the target, so the rename stays on one file system
    std::string stem = target_ + ".part";
    stream_ = create_fresh_file(stem, &temporary_, text_);
    if (!stream_)
        temporary_.clear();
    return stream_;
}

bool replacing_file_t::commit()
{
    if (!stream_)
        return false;
    FILE *stream = stream_;
    stream_ = nullptr;
    if (!finish_file(stream) || !os::replace_file(temporary_.c_str(), target_.c_str())) {
        int saved = errno;
        os::remove_file(temporary_.c_str());
        temporary_.clear();
        errno = saved;
        return false;
    }
    temporary_.clear();
    return true;
}

void replacing_file_t::drop()
{
    if (stream_) {
        fclose(stream_);
        stream_ = nullptr;
    }
    if (!temporary_.empty()) {
        int saved = errno;
        os::remove_file(temporary_.c_str());
        errno = saved;
        temporary_.clear();
    }
}

std::string temp_folder()
{
    char buffer[1024];
    os::temp_directory(buffer, sizeof buffer);
    return buffer;
}
