#include "image/passes.h"

#include <algorithm>
#include <cstdint>

#include "avr/devices.h"
#include "avr/memory_commands.h"
#include "run/insertions.h"
#include "base/messages.h"
#include "run/options.h"
#include "base/timer.h"

namespace {

constexpr int32_t code_step = 512;
constexpr int32_t data_step = 32;

struct pass_state_t {
    uint32_t progress_count = 0;
    uint32_t progress_step = code_step;
    int32_t error_count = 0;
    int32_t covered_end = 0;
    bool free_blank = true;
    bool verify_ok = true;
};

pass_state_t pass;

// The first mismatch of the last verify pass, and whether a mismatch wanted a 1
// where the chip holds a 0.
struct verify_findings_t {
    bool any = false;
    uint32_t first_address = 0;
    uint8_t first_expected = 0, first_read = 0;
    bool wanted_set_bits = false;
};
verify_findings_t findings;

int32_t step_of(int memory)
{
    return memory == CODE_MEMORY ? code_step : data_step;
}

// Bytes the passes may touch: the erase counter's two bytes are left out.
int32_t size_of(int memory)
{
    return memory == CODE_MEMORY ? usable_code_size() : data_size();
}

void select_memory(int memory)
{
    memory_state.current_memory = uint8_t(memory);
}

void read_block(uint8_t *buffer, int32_t address, int32_t count)
{
    if (memory_state.current_memory == CODE_MEMORY)
        read_code_block(buffer, address, count);
    else
        read_data_block(buffer, address, count);
}

// A code block read must not cross a 128 KiB boundary: the extended address
// byte is loaded once per block.
int32_t block_length(int32_t address, int64_t wanted)
{
    constexpr int64_t boundary = 0x20000;
    if (memory_state.current_memory == CODE_MEMORY) {
        int64_t room = boundary - (address % boundary);
        if (wanted > room)
            wanted = room;
    }
    return int32_t(wanted);
}

void pass_start(int memory)
{
    process_timer().start();
    pass.progress_count = 0;
    pass.progress_step = uint32_t(step_of(memory));
}

void progress(uint32_t bytes)
{
    pass.progress_count += bytes;
    while (pass.progress_count >= pass.progress_step) {
        pass.progress_count -= pass.progress_step;
        msg_print(msg_out, MSG_INFO, ".");
    }
}

void pass_end()
{
    os_timer_t &timer = process_timer();
    timer.stop();
    char text[128];
    msg_print(msg_out, MSG_INFO, " done (%s)\n", format_time(timer.elapsed_ms(), 1, text));
}

void write_byte(int32_t address, uint8_t value)
{
    write_memory_byte(address, value);
    poll_user_break();
    progress(1);
}

void fill_blank(int32_t from, int32_t to_excluded)
{
    for (int32_t address = from; address < to_excluded; address++)
        write_byte(address, 0xFF);
}

void setup_polling(int memory)
{
    memory_state.poll_address = -1;
    const avr_device_t &device = current_device();
    switch (device.memory[memory].poll_kind) {
    case poll_none:
        memory_state.poll_method = POLL_TIMED;
        msg_print(msg_out, MSG_WARNING, "Warning: can't use write polling for %s of %s\n", memory_name(memory),
                  device.name);
        break;
    case poll_value_not_00_ff:
        memory_state.poll_method = POLL_DATA;
        memory_state.poll_exclude_1 = 0x00;
        memory_state.poll_exclude_2 = 0xFF;
        break;
    case poll_value_not_7f_80:
        memory_state.poll_method = POLL_DATA;
        memory_state.poll_exclude_1 = 0x7F;
        memory_state.poll_exclude_2 = 0x80;
        break;
    case poll_value_not_7f:
        memory_state.poll_method = POLL_DATA;
        memory_state.poll_exclude_1 = 0x7F;
        memory_state.poll_exclude_2 = 0x7F;
        break;
    case poll_value_not_ff:
        memory_state.poll_method = POLL_DATA;
        memory_state.poll_exclude_1 = 0xFF;
        memory_state.poll_exclude_2 = 0xFF;
        break;
    case poll_rdy_bsy:
        memory_state.poll_method = POLL_READY;
        break;
    default:
        break;
    }
}

}  // namespace

void passes_reset()
{
    pass = pass_state_t();
    findings = verify_findings_t();
}

bool verify_wanted_set_bits()
{
    return findings.wanted_set_bits;
}

bool is_blank(int32_t first, int32_t last)
{
    msg_print(msg_out, MSG_DEBUG, "\n\t%% IsBlank from 0x%lX to 0x%lX\t", long(first), long(last));
    reset_command_buffer();
    uint8_t buffer[code_step];
    int32_t step = int32_t(std::min<uint32_t>(pass.progress_step, sizeof buffer));
    for (int32_t address = first; address <= last;) {
        int32_t n = block_length(address, std::min<int64_t>(step, int64_t(last) + 1 - address));
        read_block(buffer, address, n);
        for (int32_t i = 0; i < n; i++) {
            if (buffer[i] != 0xFF)
                return false;
        }
        progress(uint32_t(n));
        poll_user_break();
        address += n;
    }
    return true;
}

void read_memory(int memory, PortionList &image)
{
    select_memory(memory);
    int32_t size = size_of(memory);
    int32_t step = step_of(memory);
    msg_print(msg_out, MSG_INFO, "Reading %s\n", memory_name(memory));
    pass_start(memory);
    reset_command_buffer();
    memory_state.last_address = -1;
    uint8_t buffer[code_step];
    for (int32_t address = 0; address < size;) {
        int32_t n = std::min(step, size - address);
        read_block(buffer, address, n);
        image.append(new CodePortion(address, n, buffer));
        progress(uint32_t(n));
        poll_user_break();
        address += n;
    }
    pass_end();
}

void program_memory(int memory, PortionList &image)
{
    select_memory(memory);
    msg_print(msg_out, MSG_INFO, "Programming %s\n", memory_name(memory));
    pass_start(memory);
    reset_command_buffer();
    if (run_options.write & WRITE_POLLING)
        setup_polling(memory);
    memory_state.last_address = -1;
    pass.covered_end = 0;

    bool filling = (run_options.write & WRITE_FILL_EEPROM) && !memory_state.chip_erased && memory == DATA_MEMORY;
    for (CodePortion *portion = image.first(); portion; portion = image.next_of(portion)) {
        if (filling)
            fill_blank(pass.covered_end, portion->address);
        for (int32_t i = 0; i < portion->length; i++)
            write_byte(portion->address + i, portion->data[i]);
        pass.covered_end = std::max(pass.covered_end, portion->end());
    }
    if (filling)
        fill_blank(pass.covered_end, data_size());

    if (memory == CODE_MEMORY && memory_state.code_paged && memory_state.last_address != -1)
        commit_page(memory_state.last_address);
    pass_end();
}

bool verify_memory(int memory, PortionList &image)
{
    select_memory(memory);
    msg_print(msg_out, MSG_INFO, "Verifying %s\n", memory_name(memory));
    pass_start(memory);
    memory_state.last_address = -1;
    pass.error_count = 0;
    pass.covered_end = 0;
    pass.free_blank = true;
    pass.verify_ok = true;
    findings = verify_findings_t();
    reset_command_buffer();

    bool test_free = run_options.verify_all || (memory == DATA_MEMORY && (run_options.write & WRITE_FILL_EEPROM));
    int32_t step = step_of(memory);
    uint8_t buffer[code_step];
    for (CodePortion *portion = image.first(); portion; portion = image.next_of(portion)) {
        if (test_free && pass.covered_end < portion->address) {
            if (!is_blank(pass.covered_end, portion->address - 1))
                pass.free_blank = false;
        }
        msg_print(msg_out, MSG_DEBUG, "\n\t%% Verifying from 0x%lX to 0x%lX  ", long(portion->address),
                  long(portion->end() - 1));
        for (int32_t offset = 0; offset < portion->length;) {
            int32_t address = portion->address + offset;
            int32_t n = block_length(address, std::min(step, portion->length - offset));
            read_block(buffer, address, n);
            for (int32_t i = 0; i < n; i++) {
                uint8_t expected = portion->data[offset + i];
                if (buffer[i] != expected) {
                    pass.error_count++;
                    if (!findings.any) {
                        findings.any = true;
                        findings.first_address = uint32_t(address + i);
                        findings.first_expected = expected;
                        findings.first_read = buffer[i];
                    }
                    if (expected & ~buffer[i])
                        findings.wanted_set_bits = true;
                    msg_print(msg_out, MSG_DEBUG, "\t%% %08X: expected %02X, read %02X\n", unsigned(address + i),
                              expected, buffer[i]);
                }
            }
            progress(uint32_t(n));
            poll_user_break();
            offset += n;
        }
        pass.covered_end = std::max(pass.covered_end, portion->end());
    }

    int32_t last = size_of(memory) - 1;
    if (test_free && pass.covered_end <= last) {
        if (!is_blank(pass.covered_end, last))
            pass.free_blank = false;
    }
    if (pass.error_count != 0) {
        pass.verify_ok = false;
        msg_print(msg_out, MSG_ERROR, "failed, %ld error%c\n", long(pass.error_count),
                  pass.error_count == 1 ? ' ' : 's');
    } else {
        msg_print(msg_out, MSG_INFO, " passed\n");
    }
    if (test_free)
        msg_print(msg_out, MSG_DEBUG, "\tfree positions are %sblank\n", pass.free_blank ? "" : "NOT ");
    pass_end();
    if (findings.any)
        msg_print(msg_out, MSG_ERROR, "First difference at 0x%X: expected %02X, read %02X\n",
                  unsigned(findings.first_address), findings.first_expected, findings.first_read);
    return pass.verify_ok && pass.free_blank;
}

uint8_t blank_check(uint8_t which)
{
    uint8_t result = 0;
    if (which & 1) {
        memory_state.last_address = -1;
        select_memory(CODE_MEMORY);
        msg_print(msg_out, MSG_INFO, "Blank check\nCode: ");
        pass_start(CODE_MEMORY);
        bool blank = is_blank(0, size_of(CODE_MEMORY) - 1);
        pass_end();
        if (blank) {
            msg_print(msg_out, MSG_INFO, "  blank\n");
        } else {
            msg_print(msg_out, MSG_ERROR, "Code not blank\n");
            result |= 1;
        }
    }
    if ((which & 2) && data_size() != 0) {
        select_memory(DATA_MEMORY);
        if (!(which & 1))
            msg_print(msg_out, MSG_INFO, "Blank check\n");
        msg_print(msg_out, MSG_INFO, "Data: ");
        pass_start(DATA_MEMORY);
        bool blank = is_blank(0, size_of(DATA_MEMORY) - 1);
        pass_end();
        if (blank) {
            msg_print(msg_out, MSG_INFO, "  blank\n");
        } else {
            msg_print(msg_out, MSG_INFO, "  not blank\n");
            result |= 2;
        }
    }
    return result;
}
