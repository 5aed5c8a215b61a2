// Counter files on Windows: LockFileEx on the file, rewritten in place.
#include "os/os.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include <windows.h>
#include <fcntl.h>
#include <io.h>

namespace os {

struct locked_file {
    FILE *stream;
    HANDLE handle;
    std::string path;
};

namespace {
void set_errno_from_system()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        errno = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errno = EACCES;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errno = ENOSPC;
        break;
    default:
        errno = EIO;
        break;
    }
}

// Shared for deletion too, so another run can rename a new file over it.
HANDLE open_shared(const char *path, DWORD access)
{
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool same_file(HANDLE held, const char *path)
{
    HANDLE named = open_shared(path, 0);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a, b;
    bool same = GetFileInformationByHandle(held, &a) && GetFileInformationByHandle(named, &b) &&
                a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
                a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}
}  // namespace

locked_file *open_locked(const char *path, bool (*keep_waiting)())
{
    for (;;) {
        HANDLE handle = open_shared(path, GENERIC_READ | GENERIC_WRITE);
        if (handle == INVALID_HANDLE_VALUE) {
            set_errno_from_system();
            return nullptr;
        }
        OVERLAPPED whole = {};
        while (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                           &whole)) {
            if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) {
                set_errno_from_system();
                CloseHandle(handle);
                return nullptr;
            }
            if (keep_waiting && !keep_waiting()) {
                CloseHandle(handle);
                errno = EINTR;
                return nullptr;
            }
            Sleep(20);
            whole = OVERLAPPED();
        }
        // Another run that held the lock may have renamed a new file into place.
        if (!same_file(handle, path)) {
            CloseHandle(handle);
            continue;
        }
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR | _O_TEXT);
        FILE *stream = fd < 0 ? nullptr : _fdopen(fd, "r+t");
        if (!stream) {
            if (fd >= 0)
                _close(fd);
            else
                CloseHandle(handle);
            errno = EIO;
            return nullptr;
        }
        return new locked_file{stream, handle, path};
    }
}

FILE *locked_stream(locked_file *file)
{
    return file ? file->stream : nullptr;
}

// Windows can't rename a file over one that is open, and closing it would
// let another run in with the old number: the new text goes over the old in
// one write that is never shorter than a number (the file holds old or new,
// never nothing), then the rest is cut and the file flushed.
bool replace_locked(locked_file *file, const char *text)
{
    std::string content;  // text mode: line ends as the runtime writes them
    for (const char *p = text; *p; p++) {
        if (*p == '\n')
            content += '\r';
        content += *p;
    }
    fflush(file->stream);
    LARGE_INTEGER start = {};
    DWORD written = 0;
    bool ok = SetFilePointerEx(file->handle, start, nullptr, FILE_BEGIN) &&
              WriteFile(file->handle, content.data(), DWORD(content.size()), &written, nullptr) &&
              written == content.size() && SetEndOfFile(file->handle) && FlushFileBuffers(file->handle);
    if (!ok)
        set_errno_from_system();
    return ok;
}

void close_locked(locked_file *file)
{
    if (!file)
        return;
    OVERLAPPED whole = {};
    UnlockFileEx(file->handle, 0, MAXDWORD, MAXDWORD, &whole);
    fclose(file->stream);  // closes the handle too
    delete file;
}

}  // namespace os
