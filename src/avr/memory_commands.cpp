// Memory access commands: flash and EEPROM reads, byte writes, page loading
// and page writes, write-end polling, extended address and Chip Erase.
#include "avr/memory_commands.h"

#include <algorithm>
#include <vector>

#include "adapters/spi.h"
#include "avr/devices.h"
#include "avr/fuses.h"
#include "avr/link.h"
#include "base/messages.h"
#include "base/timer.h"

namespace {

// Flash above this size needs Load Extended Address Byte before accesses.
const int32_t extended_boundary = 0x20000;

bool extended_chip(const avr_target_t &target)
{
    int32_t index = target.device_index();
    return index >= 0 && avr_devices[index].memory[CODE_MEMORY].size > extended_boundary;
}

uint8_t extended_byte(int32_t address)
{
    return address < 0 ? 0xFF : static_cast<uint8_t>(address >> 17);
}

void build_code_command(uint8_t *command, uint8_t even_op, int32_t address, uint8_t data)
{
    int32_t word = address >> 1;
    command[0] = static_cast<uint8_t>((address & 1) ? even_op | 0x08 : even_op);
    command[1] = static_cast<uint8_t>(word >> 8);
    command[2] = static_cast<uint8_t>(word);
    command[3] = data;
}

void build_read_command(uint8_t *command, uint8_t memory, int32_t address)
{
    if (memory == CODE_MEMORY) {
        build_code_command(command, 0x20, address, 0x00);
    } else {
        command[0] = 0xA0;
        command[1] = static_cast<uint8_t>(address >> 8);
        command[2] = static_cast<uint8_t>(address);
        command[3] = 0x00;
    }
}

void build_extended_command(uint8_t *command, uint8_t value)
{
    command[0] = 0x4D;
    command[1] = 0x00;
    command[2] = value;
    command[3] = 0x00;
}

// write_byte, transfer_byte (echo), write_byte, read_byte (data)
uint8_t byte_wise_command(spi_t &spi, const uint8_t *command)
{
    spi.write_byte(command[0]);
    uint8_t echo = spi.transfer_byte(command[1]);
    spi.write_byte(command[2]);
    uint8_t data = spi.read_byte();
    check_echo(echo, command[0]);
    return data;
}

void flush_commands(avr_target_t &target)
{
    memory_state_t &m = target.memory;
    if (m.command_count > 0)
        target.spi().write_block(m.commands, m.command_count);
    m.command_count = 0;
}

// Loads keep room for the extended-address command that a commit appends.
void append_command(avr_target_t &target, const uint8_t *command, uint32_t reserve)
{
    memory_state_t &m = target.memory;
    // Overlapping writes can load one page more than once; send what is
    // pending early rather than overrun the buffer (the page buffer keeps it).
    if (m.command_count + 4 + reserve > memory_state_t::command_capacity)
        flush_commands(target);
    std::copy(command, command + 4, m.commands + m.command_count);
    m.command_count += 4;
}

bool is_loaded(const memory_state_t &m, int32_t address)
{
    size_t index = static_cast<size_t>(address & m.page_mask);
    return index < m.page_loaded.size() && m.page_loaded[index];
}

void mark_loaded(memory_state_t &m, int32_t address)
{
    size_t index = static_cast<size_t>(address & m.page_mask);
    if (index >= m.page_loaded.size())
        m.page_loaded.resize(static_cast<size_t>(m.page_mask) + 1, false);
    m.page_loaded[index] = true;
}

void forget_loaded(memory_state_t &m)
{
    std::fill(m.page_loaded.begin(), m.page_loaded.end(), false);
}

void load_page_byte(avr_target_t &target, int32_t address, uint8_t value)
{
    memory_state_t &m = target.memory;
    if (m.poll_method == POLL_DATA && value != m.poll_exclude_1 && value != m.poll_exclude_2) {
        m.poll_address = address;
        m.poll_value = value;
    }
    uint8_t command[4];
    build_code_command(command, 0x40, address, value);
    append_command(target, command, 4);
    mark_loaded(m, address);
}

// The missing half of a word: 0xFF, unless that byte was already given.
void load_padding(avr_target_t &target, int32_t address)
{
    if (!is_loaded(target.memory, address))
        load_page_byte(target, address, 0xFF);
}

void byte_writer(avr_target_t &target, int32_t address, uint8_t value)
{
    memory_state_t &memory_state = target.memory;
    bool data = memory_state.current_memory == DATA_MEMORY;
    if (value == 0xFF && memory_state.chip_erased && !(data && target.settings.keep_eeprom))
        return;
    uint8_t command[4];
    if (data) {
        command[0] = 0xC0;
        command[1] = static_cast<uint8_t>(address >> 8);
        command[2] = static_cast<uint8_t>(address);
        command[3] = value;
    } else {
        build_code_command(command, 0x40, address, value);
    }
    uint8_t op = command[0];
    send_command(target, command);
    check_echo(command[1], op);
    float delay = data ? memory_state.data_write_delay : memory_state.code_write_delay;
    if (!wait_ready(target, address, value, delay))
        fail(EXIT_CHIP_REFUSED, "Poll: can't write byte to %s at 0x%lX\n",
             memory_name(memory_state.current_memory), static_cast<unsigned long>(address));
}

void page_writer(avr_target_t &target, int32_t address, uint8_t value)
{
    memory_state_t &memory_state = target.memory;
    int32_t &last = memory_state.last_address;
    int32_t mask = memory_state.page_mask;
    if (last != -1 && (address | mask) != (last | mask)) {
        commit_page(target, last);
        last = -1;
    }
    if (address != last + 1) {
        if (last >= 0 && (last & 1) == 0) {
            load_padding(target, last + 1);
            last = last + 1;
        }
        if (address & 1) {
            if (memory_state.chip_erased && value == 0xFF)
                return;
            load_padding(target, address - 1);
            last = address - 1;
        }
    }
    if (value == 0xFF && memory_state.chip_erased)
        return;
    load_page_byte(target, address, value);
    last = address;
}

void read_code_segment(avr_target_t &target, uint8_t *buffer, int32_t address, int32_t count)
{
    spi_t &spi = target.spi();
    memory_state_t &memory_state = target.memory;
    bool block = spi.is_block_mode();
    bool extended = extended_chip(target) &&
                    extended_byte(address) != extended_byte(memory_state.last_address);
    size_t reads = count > 0 ? static_cast<size_t>(count) : 0;

    if (block) {
        size_t first = extended ? 4 : 0;
        std::vector<uint8_t> commands(first + reads * 4);
        if (extended)
            build_extended_command(commands.data(), extended_byte(address));
        for (size_t i = 0; i < reads; i++)
            build_read_command(&commands[first + i * 4], CODE_MEMORY,
                               address + static_cast<int32_t>(i));
        if (extended)
            memory_state.last_address = address;
        if (commands.empty())
            return;
        spi.transfer_block(commands.data(), commands.data(), static_cast<uint32_t>(commands.size()));
        for (size_t i = 0; i < reads; i++) {
            const uint8_t *reply = &commands[first + i * 4];
            check_echo(reply[1], (address + static_cast<int32_t>(i)) & 1 ? 0x28 : 0x20);
            buffer[i] = reply[3];
        }
        return;
    }

    if (extended) {
        load_extended_address(target, extended_byte(address));
        memory_state.last_address = address;
    }
    for (size_t i = 0; i < reads; i++) {
        uint8_t command[4];
        build_read_command(command, CODE_MEMORY, address + static_cast<int32_t>(i));
        buffer[i] = byte_wise_command(spi, command);
    }
}

}  // namespace

void setup_timing(avr_target_t &target)
{
    int32_t index = target.device_index();
    if (index < 0)
        return;
    memory_state_t &memory_state = target.memory;
    const float factor = target.settings.delay_factor;
    const avr_device_t &device = avr_devices[index];
    const avr_memory_t &code = device.memory[CODE_MEMORY];
    const avr_memory_t &data = device.memory[DATA_MEMORY];
    memory_state.code_paged = code.page_size > 0;
    memory_state.page_mask = code.page_size > 0 ? code.page_size - 1 : 0;
    memory_state.page_loaded.assign(static_cast<size_t>(memory_state.page_mask) + 1, false);
    memory_state.code_write_delay = static_cast<float>(code.write_ms) * factor;
    memory_state.data_write_delay = static_cast<float>(data.write_ms) * factor;
    memory_state.erase_delay = static_cast<float>(device.erase_ms) * factor;
}

uint8_t read_memory_byte(avr_target_t &target, int32_t address)
{
    spi_t &spi = target.spi();
    uint8_t command[4];
    build_read_command(command, target.memory.current_memory, address);
    if (!spi.is_block_mode())
        return byte_wise_command(spi, command);
    uint8_t op = command[0];
    spi.transfer_block(command, command, 4);
    check_echo(command[1], op);
    return command[3];
}

void read_code_block(avr_target_t &target, uint8_t *buffer, int32_t address, int32_t count)
{
    if (count <= 0 || !extended_chip(target)) {
        read_code_segment(target, buffer, address, count);
        return;
    }
    // A read must not run across a 128 KiB boundary: the extended address
    // changes there.
    while (count > 0) {
        int32_t room = extended_boundary - (address & (extended_boundary - 1));
        int32_t n = std::min(count, room);
        read_code_segment(target, buffer, address, n);
        buffer += n;
        address += n;
        count -= n;
    }
}

void read_data_block(avr_target_t &target, uint8_t *buffer, int32_t address, int32_t count)
{
    if (count <= 0)
        return;
    spi_t &spi = target.spi();
    size_t reads = static_cast<size_t>(count);
    if (spi.is_block_mode()) {
        std::vector<uint8_t> commands(reads * 4);
        for (size_t i = 0; i < reads; i++)
            build_read_command(&commands[i * 4], DATA_MEMORY, address + static_cast<int32_t>(i));
        spi.transfer_block(commands.data(), commands.data(), static_cast<uint32_t>(commands.size()));
        for (size_t i = 0; i < reads; i++) {
            check_echo(commands[i * 4 + 1], 0xA0);
            buffer[i] = commands[i * 4 + 3];
        }
        return;
    }
    for (size_t i = 0; i < reads; i++) {
        uint8_t command[4];
        build_read_command(command, DATA_MEMORY, address + static_cast<int32_t>(i));
        buffer[i] = byte_wise_command(spi, command);
    }
}

void load_extended_address(avr_target_t &target, uint8_t value)
{
    uint8_t command[4];
    build_extended_command(command, value);
    send_command(target, command);
    check_echo(command[1], 0x4D);
}

void write_memory_byte(avr_target_t &target, int32_t address, uint8_t value)
{
    if (target.memory.current_memory == CODE_MEMORY && target.memory.code_paged)
        page_writer(target, address, value);
    else
        byte_writer(target, address, value);
}

void commit_page(avr_target_t &target, int32_t address)
{
    memory_state_t &memory_state = target.memory;
    if (address != -1 && (address & 1) == 0)
        load_padding(target, address + 1);
    if (extended_chip(target)) {
        uint8_t command[4];
        build_extended_command(command, extended_byte(address));
        append_command(target, command, 0);
    }
    flush_commands(target);
    forget_loaded(memory_state);

    uint8_t command[4];
    build_code_command(command, 0x4C, address, 0x00);
    send_command(target, command);
    check_echo(command[1], 0x4C);

    if (wait_ready(target, memory_state.poll_address, memory_state.poll_value,
                   memory_state.code_write_delay))
        memory_state.poll_address = -1;
    else
        fail(EXIT_CHIP_REFUSED, "Poll: can't write page at 0x%lX\n",
             static_cast<unsigned long>(address & ~memory_state.page_mask));
}

void reset_command_buffer(avr_target_t &target)
{
    target.memory.command_count = 0;
    forget_loaded(target.memory);
}

bool wait_ready(avr_target_t &target, int32_t address, uint8_t value, float delay)
{
    spi_t &spi = target.spi();
    const memory_state_t &memory_state = target.memory;
    switch (memory_state.poll_method) {
    case POLL_TIMED:
        spi.delay_ms(delay);
        return true;
    case POLL_DATA: {
        if (address == -1 || value == memory_state.poll_exclude_1 ||
            value == memory_state.poll_exclude_2) {
            spi.delay_ms(delay);
            return true;
        }
        // Past the time-out one last look: a host held up (a slow USB round trip)
        // must not take a write that ended meanwhile for a failed one.
        os_timer_t timer;
        timer.set_wait(4.0f * delay);
        for (;;) {
            if (timer.expired())
                return read_memory_byte(target, address) == value;
            if (read_memory_byte(target, address) == value)
                return true;
        }
    }
    case POLL_READY: {
        auto ready = [&target] {
            uint8_t command[4] = {0xF0, 0x00, 0xFF, 0x00};
            send_command(target, command);
            check_echo(command[1], 0xF0);
            return (command[3] & 1) == 0;
        };
        os_timer_t timer;
        timer.set_wait(4.0f * delay);
        for (;;) {
            if (timer.expired())
                return ready();
            if (ready())
                return true;
        }
    }
    default:
        return true;
    }
}

void chip_erase_command(avr_target_t &target)
{
    spi_t &spi = target.spi();
    uint8_t command[4] = {0xAC, 0x80, 0x00, 0x00};
    send_command(target, command);
    trace_reply("Erase reply", command);
    check_echo(command[1], 0xAC);
    spi.delay_ms(target.memory.erase_delay);
    spi.set_reset(false);
    spi.delay_ms(target.settings.inactive_reset_ms);
    spi.set_reset(true);
}

void erase_chip(avr_target_t &target)
{
    memory_state_t &memory_state = target.memory;
    int32_t index = target.device_index();
    if (index >= 0 && (avr_devices[index].flags & flag_erase_fix)) {
        msg_print(msg_out, MSG_DEBUG, "%s erase bug correction\n", avr_devices[index].name);
        chip_erase_command(target);
        connect(target);
        memory_state.current_memory = CODE_MEMORY;
        write_memory_byte(target, 0, 0xFF);
        // a paged flash only takes the byte with its page write
        if (memory_state.code_paged && memory_state.last_address != -1) {
            commit_page(target, memory_state.last_address);
            memory_state.last_address = -1;
        }
    }
    chip_erase_command(target);
    msg_print(msg_out, MSG_INFO, "Device erased\n");
    connect(target);
    read_lock_state(target);
    memory_state.chip_erased = true;
}
