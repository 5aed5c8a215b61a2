#include "image/output_file.h"

#include <cstring>

#include "base/messages.h"
#include "os/os.h"

namespace {

bool write_standard_output(const char *mode, bool (*write)(FILE *file, void *user), void *user)
{
    if (std::strchr(mode, 'b'))
        os::set_binary_mode(stdout);
    bool ok = write(stdout, user);
    if (fflush(stdout) != 0 || ferror(stdout))
        ok = false;
    if (!ok)
        msg_print(msg_out, MSG_ERROR, "<stdout> - write error\n");
    return ok;
}

}  // namespace

bool write_output_file(const char *path, const char *mode, bool (*write)(FILE *file, void *user), void *user)
{
    if (std::strcmp(path, "-") == 0)
        return write_standard_output(mode, write, user);
    FILE *file = open_file(path, mode);
    bool failed = false;
    try {
        failed = !write(file, user);
    } catch (...) {
        fclose(file);
        os::remove_file(path);
        throw;
    }
    if (ferror(file))
        failed = true;
    if (fclose(file) != 0)
        failed = true;
    if (failed) {
        msg_print(msg_out, MSG_ERROR, "%s - write error\n", path);
        os::remove_file(path);
        return false;
    }
    return true;
}
