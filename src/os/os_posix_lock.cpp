// Counter files on POSIX: flock on the file, replacement by rename.
#include "os/os.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace os {

struct locked_file {
    FILE *stream;
    std::string path;  // the file itself, links resolved: the rename replaces it, not a link
    mode_t mode;
};

namespace {
bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
}  // namespace

locked_file *open_locked(const char *path, bool (*keep_waiting)())
{
    char resolved[PATH_MAX];
    if (!realpath(path, resolved))
        return nullptr;
    // Another run that held the lock may have renamed a new file into place:
    // the lock then belongs to the old one, so open the name again.
    for (;;) {
        int fd = open(resolved, O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return nullptr;
        int locked;
        while ((locked = flock(fd, LOCK_EX | LOCK_NB)) != 0 && (errno == EWOULDBLOCK || errno == EINTR)) {
            if (keep_waiting && !keep_waiting()) {
                errno = EINTR;
                break;
            }
            sleep_ms(20);
        }
        struct stat held, named;
        if (locked != 0 || fstat(fd, &held) != 0) {
            int error = errno;
            close(fd);
            errno = error;
            return nullptr;
        }
        if (stat(resolved, &named) == 0 && same_file(held, named)) {
            FILE *stream = fdopen(fd, "r+");
            if (!stream) {
                int error = errno;
                close(fd);
                errno = error;
                return nullptr;
            }
            return new locked_file{stream, resolved, mode_t(held.st_mode & 07777)};
        }
        close(fd);
    }
}

FILE *locked_stream(locked_file *file)
{
    return file ? file->stream : nullptr;
}

bool replace_locked(locked_file *file, const char *text)
{
    std::string temp = file->path + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0)
        return false;
    size_t length = strlen(text);
    bool ok = fchmod(fd, file->mode) == 0 && write(fd, text, length) == ssize_t(length) && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp.c_str(), file->path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp.c_str());
        errno = error;
    }
    return ok;
}

void close_locked(locked_file *file)
{
    if (!file)
        return;
    fclose(file->stream);  // closing the descriptor releases the lock
    delete file;
}

}  // namespace os
