// Files that lose nothing, Windows side: exclusive creation, replacing renames,
// file identity and the temporary folder.
#include "os/os.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace os {

namespace {
void errno_from_last_error()
{
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    default: errno = EIO; break;
    }
}
}  // namespace

FILE *create_new_file(const char *path, bool text)
{
    // CREATE_NEW fails on any existing name, a reparse point (link) included
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno_from_last_error();
        return nullptr;
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | (text ? _O_TEXT : _O_BINARY));
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileA(path);
        errno = EIO;
        return nullptr;
    }
    FILE *stream = _fdopen(fd, text ? "wt" : "wb");
    if (!stream) {
        _close(fd);
        DeleteFileA(path);
        errno = EIO;
    }
    return stream;
}

bool replace_file(const char *from, const char *to)
{
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    errno_from_last_error();
    return false;
}

path_kind_t path_kind(const char *path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return path_kind_t::none;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return path_kind_t::link;
    if (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))
        return path_kind_t::other;
    return path_kind_t::regular;
}

namespace {
bool file_identity(const char *path, BY_HANDLE_FILE_INFORMATION *info)
{
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    bool ok = GetFileInformationByHandle(handle, info) != 0;
    CloseHandle(handle);
    return ok;
}

void split_name(const char *path, std::string *folder, std::string *name)
{
    std::string text(path);
    size_t slash = text.find_last_of("/\\:");
    if (slash == std::string::npos) {
        *folder = ".";
        *name = text;
    } else {
        *folder = text.substr(0, slash + 1);
        if (folder->size() > 1 && (folder->back() == '/' || folder->back() == '\\') &&
            (*folder)[folder->size() - 2] != ':')
            folder->pop_back();
        *name = text.substr(slash + 1);
    }
}
}  // namespace

bool same_file(const char *a, const char *b)
{
    BY_HANDLE_FILE_INFORMATION info_a, info_b;
    bool has_a = file_identity(a, &info_a), has_b = file_identity(b, &info_b);
    if (has_a && has_b)
        return info_a.dwVolumeSerialNumber == info_b.dwVolumeSerialNumber &&
               info_a.nFileIndexHigh == info_b.nFileIndexHigh && info_a.nFileIndexLow == info_b.nFileIndexLow;
    if (has_a || has_b)
        return false;
    std::string folder_a, name_a, folder_b, name_b;
    split_name(a, &folder_a, &name_a);
    split_name(b, &folder_b, &name_b);
    if (name_a.empty() || _stricmp(name_a.c_str(), name_b.c_str()) != 0)
        return false;
    if (folder_a == folder_b)
        return true;
    if (!file_identity(folder_a.c_str(), &info_a) || !file_identity(folder_b.c_str(), &info_b))
        return false;
    return info_a.dwVolumeSerialNumber == info_b.dwVolumeSerialNumber &&
           info_a.nFileIndexHigh == info_b.nFileIndexHigh && info_a.nFileIndexLow == info_b.nFileIndexLow;
}

void temp_directory(char *buffer, size_t size)
{
    char path[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof path, path);
    if (n == 0 || n > MAX_PATH)
        snprintf(path, sizeof path, ".");
    n = DWORD(strlen(path));
    while (n > 3 && (path[n - 1] == '\\' || path[n - 1] == '/'))
        path[--n] = 0;
    snprintf(buffer, size, "%s", path);
}

bool flush_to_disk(FILE *stream)
{
    if (fflush(stream) != 0)
        return false;
    return _commit(_fileno(stream)) == 0;
}

}  // namespace os
