// Writes the saved EEPROM so that nothing is lost: never over an existing file or
// through a link, and "saved" is said only of a complete, closed file.
#include "run/eeprom_rescue.h"

#include "base/messages.h"
#include "base/safe_file.h"
#include "image/hex_file.h"
#include "os/os.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {

const char *const rescue_name = "(eeprom).sav";

// True when the copy is complete in a file of its own; used names it.
bool write_copy(PortionList &saved, const std::string &wanted, std::string *used)
{
    FILE *stream = create_fresh_file(wanted, used, true);
    if (!stream) {
        msg_print(msg_out, MSG_ERROR, "Can't create EEPROM copy '%s' (%s)\n", wanted.c_str(), strerror(errno));
        return false;
    }
    bool written = write_hex_stream(saved, stream);
    int write_errno = errno;
    bool closed = finish_file(stream);
    if (!written || !closed) {
        int cause = written ? errno : write_errno;
        msg_print(msg_out, MSG_ERROR, "Can't write EEPROM copy '%s' (%s)\n", used->c_str(),
                  strerror(cause ? cause : EIO));
        os::remove_file(used->c_str());
        return false;
    }
    return true;
}

}  // namespace

void rescue_eeprom_copy(PortionList &saved)
{
    // the error that ends the run reads errno when it is printed
    int saved_errno = errno;
    std::string used;
    bool done = write_copy(saved, rescue_name, &used);
    if (!done) {
        std::string folder = temp_folder();
        done = write_copy(saved, folder + os::path_separator + rescue_name, &used);
    }
    if (done) {
        msg_print(msg_out, MSG_ERROR, "EEPROM content saved to HEX-file \"%s\"", used.c_str());
    } else {
        msg_print(msg_out, MSG_ERROR, "EEPROM content not saved; its HEX lines:\n");
        fflush(msg_out.stream);
        write_hex_stream(saved, msg_out.stream);
        fflush(msg_out.stream);
        msg_print(msg_out, MSG_ERROR, "End of EEPROM content");
    }
    errno = saved_errno;
}
