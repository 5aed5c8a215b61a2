// The last word before a fuse write that locks the chip out of serial programming.
#include "run/lockout_confirm.h"

#include <cstdio>

#include "avr/fuse_lockout.h"
#include "base/messages.h"
#include "os/os.h"

void confirm_lockout_writes(const avr_target_t &target, bool meant)
{
    uint8_t request_value[4], request_mask[4], read_value[4];
    for (int slot = 0; slot < 4; slot++) {
        request_value[slot] = target.fuses[slot].request_value;
        request_mask[slot] = target.fuses[slot].request_mask;
        read_value[slot] = target.fuses[slot].read_value;
    }
    const std::vector<lockout_write_t> writes =
        find_lockout_writes(target.device(), request_value, request_mask, read_value);
    if (writes.empty())
        return;
    for (const lockout_write_t &write : writes)
        print_lockout_warning(write);
    if (meant)
        return;

    if (!os::is_console(stdin))
        fail(EXIT_USAGE, "Fuses not written: nobody to confirm them here; -f!<list> writes them\n");
    msg_print(msg_out, MSG_ERROR, "Write these fuses anyway (y/N)?\n");
    const int key = os::read_key_no_echo();
    if (key != 'y' && key != 'Y')
        fail(EXIT_USAGE, "Fuses not written\n");
}
