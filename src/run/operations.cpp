// One run: connect, check the chip, erase, blank-check, then read or program and
// verify, lock and change fuses, always in this order.
#include "run/operations.h"

#include "avr/devices.h"
#include "avr/fuses.h"
#include "avr/link.h"
#include "avr/memory_commands.h"
#include "image/hex_file.h"
#include "image/image.h"
#include "image/passes.h"
#include "run/eeprom_rescue.h"
#include "run/insertions.h"
#include "base/messages.h"
#include "base/safe_file.h"
#include "base/timer.h"
#include "run/options.h"

namespace {

bool files_named()
{
    return run_options.code_file != nullptr || run_options.data_file != nullptr;
}

void fit_check(PortionList &image, int32_t size, const char *file, const char *memory)
{
    if (!image.empty() && image.greatest_end() > size)
        fail(EXIT_BAD_DATA, "Can't fit %s in %s\n", file, memory);
}

const char *data_file_label()
{
    return run_options.data_file ? run_options.data_file : "data part of input file";
}

// Before connecting: the images against the named chip's memories, so nothing is
// erased for an image that can't be written.
void fit_check_named_chip()
{
    int32_t index = find_device(run_options.chip_name);
    if (index < 0)
        return;
    const avr_device_t &device = avr_devices[index];
    fit_check(code_image, device.memory[CODE_MEMORY].size, run_options.code_file, memory_name(CODE_MEMORY));
    fit_check(data_image, device.memory[DATA_MEMORY].size, data_file_label(), memory_name(DATA_MEMORY));
}

// Before connecting: -r replaces only regular files, and never one file by both memories.
void check_read_files()
{
    if (!run_options.read)
        return;
    for (const char *file : {run_options.code_file, run_options.data_file})
        if (file != nullptr && !replaceable_name(file))
            fail(EXIT_USAGE, "Can't replace '%s': not a regular file\n", file);
    if (run_options.code_file != nullptr && run_options.data_file != nullptr &&
        same_file_name(run_options.code_file, run_options.data_file))
        fail(EXIT_USAGE, "Can't read both memories into one file '%s'\n", run_options.data_file);
}

// A failed verify may be a chip out of step: that is reported as such.
void verify_or_fail(int memory, PortionList &image)
{
    if (!verify_memory(memory, image)) {
        check_sync();
        throw app_error(EXIT_CHIP_REFUSED);
    }
}

// With -e- the EEPROM is read first and written back and verified after the erase;
// until it verified, every way the step can end leaves the copy in a rescue file.
void erase_step()
{
    setup_timing(run_options.delay_factor);

    const bool keep = run_options.erase_keep_eeprom;
    PortionList saved_eeprom;
    if (keep) {
        if (detected_device_index() < 0 && !run_options.force)
            fail(EXIT_WRONG_CHIP, "Can't save EEPROM in unknown chip\n");
        // reads of such a chip return FF: the "copy" would replace the EEPROM with them
        if (lock_state == 2)
            fail(EXIT_CHIP_REFUSED, "Can't save EEPROM of chip locked against reading\n");
        msg_print(msg_out, MSG_INFO, "Saving EEPROM\n");
        read_memory(DATA_MEMORY, saved_eeprom);
        check_sync();
    }

    bool restored = !keep, rescued = false;
    try {
        erase_chip();
        check_device(false);
        check_lock();
        check_fuses();

        if (run_options.blank_check_mask != 0 && blank_check(run_options.blank_check_mask) != 0) {
            if (keep) {
                rescued = true;
                rescue_eeprom_copy(saved_eeprom);
            }
            throw app_error(EXIT_CHIP_REFUSED);
        }

        if (keep) {
            msg_print(msg_out, MSG_INFO, "Restoring EEPROM\n");
            program_memory(DATA_MEMORY, saved_eeprom);
            check_sync();
            verify_or_fail(DATA_MEMORY, saved_eeprom);
            restored = true;
        }
    } catch (...) {
        // the EEPROM may be gone with the erase: keep the copy; the error keeps its status
        if (!restored && !rescued) {
            rescue_eeprom_copy(saved_eeprom);
            msg_print(msg_out, MSG_ERROR, "\n");
        }
        throw;
    }

    if (run_options.erase_counter_value != 0xFFFF)
        write_erase_counter();
}

void read_step()
{
    if (run_options.code_file != nullptr) {
        read_memory(CODE_MEMORY, code_image);
        check_sync();
        if (!write_hex_file(code_image, run_options.code_file))
            throw app_error(EXIT_USAGE);
    }
    if (run_options.data_file != nullptr) {
        read_memory(DATA_MEMORY, data_image);
        check_sync();
        if (!write_hex_file(data_image, run_options.data_file))
            throw app_error(EXIT_USAGE);
    }
}

void program_and_verify(int memory, PortionList &image)
{
    if (image.empty())
        return;
    if (run_options.write & WRITE_ON) {
        program_memory(memory, image);
        check_sync();
    }
    if (run_options.verify)
        verify_or_fail(memory, image);
}

// The lock bits are read back: a write the chip never finished is no lock.
void lock()
{
    char level = lock_chip(run_options.lock_level);
    read_lock_state();
    poll_user_break();
    if (lock_state != -1 && lock_state < level - '0')
        fail(EXIT_CHIP_REFUSED, "Can't lock chip, lock bits read back: %s\n", lock_state_text(lock_state));
    msg_print(msg_out, MSG_INFO, "Device locked to level %c!\n", level);
}

void write_step()
{
    program_and_verify(CODE_MEMORY, code_image);
    program_and_verify(DATA_MEMORY, data_image);

    if (run_options.lock_level && run_options.lock_first)
        lock();
    if (run_options.fuse_list != nullptr) {
        if (run_options.write & WRITE_ON) {
            program_fuses();
            read_fuses();
            print_fuses("New fuses value");
        }
        if (run_options.verify && !verify_fuses())
            throw app_error(EXIT_CHIP_REFUSED);
    }
    if (run_options.lock_level && !run_options.lock_first)
        lock();
}

}  // namespace

void check_device(bool after_connect)
{
    int32_t index = detected_device_index();
    if (index >= 0) {
        if (device_name_matches(avr_devices[index].name, run_options.chip_name))
            return;
        msg_print(msg_out, run_options.force ? MSG_WARNING : MSG_ERROR, "Requested <%s>, detected <%s>\n",
                  run_options.chip_name, device_name(index));
    } else if (after_connect) {
        return;
    }

    if (!run_options.force)
        fail(EXIT_WRONG_CHIP, "Can't continue\n");
    set_current_device(find_device(run_options.chip_name));
    msg_print(msg_out, MSG_WARNING, "Device type forced to %s\n", run_options.chip_name);
}

void check_lock()
{
    if ((lock_state == 1 || lock_state == 2) && (run_options.write & WRITE_ON)) {
        if (files_named() || !(current_device().flags & flag_fuses_when_locked))
            fail(EXIT_CHIP_REFUSED, "Can't write to locked chip\n");
    }
    if (lock_state == 2) {
        if ((run_options.read && !run_options.force) || run_options.blank_check_mask != 0 ||
            (run_options.verify && files_named()))
            fail(EXIT_CHIP_REFUSED, "Can't read (blank check, verify) fully locked chip\n");
    }
}

void check_fuses()
{
    if (current_device().fuses == nullptr)
        return;
    read_fuses();
    print_fuses("Fuses ");
    if ((run_options.write & WRITE_ON) && run_options.fuse_list != nullptr && !lock_byte_writable())
        fail(EXIT_CHIP_REFUSED, "Can't write all requested fuses, need to erase chip\n");
}

void run_operations()
{
    check_read_files();
    fit_check_named_chip();

    link_open();
    check_device(true);

    if (current_device().osccal_count > 0)
        read_osccal();
    if ((run_options.write & WRITE_ON) || run_options.verify)
        apply_insertions();
    if (run_options.erase_counter)
        read_erase_counter();

    if (run_options.erase) {
        erase_step();
    } else {
        check_device(false);
        check_lock();
        check_fuses();
        if (run_options.blank_check_mask != 0 && blank_check(run_options.blank_check_mask) != 0)
            throw app_error(EXIT_CHIP_REFUSED);
    }

    setup_timing(run_options.delay_factor);
    fit_check(code_image, code_size(), run_options.code_file, memory_name(CODE_MEMORY));
    fit_check(data_image, data_size(), data_file_label(), memory_name(DATA_MEMORY));

    if (run_options.read)
        read_step();
    else
        write_step();

    if (serno_request.target != TARGET_NONE)
        store_next_serial();
}
