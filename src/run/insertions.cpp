// Patching chip-specific values into the images before programming, the serial
// number file, and the erase counter kept in the last two bytes of the flash.
#include "run/insertions.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "avr/devices.h"
#include "avr/memory_commands.h"
#include "base/messages.h"
#include "base/text.h"
#include "base/timer.h"
#include "image/image.h"
#include "image/passes.h"
#include "run/run_context.h"

namespace {

[[noreturn]] void invalid_extension(const char *text)
{
    fail(EXIT_USAGE, "Invalid HEX file switch extension '-%s'\n", text);
}

// OSCCAL and SERNO may each be given once a run.
template <class Request>
Request &unclaimed(Request &request)
{
    if (request.target != TARGET_NONE)
        fail(EXIT_USAGE, "Can't handle two specail code/data commands of one type\n");
    return request;
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

// A number in the given base at the start of text (as scanf would read it:
// blanks, a sign, "0x" in base 16), refused when it does not lie within
// [low, high] instead of wrapping.
template <typename T> bool read_limited(const char *text, int base, int64_t low, int64_t high, T &value)
{
    const char *p = text;
    while (isspace((unsigned char)*p))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isxdigit((unsigned char)p[2]))
        p += 2;
    int64_t magnitude = 0;
    const char *digits = p;
    for (; *p; p++) {
        int digit = isdigit((unsigned char)*p) ? *p - '0'
                    : (base == 16 && isxdigit((unsigned char)*p)) ? toupper((unsigned char)*p) - 'A' + 10
                                                                    : -1;
        if (digit < 0)
            break;
        magnitude = magnitude * base + digit;
        if (magnitude > INT64_C(0xFFFFFFFFFF))  // far beyond any limit: stop before it wraps
            return false;
    }
    if (p == digits)
        return false;
    int64_t result = negative ? -magnitude : magnitude;
    if (result < low || result > high)
        return false;
    value = (T)result;
    return true;
}

// While another run holds the serial-number file: said once, and Ctrl-C ends the wait.
const char *waiting_for = nullptr;

bool wait_for_serial_file()
{
    if (waiting_for) {
        msg_print(msg_out, MSG_INFO, "Waiting for %s, which another run holds\n", waiting_for);
        waiting_for = nullptr;
    }
    return no_user_break();
}

// The serial number: a decimal number at the start of the file.
enum serial_read_t { SERIAL_READ, SERIAL_UNREADABLE, SERIAL_TOO_LARGE };

serial_read_t read_serial_number(FILE *stream, uint32_t &number, int &error)
{
    char text[24];
    errno = 0;
    int got = fscanf(stream, " %23[0-9]", text);
    error = ferror(stream) ? (errno ? errno : EIO) : 0;
    if (got != 1)
        return SERIAL_UNREADABLE;
    int64_t value;
    if (!read_limited(text, 10, 0, 0xFFFFFFFF, value))
        return SERIAL_TOO_LARGE;
    number = (uint32_t)value;
    return SERIAL_READ;
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

    // Locked until the next number is written: two stations sharing the file
    // never program the same number.
    waiting_for = request.file;
    request.lock = os::open_locked(request.file, wait_for_serial_file);
    waiting_for = nullptr;
    if (!request.lock) {
        int error = errno;
        poll_user_break();  // Ctrl-C while another run held the file
        msg_print(msg_out, MSG_ERROR, "Can't open file '%s'\n", request.file);
        throw rtl_error(EXIT_USAGE, error);
    }
    int error = 0;
    serial_read_t read = read_serial_number(os::locked_stream(request.lock), request.number, error);
    if (read == SERIAL_UNREADABLE) {
        msg_print(msg_out, MSG_ERROR, "Can't read %s\n", request.file);
        throw rtl_error(EXIT_BAD_DATA, error);
    }
    if (read == SERIAL_TOO_LARGE)
        fail(EXIT_BAD_DATA, "Serial number in %s does not fit in 32 bits\n", request.file);


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
    os::close_locked(serno.lock);
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
    if (*number_start != '=' && !read_limited(number_start, 10, INT32_MIN, INT32_MAX, number))
        invalid_extension(text);

    // A byte address of the chip: 32 bits, 0xFFFFFFFF meaning none.
    int64_t address_value;
    if (!read_limited(equals + 1, 16, 0, 0xFFFFFFFE, address_value))
        invalid_extension(text);
    int32_t address = (int32_t)(uint32_t)address_value;

    const char *comma = strchr(equals, ',');
    const char *parameter = comma ? comma + 1 : nullptr;

    if (same_text(rest, keyword_length, "OSCCAL")) {
        osccal_request_t &request = unclaimed(requests.osccal);
        // added to a byte of 0..255, the sum must stay a 32-bit number
        int correction = 0;
        if (parameter != nullptr && !read_limited(parameter, 10, INT32_MIN, INT32_MAX - 255, correction))
            invalid_extension(text);
        request.target = target;
        request.index = number;
        request.correction = correction;
        request.address = address;
    } else if (same_text(rest, keyword_length, "SERNO")) {
        serno_request_t &request = unclaimed(requests.serno);
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
    if (request.lock == nullptr)
        return;
    bool ok = true;
    int error = 0;
    // the number after 4294967295 is written too; the next run refuses it
    unsigned long long next = (unsigned long long)request.number + 1;
    if (context.options.write & WRITE_ON) {
        // a new file renamed into place: a crash never leaves it empty
        char text[24];
        snprintf(text, sizeof text, "%llu\n", next);
        ok = os::replace_locked(request.lock, text);
        error = errno;
    }
    os::close_locked(request.lock);
    request.lock = nullptr;
    if (!ok) {
        msg_print(msg_out, MSG_ERROR, "Can't write %s\nnext serial number is %llu\n", request.file, next);
        throw rtl_error(EXIT_BAD_DATA, error);
    }
    request.number = (uint32_t)next;
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
