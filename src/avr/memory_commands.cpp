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
#include "run/options.h"
#include "base/timer.h"

memory_state_t memory_state;

namespace {

// Flash above this size needs Load Extended Address Byte before accesses.
const int32_t extended_boundary = 0x20000;

// Load commands of one page of the largest page size plus one
// extended-address command.
const uint32_t largest_page = 256;
const uint32_t command_capacity = largest_page * 4 + 4;

uint8_t command_buffer[command_capacity];
uint32_t command_count = 0;

// Which bytes of the chip's page buffer were loaded since the last page
// write, so that padding never overwrites a byte that was given.
std::vector<bool> page_loaded;

spi_t &adapter()
{
    spi_t *spi = run_adapter();
    if (!spi)
        fail(EXIT_USAGE, "No programming adapter\n");
    return *spi;
}

bool extended_chip()
{
    int32_t index = current_device_index();
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

void flush_commands()
{
    if (command_count > 0)
        adapter().write_block(command_buffer, command_count);
    command_count = 0;
}

// Loads keep room for the extended-address command that a commit appends.
void append_command(const uint8_t *command, uint32_t reserve)
{
    // Overlapping writes can load one page more than once; send what is
    // pending early rather than overrun the buffer (the page buffer keeps it).
    if (command_count + 4 + reserve > command_capacity)
        flush_commands();
    std::copy(command, command + 4, command_buffer + command_count);
    command_count += 4;
}

bool is_loaded(int32_t address)
{
    size_t index = static_cast<size_t>(address & memory_state.page_mask);
    return index < page_loaded.size() && page_loaded[index];
}

void mark_loaded(int32_t address)
{
    size_t index = static_cast<size_t>(address & memory_state.page_mask);
    if (index >= page_loaded.size())
        page_loaded.resize(static_cast<size_t>(memory_state.page_mask) + 1, false);
    page_loaded[index] = true;
}

void forget_loaded()
{
    std::fill(page_loaded.begin(), page_loaded.end(), false);
}

void load_page_byte(int32_t address, uint8_t value)
{
    if (memory_state.poll_method == POLL_DATA && value != memory_state.poll_exclude_1 &&
        value != memory_state.poll_exclude_2) {
        memory_state.poll_address = address;
        memory_state.poll_value = value;
    }
    uint8_t command[4];
    build_code_command(command, 0x40, address, value);
    append_command(command, 4);
    mark_loaded(address);
}

// The missing half of a word: 0xFF, unless that byte was already given.
void load_padding(int32_t address)
{
    if (!is_loaded(address))
        load_page_byte(address, 0xFF);
}

void byte_writer(int32_t address, uint8_t value)
{
    bool data = memory_state.current_memory == DATA_MEMORY;
    if (value == 0xFF && memory_state.chip_erased && !(data && run_options.erase_keep_eeprom))
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
    send_command(command);
    check_echo(command[1], op);
    float delay = data ? memory_state.data_write_delay : memory_state.code_write_delay;
    if (!wait_ready(address, value, delay))
        fail(EXIT_CHIP_REFUSED, "Poll: can't write byte to %s at 0x%lX\n",
             memory_name(memory_state.current_memory), static_cast<unsigned long>(address));
}

void page_writer(int32_t address, uint8_t value)
{
    int32_t &last = memory_state.last_address;
    int32_t mask = memory_state.page_mask;
    if (last != -1 && (address | mask) != (last | mask)) {
        commit_page(last);
        last = -1;
    }
    if (address != last + 1) {
        if (last >= 0 && (last & 1) == 0) {
            load_padding(last + 1);
            last = last + 1;
        }
        if (address & 1) {
            if (memory_state.chip_erased && value == 0xFF)
                return;
            load_padding(address - 1);
            last = address - 1;
        }
    }
    if (value == 0xFF && memory_state.chip_erased)
        return;
    load_page_byte(address, value);
    last = address;
}

void read_code_segment(uint8_t *buffer, int32_t address, int32_t count)
{
    spi_t &spi = adapter();
    bool block = spi.is_block_mode();
    bool extended = extended_chip() &&
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
        load_extended_address(extended_byte(address));
        memory_state.last_address = address;
    }
    for (size_t i = 0; i < reads; i++) {
        uint8_t command[4];
        build_read_command(command, CODE_MEMORY, address + static_cast<int32_t>(i));
        buffer[i] = byte_wise_command(spi, command);
    }
}

}  // namespace

void setup_timing(float factor)
{
    int32_t index = current_device_index();
    if (index < 0)
        return;
    const avr_device_t &device = avr_devices[index];
    const avr_memory_t &code = device.memory[CODE_MEMORY];
    const avr_memory_t &data = device.memory[DATA_MEMORY];
    memory_state.code_paged = code.page_size > 0;
    memory_state.page_mask = code.page_size > 0 ? code.page_size - 1 : 0;
    page_loaded.assign(static_cast<size_t>(memory_state.page_mask) + 1, false);
    memory_state.code_write_delay = static_cast<float>(code.write_ms) * factor;
    memory_state.data_write_delay = static_cast<float>(data.write_ms) * factor;
    memory_state.erase_delay = static_cast<float>(device.erase_ms) * factor;
}

uint8_t read_memory_byte(int32_t address)
{
    spi_t &spi = adapter();
    uint8_t command[4];
    build_read_command(command, memory_state.current_memory, address);
    if (!spi.is_block_mode())
        return byte_wise_command(spi, command);
    uint8_t op = command[0];
    spi.transfer_block(command, command, 4);
    check_echo(command[1], op);
    return command[3];
}

void read_code_block(uint8_t *buffer, int32_t address, int32_t count)
{
    if (count <= 0 || !extended_chip()) {
        read_code_segment(buffer, address, count);
        return;
    }
    // A read must not run across a 128 KiB boundary: the extended address
    // changes there.
    while (count > 0) {
        int32_t room = extended_boundary - (address & (extended_boundary - 1));
        int32_t n = std::min(count, room);
        read_code_segment(buffer, address, n);
        buffer += n;
        address += n;
        count -= n;
    }
}

void read_data_block(uint8_t *buffer, int32_t address, int32_t count)
{
    if (count <= 0)
        return;
    spi_t &spi = adapter();
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

void load_extended_address(uint8_t value)
{
    uint8_t command[4];
    build_extended_command(command, value);
    send_command(command);
    check_echo(command[1], 0x4D);
}

void write_memory_byte(int32_t address, uint8_t value)
{
    if (memory_state.current_memory == CODE_MEMORY && memory_state.code_paged)
        page_writer(address, value);
    else
        byte_writer(address, value);
}

void commit_page(int32_t address)
{
    if (address != -1 && (address & 1) == 0)
        load_padding(address + 1);
    if (extended_chip()) {
        uint8_t command[4];
        build_extended_command(command, extended_byte(address));
        append_command(command, 0);
    }
    flush_commands();
    forget_loaded();

    uint8_t command[4];
    build_code_command(command, 0x4C, address, 0x00);
    send_command(command);
    check_echo(command[1], 0x4C);

    if (wait_ready(memory_state.poll_address, memory_state.poll_value,
                   memory_state.code_write_delay))
        memory_state.poll_address = -1;
    else
        fail(EXIT_CHIP_REFUSED, "Poll: can't write page at 0x%lX\n",
             static_cast<unsigned long>(address & ~memory_state.page_mask));
}

void reset_command_buffer()
{
    command_count = 0;
    forget_loaded();
}

bool wait_ready(int32_t address, uint8_t value, float delay)
{
    spi_t &spi = adapter();
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
                return read_memory_byte(address) == value;
            if (read_memory_byte(address) == value)
                return true;
        }
    }
    case POLL_READY: {
        auto ready = [] {
            uint8_t command[4] = {0xF0, 0x00, 0xFF, 0x00};
            send_command(command);
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

void chip_erase_command()
{
    spi_t &spi = adapter();
    uint8_t command[4] = {0xAC, 0x80, 0x00, 0x00};
    send_command(command);
    trace_reply("Erase reply", command);
    check_echo(command[1], 0xAC);
    spi.delay_ms(memory_state.erase_delay);
    spi.set_reset(false);
    spi.delay_ms(run_options.inactive_reset_ms);
    spi.set_reset(true);
}

void erase_chip()
{
    int32_t index = current_device_index();
    if (index >= 0 && (avr_devices[index].flags & flag_erase_fix)) {
        msg_print(msg_out, MSG_DEBUG, "%s erase bug correction\n", avr_devices[index].name);
        chip_erase_command();
        connect();
        memory_state.current_memory = CODE_MEMORY;
        write_memory_byte(0, 0xFF);
        // a paged flash only takes the byte with its page write
        if (memory_state.code_paged && memory_state.last_address != -1) {
            commit_page(memory_state.last_address);
            memory_state.last_address = -1;
        }
    }
    chip_erase_command();
    msg_print(msg_out, MSG_INFO, "Device erased\n");
    connect();
    read_lock_state();
    memory_state.chip_erased = true;
}

void memory_commands_reset()
{
    memory_state = memory_state_t();
    command_count = 0;
    page_loaded.clear();
}
