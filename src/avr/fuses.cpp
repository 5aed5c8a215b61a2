// Fuse bytes, boot lock bits, chip lock bits and calibration bytes.
#include "avr/fuses.h"

#include <cctype>
#include <cstring>

#include "adapters/spi.h"
#include "avr/devices.h"
#include "avr/link.h"
#include "avr/memory_commands.h"
#include "base/messages.h"
#include "base/text.h"
#include "base/timer.h"

namespace {

const size_t max_item_length = 64;

// Read and write commands of the fuse bytes of chips with one command per byte.
struct fuse_command_t {
    uint8_t read1, read2, write2;
};
const fuse_command_t fuse_commands[4] = {
    {0x58, 0x00, 0xE0},   // _LOCK
    {0x50, 0x00, 0xA0},   // _LOW
    {0x58, 0x08, 0xA8},   // _HIGH
    {0x50, 0x08, 0xA4},   // _EXT
};

const int read_order[4] = {FUSE_LOW, FUSE_LOCK, FUSE_HIGH, FUSE_EXT};
const int write_order[4] = {FUSE_LOW, FUSE_HIGH, FUSE_EXT, FUSE_LOCK};

uint8_t field_mask(const fuse_field_t &field)
{
    return static_cast<uint8_t>(((1u << field.width) - 1) << field.shift);
}

uint32_t field_value(uint8_t byte, const fuse_field_t &field)
{
    return (static_cast<uint32_t>(byte) >> field.shift) & ((1u << field.width) - 1);
}

int slot_count(fuse_layout_t layout)
{
    int count = 0;
    if (layout != nullptr) {
        while (count < 4 && layout[count] != nullptr)
            count++;
    }
    return count;
}

// Hexadecimal number as scanf "%x" reads it: optional 0x prefix, digits up
// to the first other character. False when no digit can be read. Values
// beyond 32 bits saturate (they are too large for any fuse anyway).
bool parse_hex(const char *text, uint32_t &value)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        text++;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        std::isxdigit(static_cast<unsigned char>(text[2])))
        text += 2;
    if (!std::isxdigit(static_cast<unsigned char>(*text)))
        return false;
    uint64_t result = 0;
    for (; std::isxdigit(static_cast<unsigned char>(*text)); text++) {
        int c = std::tolower(static_cast<unsigned char>(*text));
        result = result * 16 + static_cast<uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        if (result > 0xFFFFFFFFu)
            result = 0xFFFFFFFFu;
    }
    value = static_cast<uint32_t>(result);
    return true;
}

// One command whose reply goes to `reply`; traced and echo-checked.
void exchange(avr_target_t &target, const uint8_t command[4], uint8_t reply[4], uint8_t level,
              const char *label)
{
    std::memcpy(reply, command, 4);
    send_command(target, reply);
    trace_command(level, label, command, reply);
    check_echo(reply[1], command[0]);
}

uint8_t read_fuse_byte(avr_target_t &target, uint8_t c1, uint8_t c2)
{
    const uint8_t command[4] = {c1, c2, 0x00, 0x00};
    uint8_t reply[4];
    exchange(target, command, reply, MSG_TRACE, "Read Fuses");
    poll_user_break();
    return reply[3];
}

void write_fuse_byte(avr_target_t &target, uint8_t c2, uint8_t value)
{
    uint8_t command[4] = {0xAC, c2, 0x00, value};
    uint8_t reply[4];
    std::memcpy(reply, command, 4);
    send_command(target, reply);
    target.spi().delay_ms(4 * target.memory.data_write_delay);
    trace_command(MSG_TRACE, "Write Fuses", command, reply);
    check_echo(reply[1], command[0]);
}

// One "name=value" item of the fuse list.
struct fuse_item_t {
    const char *name;
    uint32_t value;
    bool missing;    // no value given
    bool mnemonic;   // ON or OFF
};

fuse_item_t parse_fuse_item(char *item)
{
    fuse_item_t result = {item, 0, false, false};
    char *value_text = std::strchr(item, '=');
    if (value_text != nullptr)
        *value_text++ = '\0';
    result.missing = value_text == nullptr || *value_text == '\0';
    if (result.missing)
        return result;
    if (same_text(value_text, "ON")) {
        result.mnemonic = true;
    } else if (same_text(value_text, "OFF")) {
        result.value = 1;
        result.mnemonic = true;
    } else if (!parse_hex(value_text, result.value)) {
        fail(EXIT_USAGE, "Invalid value '%s' for fuse '%s'\n", value_text, item);
    }
    return result;
}

int find_byte_slot(const char *name)
{
    int byte_slot = -1;
    for (int s = 0; s < 4; s++) {
        if (same_text(name, fuse_byte_name(s)))
            byte_slot = s;
    }
    return byte_slot;
}

// The whole byte: every bit of it requested.
void request_fuse_byte(fuse_state_t &state, const avr_device_t &device, int byte_slot, const fuse_item_t &item)
{
    const char *name = item.name;
    if (!(device.fuse_bytes & (1u << byte_slot)))
        fail(EXIT_USAGE, "Fuse byte '%s' not exist in %s\n", name, device.name);
    if (item.mnemonic)
        fail(EXIT_USAGE, "ON/OFF mnemonics can't be used fuse byte name '%s'\n", name);
    if (state.request_mask != 0)
        fail(EXIT_USAGE, "Duplicate fuse %s in command line\n", name);
    if (item.missing)
        fail(EXIT_USAGE, "Value required for fuse %s\n", name);
    if (item.value > 0xFF)
        fail(EXIT_USAGE, "Value %X too large for fuse byte %s\n", item.value, name);
    msg_print(msg_out, MSG_TRACE, "\t%% Fuse byte added: %s=%X\n", name, item.value);
    // LB1 and LB2 are set by locking only, never through the fuse list
    state.request_mask = byte_slot == FUSE_LOCK ? 0xFC : 0xFF;
    state.request_value = static_cast<uint8_t>(item.value);
}

// One field of a byte, found by its name or alias.
void request_fuse_field(fuse_state_t (&fuses)[4], fuse_layout_t layout, int slots, const fuse_item_t &item)
{
    const char *name = item.name;
    const fuse_field_t *found = nullptr;
    int found_slot = -1;
    for (int s = 0; s < slots && found == nullptr; s++) {
        for (const fuse_field_t *f = layout[s]; f->info != nullptr; f++) {
            if (same_text(name, f->info->name) ||
                (f->info->alias != nullptr && same_text(name, f->info->alias))) {
                found = f;
                found_slot = s;
                break;
            }
        }
    }
    if (found == nullptr)
        fail(EXIT_USAGE, "Invalid fuse name %s\n", name);

    fuse_state_t &state = fuses[found_slot];
    const uint32_t max = (1u << found->width) - 1;
    if (item.missing)
        fail(EXIT_USAGE, "Value required for fuse %s\n", name);
    if (item.value > max)
        fail(EXIT_USAGE, "Value %X too large for fuse %s\n", item.value, name);
    if (item.mnemonic && found->width > 1)
        fail(EXIT_USAGE, "ON/OFF mnemonics can't be used with %d-bit fuse '%s'\n",
             static_cast<int>(found->width), name);
    if (state.request_mask & field_mask(*found))
        fail(EXIT_USAGE, "Duplicate fuse %s in command line\n", name);
    msg_print(msg_out, MSG_TRACE, "\t%% Fuse added: %s=%X\n", name, item.value);
    state.request_mask |= field_mask(*found);
    state.request_value |= static_cast<uint8_t>(item.value << found->shift);
}

}  // namespace

void parse_fuse_list(avr_target_t &target, const char *text)
{
    if (text == nullptr)
        return;
    const int32_t index = target.device_index();
    const avr_device_t &device = target.device();
    if (index < 0 || device.fuses == nullptr)
        fail(EXIT_USAGE, "Fuses not supported for %s\n", device_name(index));

    const fuse_layout_t layout = device.fuses;
    const int slots = slot_count(layout);
    for (int s = 0; s < 4; s++) {
        fuse_state_t &state = target.fuses[s];
        state.request_value = 0;
        state.request_mask = 0;
        state.valid_mask = 0;
        if (s < slots) {
            for (const fuse_field_t *f = layout[s]; f->info != nullptr; f++)
                state.valid_mask |= field_mask(*f);
        }
    }

    const char *p = text;
    while (*p != '\0') {
        if (*p == ',') {
            p++;
            continue;
        }
        size_t length = std::strcspn(p, ",");
        if (length > max_item_length)
            fail(EXIT_USAGE, "Fuse command too long\n");
        char text_item[max_item_length + 1];
        std::memcpy(text_item, p, length);
        text_item[length] = '\0';
        p += length;

        const fuse_item_t item = parse_fuse_item(text_item);
        const int byte_slot = find_byte_slot(item.name);
        if (byte_slot >= 0)
            request_fuse_byte(target.fuses[byte_slot], device, byte_slot, item);
        else
            request_fuse_field(target.fuses, layout, slots, item);
    }
}

void read_fuses(avr_target_t &target)
{
    const avr_device_t &device = target.device();
    fuse_state_t *fuse_state = target.fuses;
    switch (device.fuse_kind) {
    case fuses_classic_read_58:
        fuse_state[FUSE_LOW].read_value = read_fuse_byte(target, 0x58, 0x00);
        break;
    case fuses_classic_read_50:
        fuse_state[FUSE_LOW].read_value = read_fuse_byte(target, 0x50, 0x00);
        break;
    case fuses_by_byte:
        for (int slot : read_order) {
            if (device.fuse_bytes & (1u << slot)) {
                const fuse_command_t &c = fuse_commands[slot];
                fuse_state[slot].read_value = read_fuse_byte(target, c.read1, c.read2);
            }
        }
        break;
    default:
        break;
    }
}

void print_fuses(const avr_target_t &target, const char *title)
{
    const avr_device_t &device = target.device();
    msg_print(msg_out, MSG_INFO, "%s\n", title);
    int osccal_count = device.osccal_count > 4 ? 4 : device.osccal_count;
    if (osccal_count > 0) {
        msg_print(msg_out, MSG_INFO, "  OSCCAL%c\t=", osccal_count == 1 ? ' ' : 's');
        for (int i = 0; i < osccal_count; i++)
            msg_print(msg_out, MSG_INFO, " %02X", target.osccal[i]);
        msg_print(msg_out, MSG_INFO, "\n");
    }
    const int slots = slot_count(device.fuses);
    for (int s = 0; s < slots; s++) {
        const fuse_field_t *list = device.fuses[s];
        if (list->info == nullptr)
            continue;
        const uint8_t value = target.fuses[s].read_value;
        msg_print(msg_out, MSG_INFO, "%s = 0x%X\n", fuse_byte_name(s), value);
        for (const fuse_field_t *f = list; f->info != nullptr; f++)
            msg_print(msg_out, MSG_INFO, "  %-10s\t= %X\n", f->info->name, field_value(value, *f));
    }
}

bool lock_byte_writable(const avr_target_t &target)
{
    const avr_device_t &device = target.device();
    if (device.fuse_kind != fuses_by_byte || !(device.fuse_bytes & (1u << FUSE_LOCK)))
        return true;
    const fuse_state_t &lock = target.fuses[FUSE_LOCK];
    return (lock.request_value & lock.request_mask & ~lock.read_value & 0xFF) == 0;
}

void program_fuses(avr_target_t &target)
{
    const avr_device_t &device = target.device();
    fuse_state_t *fuse_state = target.fuses;
    msg_print(msg_out, MSG_INFO, "Programming fuses\n");
    for (fuse_state_t &state : target.fuses) {
        const uint8_t requested = state.request_value & state.request_mask;
        const uint8_t kept = state.read_value & state.valid_mask & ~state.request_mask;
        const uint8_t unused = ~(state.valid_mask | state.request_mask) & 0xFF;
        state.request_value = static_cast<uint8_t>(requested | kept | unused);
    }
    switch (device.fuse_kind) {
    case fuses_classic_read_58:
    case fuses_classic_read_50:
        // classic chips: the fuse bits travel in the second command byte
        write_fuse_byte(target, static_cast<uint8_t>(0xA0 | (fuse_state[FUSE_LOW].request_value & 0x1F)),
                        0x00);
        break;
    case fuses_by_byte:
        for (int slot : write_order) {
            if ((device.fuse_bytes & (1u << slot)) && fuse_state[slot].request_mask != 0)
                write_fuse_byte(target, fuse_commands[slot].write2, fuse_state[slot].request_value);
        }
        break;
    default:
        break;
    }
}

bool verify_fuses(avr_target_t &target)
{
    const avr_device_t &device = target.device();
    msg_print(msg_out, MSG_INFO, "Verifying fuses\n");
    read_fuses(target);
    bool failed = false;
    const int slots = slot_count(device.fuses);
    for (int s = 0; s < slots; s++) {
        const fuse_state_t &state = target.fuses[s];
        for (const fuse_field_t *f = device.fuses[s]; f->info != nullptr; f++) {
            if (!(field_mask(*f) & state.request_mask))
                continue;
            const uint32_t expected = field_value(state.request_value, *f);
            const uint32_t read = field_value(state.read_value, *f);
            if (expected != read) {
                msg_print(msg_out, MSG_ERROR, "  %-8s: expected %X, read %X\n", f->info->name,
                          expected, read);
                failed = true;
            }
        }
    }
    if (failed) {
        msg_print(msg_out, MSG_ERROR, "Verifying of fuses failed\n");
        return false;
    }
    msg_print(msg_out, MSG_INFO, "passed\n");
    return true;
}

void read_osccal(avr_target_t &target)
{
    const avr_device_t &device = target.device();
    int count = device.osccal_count > 4 ? 4 : device.osccal_count;
    for (int i = 0; i < count; i++) {
        const uint8_t command[4] = {0x38, 0x00, static_cast<uint8_t>(i), 0x00};
        uint8_t reply[4];
        exchange(target, command, reply, MSG_TRACE, "Read Osccal");
        target.osccal[i] = reply[3];
        poll_user_break();
    }
}

void read_lock_state(avr_target_t &target)
{
    const avr_device_t &device = target.device();
    int lb2_bit, lb1_bit;
    switch (device.lock_kind) {
    case lock_read_lb1_bit7:
        lb2_bit = 6;
        lb1_bit = 7;
        break;
    case lock_read_lb1_bit1:
        lb2_bit = 2;
        lb1_bit = 1;
        break;
    case lock_byte:
        lb2_bit = 1;
        lb1_bit = 0;
        break;
    default:
        target.lock_state = -1;
        return;
    }
    const uint8_t command[4] = {0x58, 0x00, 0x00, 0x00};
    uint8_t reply[4];
    exchange(target, command, reply, MSG_TRACE, "Read Lock");
    const int bits = (((reply[3] >> lb2_bit) & 1) << 1) | ((reply[3] >> lb1_bit) & 1);
    static const int32_t states[4] = {2, -1, 1, 0};
    target.lock_state = states[bits];
}

void print_lock_state(const avr_target_t &target)
{
    const char *text = lock_state_text(target.lock_state);
    if (text != nullptr)
        msg_print(msg_out, MSG_INFO, "Chip %s\n", text);
    else
        msg_print(msg_out, MSG_INFO, "Lock state unknown\n");
}

char lock_chip(avr_target_t &target, char level)
{
    const avr_device_t &device = target.device();
    const bool level2 = level > '1';
    uint8_t command[4];
    if (device.lock_kind == lock_byte) {
        const uint8_t program = level2 ? 0x03 : 0x01;   // LB1, LB2
        uint8_t value = static_cast<uint8_t>(~program);
        if (device.fuse_bytes & (1u << FUSE_LOCK)) {
            // keep the boot lock bits as they are
            const uint8_t read_command[4] = {0x58, 0x00, 0x00, 0x00};
            uint8_t reply[4];
            exchange(target, read_command, reply, MSG_DEBUG, "BLB* read");
            value = static_cast<uint8_t>((reply[3] | 0xC0) & ~program);
        }
        command[0] = 0xAC;
        command[1] = 0xE0;
        command[2] = 0x00;
        command[3] = value;
    } else {
        command[0] = 0xAC;
        command[1] = level2 ? 0xF9 : 0xFD;
        command[2] = 0x00;
        command[3] = 0x00;
    }
    uint8_t reply[4];
    exchange(target, command, reply, MSG_TRACE, "Lock chip");
    target.spi().delay_ms(target.memory.erase_delay);
    return level2 ? '2' : '1';
}

void print_fuse_list(const char *name)
{
    const int32_t index = find_device(name);
    if (index < 0) {
        msg_print(msg_out, MSG_INFO, "%s unsupported\n", name);
        return;
    }
    const avr_device_t &device = avr_devices[index];
    msg_print(msg_out, MSG_INFO, "\n%s signature %X\n", device.name, device.signature);
    if (device.fuses == nullptr) {
        msg_print(msg_out, MSG_INFO, "  has no ISP-writable fuses\n");
        return;
    }
    msg_print(msg_out, MSG_INFO,
              "Fuse list\n  fuse programmed state is 0\n"
              "  use ON or OFF aliases for 1-bit fuses if you not shure\n");
    const int slots = slot_count(device.fuses);
    for (int s = 0; s < slots; s++) {
        const fuse_field_t *list = device.fuses[s];
        if (list->info == nullptr)
            continue;
        msg_print(msg_out, MSG_INFO, "\n%s fuse byte:\n", fuse_byte_name(s));
        for (const fuse_field_t *f = list; f->info != nullptr; f++) {
            msg_print(msg_out, MSG_INFO, "  %-10s = 0 %s %2X - %s\n", f->info->name,
                      f->width == 1 ? "or" : "to", (1u << f->width) - 1, f->info->description);
            if (f->info->alias != nullptr)
                msg_print(msg_out, MSG_INFO, "   (%s)\n", f->info->alias);
        }
    }
}
