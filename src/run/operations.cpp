// One run: connect, check the chip, erase, blank-check, then read or program and
// verify, lock and change fuses, always in this order.
#include "run/operations.h"

#include <cstdio>

#include "avr/devices.h"
#include "avr/fuses.h"
#include "avr/link.h"
#include "avr/memory_commands.h"
#include "image/file_formats.h"
#include "image/hex_file.h"
#include "image/image.h"
#include "image/passes.h"
#include "run/insertions.h"
#include "base/messages.h"
#include "run/run_context.h"

namespace {

const char *const eeprom_save_file = "(eeprom).sav";

bool files_named(const run_options_t &options)
{
    return options.code_file != nullptr || options.data_file != nullptr;
}

// Saves the EEPROM read before the erase, so the user can put it back by hand.
void save_eeprom_copy(PortionList &saved)
{
    msg_print(msg_out, MSG_ERROR, "EEPROM content saved to HEX-file \"%s\"", eeprom_save_file);
    write_hex_file(saved, eeprom_save_file);
}

// The same while another error is on its way out: that error keeps its status.
void save_eeprom_copy_after(PortionList &saved)
{
    try {
        save_eeprom_copy(saved);
    } catch (const app_error &) {
        // the file's own message has been printed
    }
    msg_print(msg_out, MSG_ERROR, "\n");
}

void fit_check(PortionList &image, int32_t size, const char *file, const char *memory)
{
    if (!image.empty() && image.greatest_end() > size)
        fail(EXIT_BAD_DATA, "Can't fit %s in %s\n", file, memory);
}

void erase_step(run_context_t &context)
{
    const run_options_t &options = context.options;
    avr_target_t &target = context.target;
    setup_timing(target);

    PortionList saved_eeprom;
    if (options.erase_keep_eeprom) {
        if (target.detected_index() < 0 && !options.force)
            fail(EXIT_WRONG_CHIP, "Can't save EEPROM in unknown chip\n");
        msg_print(msg_out, MSG_INFO, "Saving EEPROM\n");
        read_memory(target, context.pass_switches(), DATA_MEMORY, saved_eeprom);
    }

    try {
        erase_chip(target);
        check_device(context, false);
        check_lock(context);
        check_fuses(context);
    } catch (const app_error &) {
        // the EEPROM may be gone with the erase: keep the copy
        if (options.erase_keep_eeprom)
            save_eeprom_copy_after(saved_eeprom);
        throw;
    }

    if (options.blank_check_mask != 0 && blank_check(target, context.pass_switches(), options.blank_check_mask) != 0) {
        if (options.erase_keep_eeprom)
            save_eeprom_copy(saved_eeprom);
        throw app_error(EXIT_CHIP_REFUSED);
    }

    if (options.erase_keep_eeprom) {
        msg_print(msg_out, MSG_INFO, "Restoring EEPROM\n");
        try {
            program_memory(target, context.pass_switches(), DATA_MEMORY, saved_eeprom);
        } catch (const app_error &) {
            save_eeprom_copy_after(saved_eeprom);
            throw;
        }
    }

    if (context.erase_counter.value != 0xFFFF)
        write_erase_counter(context);
}

void read_step(run_context_t &context)
{
    const run_options_t &options = context.options;
    avr_target_t &target = context.target;
    check_output_files(options.code_file, options.data_file);
    if (options.code_file != nullptr) {
        read_memory(target, context.pass_switches(), CODE_MEMORY, context.code_image);
        check_sync(target);
        if (!write_image_file(context.code_image, options.code_file))
            throw app_error(EXIT_USAGE);
    }
    if (options.data_file != nullptr) {
        read_memory(target, context.pass_switches(), DATA_MEMORY, context.data_image);
        check_sync(target);
        if (!write_image_file(context.data_image, options.data_file))
            throw app_error(EXIT_USAGE);
    }
}

void program_and_verify(run_context_t &context, int memory, PortionList &image)
{
    if (image.empty())
        return;
    const pass_switches_t switches = context.pass_switches();
    if (context.options.write & WRITE_ON) {
        program_memory(context.target, switches, memory, image);
        check_sync(context.target);
    }
    if (context.options.verify && !verify_memory(context.target, switches, memory, image))
        throw app_error(EXIT_CHIP_REFUSED);
}

void lock(run_context_t &context)
{
    char level = lock_chip(context.target, context.options.lock_level);
    msg_print(msg_out, MSG_INFO, "Device locked to level %c!\n", level);
}

void write_step(run_context_t &context)
{
    const run_options_t &options = context.options;
    avr_target_t &target = context.target;
    program_and_verify(context, CODE_MEMORY, context.code_image);
    program_and_verify(context, DATA_MEMORY, context.data_image);

    if (options.lock_level && options.lock_first)
        lock(context);
    if (options.fuse_list != nullptr) {
        if (options.write & WRITE_ON) {
            program_fuses(target);
            read_fuses(target);
            print_fuses(target, "New fuses value");
        }
        if (options.verify && !verify_fuses(target))
            throw app_error(EXIT_CHIP_REFUSED);
    }
    if (options.lock_level && !options.lock_first)
        lock(context);
}

}  // namespace

void check_device(run_context_t &context, bool after_connect)
{
    const run_options_t &options = context.options;
    int32_t index = context.target.detected_index();
    if (index >= 0) {
        if (device_name_matches(avr_devices[index].name, options.chip_name))
            return;
        msg_print(msg_out, options.force ? MSG_WARNING : MSG_ERROR, "Requested <%s>, detected <%s>\n",
                  options.chip_name, device_name(index));
    } else if (after_connect) {
        return;
    }

    if (!options.force)
        fail(EXIT_WRONG_CHIP, "Can't continue\n");
    context.target.set_device(find_device(options.chip_name));
    msg_print(msg_out, MSG_WARNING, "Device type forced to %s\n", options.chip_name);
}

// An ELF file names the chip it was built for in its .signature section: another
// detected chip is refused as a wrong chip is.
void check_file_signature(const run_context_t &context)
{
    const file_facts_t &facts = context.file_facts;
    bool force = context.options.force;
    int32_t index = context.target.detected_index();
    if (!facts.has_signature || index < 0 || avr_devices[index].signature == facts.signature)
        return;
    int32_t built_for = find_device_by_signature(facts.signature, nullptr);
    char signature[16];
    snprintf(signature, sizeof signature, "%06X", unsigned(facts.signature));
    msg_print(msg_out, force ? MSG_WARNING : MSG_ERROR, "'%s' is built for <%s>, detected <%s>\n",
              facts.file, built_for >= 0 ? device_name(built_for) : signature, device_name(index));
    if (!force)
        fail(EXIT_WRONG_CHIP, "Can't continue\n");
}

void check_lock(const run_context_t &context)
{
    const run_options_t &options = context.options;
    const int32_t lock_state = context.target.lock_state;
    if ((lock_state == 1 || lock_state == 2) && (options.write & WRITE_ON)) {
        if (files_named(options) || !(context.target.device().flags & flag_fuses_when_locked))
            fail(EXIT_CHIP_REFUSED, "Can't write to locked chip\n");
    }
    if (lock_state == 2) {
        if ((options.read && !options.force) || options.blank_check_mask != 0 ||
            (options.verify && files_named(options)))
            fail(EXIT_CHIP_REFUSED, "Can't read (blank check, verify) fully locked chip\n");
    }
}

void check_fuses(run_context_t &context)
{
    avr_target_t &target = context.target;
    if (target.device().fuses == nullptr)
        return;
    read_fuses(target);
    print_fuses(target, "Fuses ");
    if ((context.options.write & WRITE_ON) && context.options.fuse_list != nullptr && !lock_byte_writable(target))
        fail(EXIT_CHIP_REFUSED, "Can't write all requested fuses, need to erase chip\n");
}

void run_operations(run_context_t &context)
{
    const run_options_t &options = context.options;
    avr_target_t &target = context.target;
    context.erase_counter.enabled = options.erase_counter;
    context.erase_counter.value = options.erase_counter_value;

    link_open(target);
    check_device(context, true);
    check_file_signature(context);

    if (target.device().osccal_count > 0)
        read_osccal(target);
    if ((options.write & WRITE_ON) || options.verify)
        apply_insertions(context);
    if (context.erase_counter.enabled)
        read_erase_counter(context);

    if (options.erase) {
        erase_step(context);
    } else {
        check_device(context, false);
        check_lock(context);
        check_fuses(context);
        if (options.blank_check_mask != 0 && blank_check(target, context.pass_switches(), options.blank_check_mask) != 0)
            throw app_error(EXIT_CHIP_REFUSED);
    }

    setup_timing(target);
    fit_check(context.code_image, target.code_size(), options.code_file, memory_name(CODE_MEMORY));
    fit_check(context.data_image, target.data_size(),
              options.data_file ? options.data_file : "data part of input file", memory_name(DATA_MEMORY));

    if (options.read)
        read_step(context);
    else
        write_step(context);

    if (context.requests.serno.target != TARGET_NONE)
        store_next_serial(context);
}
