// Patching chip-specific values into the images before programming, the serial
// number file, and the erase counter kept in the last two bytes of the flash.
#include "run/insertions.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "avr/devices.h"
#include "avr/memory_commands.h"
#include "base/messages.h"
#include "base/text.h"
#include "image/image.h"
#include "image/passes.h"
#include "run/run_context.h"

namespace {

[[noreturn]] void invalid_extension(const char *text)
{
    fail(EXIT_USAGE, "Invalid HEX file switch extension '-%s'\n", text);
}

PortionList &target_image(run_context_t &context, int target)
{
    return target == TARGET_DATA ? context.data_image : context.code_image;
}

int target_memory(int target)
{
    return target == TARGET_DATA ? DATA_MEMORY : CODE_MEMORY;
}

const char *ldi_note(int target, const char *text)
{
    return target == TARGET_CODE_LDI ? text : "";
}

void check_destination(run_context_t &context, const char *name, int target, int32_t address, int32_t length)
{
    int32_t limit = target == TARGET_DATA ? context.target.data_size() : context.usable_code_size();
    if (target == TARGET_CODE_LDI)
        length *= 2;
    if ((int64_t)limit - length < address)
        fail(EXIT_USAGE, "%s destination address too large\n", name);
}

void insert_bytes(run_context_t &context, const char *name, int target, int32_t address, const uint8_t *bytes,
                  int32_t count)
{
    PortionList &image = target_image(context, target);
    if (image.empty())
        fail(EXIT_USAGE, "No hex records for %s, can't insert %s\n", target == TARGET_DATA ? "EEPROM" : "FLASH",
             name);

    CodePortion *portion = nullptr;
    auto locate = [&](int32_t at) -> CodePortion * {
        if (portion == nullptr || !contains_address(portion, &at))
            portion = image.find_first(contains_address, &at);
        if (portion == nullptr)
            fail(EXIT_BAD_DATA, "HEX record for %s not found\n", name);
        return portion;
    };

    for (int32_t i = 0; i < count; i++) {
        uint8_t value = bytes[i];
        if (target != TARGET_CODE_LDI) {
            locate(address)->set_byte_at(address, value);
            address += 1;
        } else {
            // LDI Rd,K is 1110 KKKK dddd KKKK, stored low byte first
            CodePortion *low = locate(address);
            low->set_byte_at(address, (uint8_t)((low->byte_at(address) & 0xF0) | (value & 0x0F)));
            CodePortion *high = locate(address + 1);
            high->set_byte_at(address + 1, (uint8_t)((high->byte_at(address + 1) & 0xF0) | (value >> 4)));
            address += 2;
        }
    }
}

void apply_osccal(run_context_t &context)
{
    const osccal_request_t &request = context.requests.osccal;
    if (request.index < 0 || request.index >= context.target.device().osccal_count)
        fail(EXIT_USAGE, "OSCCAL%d not exist in selected chip\n", request.index);
    check_destination(context, "OSCCAL", request.target, request.address, 1);

    int value = context.target.osccal[request.index] + request.correction;
    if (value > 255 || value < 0) {
        value = value > 255 ? 255 : 0;
        msg_print(msg_out, MSG_INFO, "Warning: corrected osccal value limited by 0x%02X\n", value);
    }
    uint8_t byte = (uint8_t)value;
    insert_bytes(context, "OSCCAL", request.target, request.address, &byte, 1);

    char correction[16] = "";
    if (request.correction != 0)
        snprintf(correction, sizeof(correction), "%+d", request.correction);
    msg_print(msg_out, MSG_INFO, "OSCCAL%d%s inserted to %s at 0x%lX %s\n", request.index, correction,
              memory_name(target_memory(request.target)), (unsigned long)(uint32_t)request.address,
              ldi_note(request.target, "as part of LDI command"));
}

void apply_serno(run_context_t &context)
{
    serno_request_t &request = context.requests.serno;
    if (request.width < 1 || request.width > 4)
        fail(EXIT_USAGE, "Invalid SERNO length\n");
    check_destination(context, "SERNO", request.target, request.address, request.width);

    request.stream = open_file(request.file, "r+t");
    unsigned long number;
    if (fscanf(request.stream, "%lu", &number) != 1) {
        msg_print(msg_out, MSG_ERROR, "Can't read %s\n", request.file);
        throw rtl_error(EXIT_BAD_DATA);
    }
    request.number = (uint32_t)number;

    uint8_t bytes[4];
    for (int i = 0; i < 4; i++)
        bytes[i] = (uint8_t)(request.number >> (8 * i));
    insert_bytes(context, "SERNO", request.target, request.address, bytes, request.width);

    msg_print(msg_out, MSG_INFO, "Chip serial number is %ld\n", (long)request.number);
    msg_print(msg_out, MSG_DEBUG, " inserted as %d-byte value to %s at 0x%lX %s\n", request.width,
              memory_name(target_memory(request.target)), (unsigned long)(uint32_t)request.address,
              ldi_note(request.target, "as part of LDI command[s]"));
}

}  // namespace

insertion_requests_t::~insertion_requests_t()
{
    if (serno.stream)
        fclose(serno.stream);
}

void parse_hex_extension(insertion_requests_t &requests, const char *text)
{
    int target;
    if ((text[0] == 'd' || text[0] == 'D') && text[1] == '*')
        target = TARGET_DATA;
    else if ((text[0] == 'c' || text[0] == 'C') && text[1] == '*')
        target = TARGET_CODE;
    else if ((text[0] == 'c' || text[0] == 'C') && text[1] == '?')
        target = TARGET_CODE_LDI;
    else
        invalid_extension(text);

    const char *rest = text + 2;
    const char *equals = strchr(rest, '=');
    if (*rest == 0 || equals == nullptr)
        invalid_extension(text);

    // keyword, then an optional decimal number, then '='
    const char *number_start = rest;
    while (*number_start && !isdigit((unsigned char)*number_start) && *number_start != '=')
        number_start++;
    size_t keyword_length = number_start - rest;
    int number = 0;
    if (*number_start != '=' && sscanf(number_start, "%d", &number) != 1)
        invalid_extension(text);

    unsigned long address_value;
    if (sscanf(equals + 1, "%lx", &address_value) != 1 || (uint32_t)address_value == 0xFFFFFFFFu)
        invalid_extension(text);
    int32_t address = (int32_t)(uint32_t)address_value;

    const char *comma = strchr(equals, ',');
    const char *parameter = comma ? comma + 1 : nullptr;

    if (same_text(rest, keyword_length, "OSCCAL")) {
        osccal_request_t &request = requests.osccal;
        if (request.target != TARGET_NONE)
            fail(EXIT_USAGE, "Can't handle two specail code/data commands of one type\n");
        int correction = 0;
        if (parameter != nullptr && sscanf(parameter, "%d", &correction) != 1)
            invalid_extension(text);
        request.target = target;
        request.index = number;
        request.correction = correction;
        request.address = address;
    } else if (same_text(rest, keyword_length, "SERNO")) {
        serno_request_t &request = requests.serno;
        if (request.target != TARGET_NONE)
            fail(EXIT_USAGE, "Can't handle two specail code/data commands of one type\n");
        if (parameter == nullptr || *parameter == 0)
            invalid_extension(text);
        request.target = target;
        request.width = number;
        request.file = parameter;
        request.address = address;
    } else if (same_text(rest, keyword_length, "BYTES")) {
        if (parameter == nullptr || number <= 0 || (int64_t)strlen(parameter) != 2 * (int64_t)number)
            invalid_extension(text);
        for (const char *p = parameter; *p; p++)
            if (!isxdigit((unsigned char)*p))
                invalid_extension(text);
        std::vector<uint8_t> values((size_t)number);
        for (int i = 0; i < number; i++) {
            char pair[3] = {parameter[2 * i], parameter[2 * i + 1], 0};
            values[(size_t)i] = (uint8_t)strtoul(pair, nullptr, 16);
        }
        requests.bytes.target = target;
        requests.bytes.values.swap(values);
        requests.bytes.address = address;
    } else {
        invalid_extension(text);
    }
}

void apply_insertions(run_context_t &context)
{
    const insertion_requests_t &requests = context.requests;
    if (requests.osccal.target != TARGET_NONE)
        apply_osccal(context);
    if (requests.serno.target != TARGET_NONE)
        apply_serno(context);
    if (requests.bytes.target != TARGET_NONE)
        insert_bytes(context, "BYTES", requests.bytes.target, requests.bytes.address, requests.bytes.values.data(),
                     (int32_t)requests.bytes.values.size());
}

void store_next_serial(run_context_t &context)
{
    serno_request_t &request = context.requests.serno;
    if (request.stream == nullptr)
        return;
    fclose(request.stream);
    request.stream = nullptr;
    if (!(context.options.write & WRITE_ON))
        return;

    request.number += 1;
    FILE *file = fopen(request.file, "wt");
    bool ok = file != nullptr;
    if (ok) {
        ok = fprintf(file, "%lu\n", (unsigned long)request.number) > 0;
        ok = (fclose(file) == 0) && ok;
    }
    if (!ok) {
        msg_print(msg_out, MSG_ERROR, "Can't write %s\nnext serial number is %lu\n", request.file,
                  (unsigned long)request.number);
        throw rtl_error(EXIT_BAD_DATA);
    }
}

void read_erase_counter(run_context_t &context)
{
    avr_target_t &target = context.target;
    const run_options_t &options = context.options;
    uint16_t &value = context.erase_counter.value;
    if (target.detected_index() < 0 && !options.force) {
        msg_print(msg_out, MSG_ERROR, "Can't read number of erases from unknown or locked chip\n");
        if (value == 0xFFFF)
            value = 1;
    } else {
        int32_t address = context.usable_code_size();
        target.memory.current_memory = CODE_MEMORY;
        if (target.code_size() > 0x20000)
            load_extended_address(target, (uint8_t)(address >> 17));
        uint8_t low = read_memory_byte(target, address);
        uint8_t high = read_memory_byte(target, address + 1);
        uint16_t count = (uint16_t)(high * 256 + low);
        if (count == 0xFFFF)
            msg_print(msg_out, MSG_WARNING, "Number of erases not initialized\n");
        else
            msg_print(msg_out, MSG_INFO, "Read number of erases %u\n", count);
        if (value == 0xFFFF) {
            value = count == 0xFFFF ? 1 : (uint16_t)(count + 1);
            return;
        }
    }
    if (options.erase || options.write)
        msg_print(msg_out, MSG_INFO, "Number of erases forced to %u\n", value);
}

void write_erase_counter(run_context_t &context)
{
    avr_target_t &target = context.target;
    erase_counter_t &counter = context.erase_counter;
    if (target.detected_index() < 0)
        fail(EXIT_WRONG_CHIP, "Can't write number of erases%s\n", " to unknown chip");

    int32_t address = context.usable_code_size();
    if (!context.code_image.empty() && context.code_image.greatest_end() - 1 >= address) {
        msg_print(msg_out, MSG_ERROR, "Can't write number of erases%s\n", ", locations used for code");
        counter.enabled = false;
        return;
    }

    setup_timing(target);
    uint8_t bytes[2] = {(uint8_t)(counter.value & 0xFF), (uint8_t)(counter.value >> 8)};
    PortionList image;
    image.append(new CodePortion(address, 2, bytes));
    msg_print(msg_out, MSG_INFO, "Writing erase counter = %d\n", counter.value);
    const pass_switches_t switches = context.pass_switches();
    program_memory(target, switches, CODE_MEMORY, image);
    if (context.options.verify && !verify_memory(target, switches, CODE_MEMORY, image))
        fail(EXIT_CHIP_REFUSED, "Can't write number of erases\n");
}
