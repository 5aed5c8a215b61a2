// Files that lose nothing, POSIX side: exclusive creation, replacing renames,
// file identity and the temporary folder.
#include "os/os.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {

FILE *create_new_file(const char *path, bool)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    FILE *stream = fdopen(fd, "w");
    if (!stream) {
        int saved = errno;
        close(fd);
        unlink(path);
        errno = saved;
    }
    return stream;
}

bool replace_file(const char *from, const char *to)
{
    return rename(from, to) == 0;
}

path_kind_t path_kind(const char *path)
{
    struct stat info;
    if (lstat(path, &info) != 0)
        return path_kind_t::none;
    if (S_ISLNK(info.st_mode))
        return path_kind_t::link;
    return S_ISREG(info.st_mode) ? path_kind_t::regular : path_kind_t::other;
}

namespace {
// The folder part of a name ("." when there is none) and its last part.
void split_name(const char *path, std::string *folder, std::string *name)
{
    std::string text(path);
    size_t slash = text.find_last_of('/');
    if (slash == std::string::npos) {
        *folder = ".";
        *name = text;
    } else {
        *folder = slash == 0 ? "/" : text.substr(0, slash);
        *name = text.substr(slash + 1);
    }
}
}  // namespace

bool same_file(const char *a, const char *b)
{
    struct stat info_a, info_b;
    bool has_a = stat(a, &info_a) == 0, has_b = stat(b, &info_b) == 0;
    if (has_a && has_b)
        return info_a.st_dev == info_b.st_dev && info_a.st_ino == info_b.st_ino;
    if (has_a || has_b)
        return false;
    std::string folder_a, name_a, folder_b, name_b;
    split_name(a, &folder_a, &name_a);
    split_name(b, &folder_b, &name_b);
    return !name_a.empty() && name_a == name_b && same_file(folder_a.c_str(), folder_b.c_str());
}

void temp_directory(char *buffer, size_t size)
{
    const char *dir = getenv("TMPDIR");
    if (!dir || !*dir)
        dir = "/tmp";
    snprintf(buffer, size, "%s", dir);
    size_t n = strlen(buffer);
    while (n > 1 && buffer[n - 1] == '/')
        buffer[--n] = 0;
}

bool flush_to_disk(FILE *stream)
{
    if (fflush(stream) != 0)
        return false;
    return fsync(fileno(stream)) == 0 || errno == EINVAL;  // EINVAL: a stream that can't be synced
}

}  // namespace os
