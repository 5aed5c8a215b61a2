#include "image/passes.h"

#include <algorithm>
#include <cstdint>

#include "avr/devices.h"
#include "avr/memory_commands.h"
#include "base/messages.h"
#include "base/timer.h"

namespace {

constexpr int32_t code_step = 512;
constexpr int32_t data_step = 32;

int32_t step_of(int memory)
{
    return memory == CODE_MEMORY ? code_step : data_step;
}

// One pass over one memory: its progress dots and its findings.
class pass_t {
public:
    pass_t(avr_target_t &target, const pass_switches_t &switches, int memory)
        : target(target), switches(switches), memory(memory), progress_step(uint32_t(step_of(memory)))
    {
        target.memory.current_memory = uint8_t(memory);
    }

    avr_target_t &target;
    const pass_switches_t &switches;
    const int memory;
    uint32_t progress_count = 0;
    uint32_t progress_step;
    int32_t error_count = 0;
    int32_t covered_end = 0;
    bool free_blank = true;

    // Bytes the pass may touch: the erase counter's two bytes are left out.
    int32_t size() const
    {
        if (memory != CODE_MEMORY)
            return target.data_size();
        return switches.code_size >= 0 ? switches.code_size : target.code_size();
    }

    void read_block(uint8_t *buffer, int32_t address, int32_t count)
    {
        if (memory == CODE_MEMORY)
            read_code_block(target, buffer, address, count);
        else
            read_data_block(target, buffer, address, count);
    }

    // A code block read must not cross a 128 KiB boundary: the extended address
    // byte is loaded once per block.
    int32_t block_length(int32_t address, int64_t wanted) const
    {
        constexpr int64_t boundary = 0x20000;
        if (memory == CODE_MEMORY) {
            int64_t room = boundary - (address % boundary);
            if (wanted > room)
                wanted = room;
        }
        return int32_t(wanted);
    }

    void start()
    {
        process_timer().start();
        progress_count = 0;
    }

    void progress(uint32_t bytes)
    {
        progress_count += bytes;
        while (progress_count >= progress_step) {
            progress_count -= progress_step;
            msg_print(msg_out, MSG_INFO, ".");
        }
    }

    void end()
    {
        os_timer_t &timer = process_timer();
        timer.stop();
        char text[128];
        msg_print(msg_out, MSG_INFO, " done (%s)\n", format_time(timer.elapsed_ms(), 1, text));
    }

    void write_byte(int32_t address, uint8_t value)
    {
        write_memory_byte(target, address, value);
        poll_user_break();
        progress(1);
    }

    void fill_blank(int32_t from, int32_t to_excluded)
    {
        for (int32_t address = from; address < to_excluded; address++)
            write_byte(address, 0xFF);
    }

    // Blank test of first..last (progress dots as it reads).
    bool is_blank(int32_t first, int32_t last)
    {
        msg_print(msg_out, MSG_DEBUG, "\n\t%% IsBlank from 0x%lX to 0x%lX\t", long(first), long(last));
        reset_command_buffer(target);
        expect_reads(target, first, last + 1 - first);
        uint8_t buffer[code_step];
        int32_t step = int32_t(std::min<uint32_t>(progress_step, sizeof buffer));
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

    void setup_polling()
    {
        memory_state_t &m = target.memory;
        m.poll_address = -1;
        const avr_device_t &device = target.device();
        // Data polling: the byte read back while the write lasts is one of these.
        auto poll_data = [&m](uint8_t busy_1, uint8_t busy_2) {
            m.poll_method = POLL_DATA;
            m.poll_exclude_1 = busy_1;
            m.poll_exclude_2 = busy_2;
        };
        switch (device.memory[memory].poll_kind) {
        case poll_none:
            m.poll_method = POLL_TIMED;
            msg_print(msg_out, MSG_WARNING, "Warning: can't use write polling for %s of %s\n", memory_name(memory),
                      device.name);
            break;
        case poll_value_not_00_ff:
            poll_data(0x00, 0xFF);
            break;
        case poll_value_not_7f_80:
            poll_data(0x7F, 0x80);
            break;
        case poll_value_not_7f:
            poll_data(0x7F, 0x7F);
            break;
        case poll_value_not_ff:
            poll_data(0xFF, 0xFF);
            break;
        case poll_rdy_bsy:
            m.poll_method = POLL_READY;
            break;
        default:
            break;
        }
    }
};

}  // namespace

void read_memory(avr_target_t &target, const pass_switches_t &switches, int memory, PortionList &image)
{
    pass_t pass(target, switches, memory);
    int32_t size = pass.size();
    int32_t step = step_of(memory);
    msg_print(msg_out, MSG_INFO, "Reading %s\n", memory_name(memory));
    pass.start();
    reset_command_buffer(target);
    expect_reads(target, 0, size);
    target.memory.last_address = -1;
    uint8_t buffer[code_step];
    for (int32_t address = 0; address < size;) {
        int32_t n = std::min(step, size - address);
        pass.read_block(buffer, address, n);
        image.append(new CodePortion(address, n, buffer));
        pass.progress(uint32_t(n));
        poll_user_break();
        address += n;
    }
    pass.end();
}

void program_memory(avr_target_t &target, const pass_switches_t &switches, int memory, PortionList &image)
{
    pass_t pass(target, switches, memory);
    memory_state_t &m = target.memory;
    msg_print(msg_out, MSG_INFO, "Programming %s\n", memory_name(memory));
    pass.start();
    reset_command_buffer(target);
    if (switches.polling)
        pass.setup_polling();
    m.last_address = -1;

    bool filling = switches.fill_eeprom && !m.chip_erased && memory == DATA_MEMORY;
    for (CodePortion *portion = image.first(); portion; portion = image.next_of(portion)) {
        if (filling)
            pass.fill_blank(pass.covered_end, portion->address);
        for (int32_t i = 0; i < portion->length; i++)
            pass.write_byte(portion->address + i, portion->data[i]);
        pass.covered_end = std::max(pass.covered_end, portion->end());
    }
    if (filling)
        pass.fill_blank(pass.covered_end, target.data_size());

    if (memory == CODE_MEMORY && m.code_paged && m.last_address != -1)
        commit_page(target, m.last_address);
    pass.end();
}

bool verify_memory(avr_target_t &target, const pass_switches_t &switches, int memory, PortionList &image,
                   verify_findings_t *findings)
{
    pass_t pass(target, switches, memory);
    verify_findings_t found;
    msg_print(msg_out, MSG_INFO, "Verifying %s\n", memory_name(memory));
    pass.start();
    target.memory.last_address = -1;
    reset_command_buffer(target);

    bool test_free = switches.verify_all || (memory == DATA_MEMORY && switches.fill_eeprom);
    int32_t step = step_of(memory);
    uint8_t buffer[code_step];
    for (CodePortion *portion = image.first(); portion; portion = image.next_of(portion)) {
        if (test_free && pass.covered_end < portion->address) {
            if (!pass.is_blank(pass.covered_end, portion->address - 1))
                pass.free_blank = false;
        }
        msg_print(msg_out, MSG_DEBUG, "\n\t%% Verifying from 0x%lX to 0x%lX  ", long(portion->address),
                  long(portion->end() - 1));
        expect_reads(target, portion->address, portion->length);
        for (int32_t offset = 0; offset < portion->length;) {
            int32_t address = portion->address + offset;
            int32_t n = pass.block_length(address, std::min(step, portion->length - offset));
            pass.read_block(buffer, address, n);
            for (int32_t i = 0; i < n; i++) {
                uint8_t expected = portion->data[offset + i];
                if (buffer[i] != expected) {
                    pass.error_count++;
                    if (!found.any) {
                        found.any = true;
                        found.first_address = uint32_t(address + i);
                        found.first_expected = expected;
                        found.first_read = buffer[i];
                    }
                    if (expected & ~buffer[i])
                        found.wanted_set_bits = true;
                    msg_print(msg_out, MSG_DEBUG, "\t%% %08X: expected %02X, read %02X\n", unsigned(address + i),
                              expected, buffer[i]);
                }
            }
            pass.progress(uint32_t(n));
            poll_user_break();
            offset += n;
        }
        pass.covered_end = std::max(pass.covered_end, portion->end());
    }

    int32_t last = pass.size() - 1;
    if (test_free && pass.covered_end <= last) {
        if (!pass.is_blank(pass.covered_end, last))
            pass.free_blank = false;
    }
    bool verify_ok = pass.error_count == 0;
    if (!verify_ok) {
        msg_print(msg_out, MSG_ERROR, "failed, %ld error%c\n", long(pass.error_count),
                  pass.error_count == 1 ? ' ' : 's');
    } else {
        msg_print(msg_out, MSG_INFO, " passed\n");
    }
    if (test_free)
        msg_print(msg_out, MSG_DEBUG, "\tfree positions are %sblank\n", pass.free_blank ? "" : "NOT ");
    pass.end();
    if (found.any)
        msg_print(msg_out, MSG_ERROR, "First difference at 0x%X: expected %02X, read %02X\n",
                  unsigned(found.first_address), found.first_expected, found.first_read);
    if (findings != nullptr)
        *findings = found;
    return verify_ok && pass.free_blank;
}

namespace {
// Reads one whole memory after its heading; prints "  blank" when it is.
bool memory_is_blank(avr_target_t &target, const pass_switches_t &switches, int memory)
{
    pass_t pass(target, switches, memory);
    pass.start();
    bool blank = pass.is_blank(0, pass.size() - 1);
    pass.end();
    if (blank)
        msg_print(msg_out, MSG_INFO, "  blank\n");
    return blank;
}
}  // namespace

uint8_t blank_check(avr_target_t &target, const pass_switches_t &switches, uint8_t which)
{
    uint8_t result = 0;
    if (which & 1) {
        target.memory.last_address = -1;
        msg_print(msg_out, MSG_INFO, "Blank check\nCode: ");
        if (!memory_is_blank(target, switches, CODE_MEMORY)) {
            msg_print(msg_out, MSG_ERROR, "Code not blank\n");
            result |= 1;
        }
    }
    if ((which & 2) && target.data_size() != 0) {
        if (!(which & 1))
            msg_print(msg_out, MSG_INFO, "Blank check\n");
        msg_print(msg_out, MSG_INFO, "Data: ");
        if (!memory_is_blank(target, switches, DATA_MEMORY)) {
            msg_print(msg_out, MSG_INFO, "  not blank\n");
            result |= 2;
        }
    }
    return result;
}
