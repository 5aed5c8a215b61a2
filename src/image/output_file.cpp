#include "image/output_file.h"

#include <cstring>

#include "base/messages.h"
#include "base/safe_file.h"
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
    replacing_file_t file(path, std::strchr(mode, 'b') == nullptr);
    FILE *stream = file.open();
    if (!stream) {
        msg_print(msg_out, MSG_ERROR, "Can't open file '%s'\n", path);
        throw rtl_error(EXIT_USAGE);
    }
    // the temporary file is removed when anything fails, also by a throw
    if (!write(stream, user) || !file.commit()) {
        msg_print(msg_out, MSG_ERROR, "%s - write error\n", path);
        return false;
    }
    return true;
}
