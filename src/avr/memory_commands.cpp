// Memory access commands: flash and EEPROM reads, byte writes, page loading
// and page writes, write-end polling, extended address and Chip Erase.
#include "avr/memory_commands.h"

#include <algorithm>
#include <cmath>
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

// Ready polls sent with one page write at most: they fill the largest transfer an
// MPSSE adapter takes (16 KiB) together with the page-write command.
const uint32_t largest_poll_batch = 4095;

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

// The commands of one block read, built in the order they reach the chip: an
// extended-address command first where the block needs another 128 KiB segment.
queued_read_t build_block_read(avr_target_t &target, uint8_t memory, int32_t address, int32_t count)
{
    memory_state_t &memory_state = target.memory;
    queued_read_t read;
    read.active = true;
    read.memory = memory;
    read.address = address;
    read.count = count;
    bool extended = memory == CODE_MEMORY && extended_chip(target) &&
                    extended_byte(address) != extended_byte(memory_state.last_address);
    read.first = extended ? 4 : 0;
    read.commands.resize(read.first + static_cast<size_t>(count) * 4);
    if (extended) {
        build_extended_command(read.commands.data(), extended_byte(address));
        memory_state.last_address = address;
    }
    for (int32_t i = 0; i < count; i++)
        build_read_command(&read.commands[read.first + static_cast<size_t>(i) * 4], memory, address + i);
    return read;
}

void queue_block_read(spi_t &spi, queued_read_t &read)
{
    spi.queue_transfer(read.commands.data(), read.commands.data(), static_cast<uint32_t>(read.commands.size()));
}

// A queued read nobody asked for: its replies are taken in and dropped.
void drop_queued_read(spi_t &spi, queued_read_t &queued_read)
{
    if (queued_read.active)
        spi.collect_transfer(queued_read.commands.data());
    queued_read.active = false;
}

// One block read in block mode. Inside an announced range the next block's commands
// go out before this block's replies are collected, so that the adapter's round trip
// overlaps the clocking of the next block.
void block_read(avr_target_t &target, uint8_t memory, uint8_t *buffer, int32_t address, int32_t count)
{
    spi_t &spi = target.spi();
    queued_read_t &queued_read = target.memory.queued_read;
    const read_window_t &read_window = target.memory.read_window;
    queued_read_t current;
    if (queued_read.active && queued_read.memory == memory && queued_read.address == address &&
        queued_read.count == count) {
        current = std::move(queued_read);
        queued_read.active = false;
    } else {
        drop_queued_read(spi, queued_read);
        current = build_block_read(target, memory, address, count);
        queue_block_read(spi, current);
    }

    int32_t next = address + count;
    if (read_window.memory == memory && next >= read_window.begin && next < read_window.end) {
        int32_t n = std::min(count, read_window.end - next);
        // a block never crosses a 128 KiB boundary (the passes split there too)
        if (memory == CODE_MEMORY && extended_chip(target))
            n = std::min(n, extended_boundary - (next & (extended_boundary - 1)));
        queued_read = build_block_read(target, memory, next, n);
        queue_block_read(spi, queued_read);
    }

    spi.collect_transfer(current.commands.data());
    for (int32_t i = 0; i < count; i++) {
        const uint8_t *reply = &current.commands[current.first + static_cast<size_t>(i) * 4];
        uint8_t op = memory == CODE_MEMORY ? ((address + i) & 1 ? 0x28 : 0x20) : 0xA0;
        check_echo(reply[1], op);
        buffer[i] = reply[3];
    }
}

void read_code_segment(avr_target_t &target, uint8_t *buffer, int32_t address, int32_t count)
{
    spi_t &spi = target.spi();
    memory_state_t &memory_state = target.memory;
    if (count <= 0)
        return;
    if (spi.is_block_mode()) {
        block_read(target, CODE_MEMORY, buffer, address, count);
        return;
    }

    if (extended_chip(target) && extended_byte(address) != extended_byte(memory_state.last_address)) {
        load_extended_address(target, extended_byte(address));
        memory_state.last_address = address;
    }
    for (int32_t i = 0; i < count; i++) {
        uint8_t command[4];
        build_read_command(command, CODE_MEMORY, address + i);
        buffer[i] = byte_wise_command(spi, command);
    }
}

// Is the chip ready? Poll RDY/BSY (bit 0 of the reply: 1 while busy).
bool poll_ready(avr_target_t &target)
{
    uint8_t command[4] = {0xF0, 0x00, 0xFF, 0x00};
    send_command(target, command);
    check_echo(command[1], 0xF0);
    return (command[3] & 1) == 0;
}

// Polls one at a time until the chip is ready or the time-out has passed; past the
// time-out one last look: a host held up (a slow USB round trip) must not take a
// write that ended meanwhile for a failed one.
bool poll_until_ready(avr_target_t &target, os_timer_t &timer)
{
    for (;;) {
        if (timer.expired())
            return poll_ready(target);
        if (poll_ready(target))
            return true;
    }
}

// Write Program Memory Page followed, in the same transfer, by as many ready polls as
// the page's expected write time takes to clock: a block-mode adapter pays one round
// trip for them instead of one per poll. The expected time is what the previous page
// took (the device table's time, a maximum, for the first page), so that the polls
// end about when the chip gets ready: polls past that point hold up the next page. The
// replies are read together and the first "ready" ends the write (the polls after it
// reach a chip that is ready already); without one, polling goes on one poll at a time
// until the usual time-out.
bool write_page_polling_ready(avr_target_t &target, const uint8_t *page_command, float delay)
{
    spi_t &spi = target.spi();
    float &learned_page_ms = target.memory.learned_page_ms;
    os_timer_t timer;
    timer.set_wait(4.0f * delay);
    os_timer_t stopwatch;
    stopwatch.start();
    long double poll_ms = 32.0L / (spi.spi_frequency() * 1000.0L);
    float expected = learned_page_ms > 0 && learned_page_ms < delay ? learned_page_ms : delay;
    // (less a hair, so that a time learnt as a whole number of polls stays that number)
    long double wanted = poll_ms > 0 ? std::ceil(static_cast<long double>(expected) / poll_ms - 1e-3L) + 2 : 1;
    uint32_t polls = wanted < 1 ? 1 : wanted > largest_poll_batch ? largest_poll_batch : static_cast<uint32_t>(wanted);

    std::vector<uint8_t> batch(4 + static_cast<size_t>(polls) * 4);
    std::copy(page_command, page_command + 4, batch.begin());
    for (uint32_t i = 0; i < polls; i++) {
        uint8_t *poll = &batch[4 + static_cast<size_t>(i) * 4];
        poll[0] = 0xF0;
        poll[1] = 0x00;
        poll[2] = 0xFF;
        poll[3] = 0x00;
    }
    spi.transfer_block(batch.data(), batch.data(), static_cast<uint32_t>(batch.size()));
    check_echo(batch[1], 0x4C);
    int64_t first_ready = -1;
    for (uint32_t i = 0; i < polls; i++) {
        const uint8_t *reply = &batch[4 + static_cast<size_t>(i) * 4];
        check_echo(reply[1], 0xF0);
        if (first_ready < 0 && (reply[3] & 1) == 0)
            first_ready = i;
    }
    if (first_ready >= 0) {
        learned_page_ms = static_cast<float>(static_cast<long double>(first_ready + 1) * poll_ms);
        return true;
    }
    bool ready = poll_until_ready(target, timer);
    stopwatch.stop();
    learned_page_ms = static_cast<float>(stopwatch.elapsed_ms());
    return ready;
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
    memory_state.learned_page_ms = 0.0f;
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
        block_read(target, DATA_MEMORY, buffer, address, count);
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
    spi_t &spi = target.spi();
    bool ready;
    if (spi.is_block_mode() && memory_state.poll_method == POLL_READY) {
        ready = write_page_polling_ready(target, command, memory_state.code_write_delay);
    } else {
        send_command(target, command);
        check_echo(command[1], 0x4C);
        ready = wait_ready(target, memory_state.poll_address, memory_state.poll_value, memory_state.code_write_delay);
    }
    if (ready)
        memory_state.poll_address = -1;
    else
        fail(EXIT_CHIP_REFUSED, "Poll: can't write page at 0x%lX\n",
             static_cast<unsigned long>(address & ~memory_state.page_mask));
}

void reset_command_buffer(avr_target_t &target)
{
    target.memory.command_count = 0;
    forget_loaded(target.memory);
    target.memory.read_window = read_window_t();
}

void expect_reads(avr_target_t &target, int32_t address, int32_t count)
{
    read_window_t &read_window = target.memory.read_window;
    read_window.memory = target.memory.current_memory;
    read_window.begin = address;
    read_window.end = address + std::max<int32_t>(count, 0);
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
        os_timer_t timer;
        timer.set_wait(4.0f * delay);
        return poll_until_ready(target, timer);
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
