// A scripted programming adapter with a tiny AVR behind it, for the link and
// memory-command tests. It records every adapter call and every 4-byte
// command that reaches the chip, and answers like a chip would.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapters/spi.h"
#include "avr/devices.h"
#include "avr/link.h"
#include "avr/memory_commands.h"
#include "avr/target.h"
#include "base/messages.h"
#include "support/capture.h"

typedef std::array<uint8_t, 4> command_t;

class fake_chip_t : public spi_t {
public:
    // --- script ---
    bool block_mode = false;
    bool power = false;
    bool enable = false;
    bool paged = false;              // flash written through the page buffer
    uint8_t signature[3] = {0x1E, 0x93, 0x07};
    uint8_t lock_byte = 0xFF;
    int pe_failures = 0;             // Programming Enables answered out of step; -1: all
    int stale_reads = 0;             // memory reads answering a wrong value; -1: all
    int busy_polls = 0;              // RDY/BSY polls answering busy; -1: all
    int corrupt_echo_at = -1;        // index of the command whose echo is wrong
    int slow_polls_ms = 0;           // host time each memory read or RDY/BSY poll takes

    // --- record ---
    std::vector<std::string> events;  // adapter calls in order
    std::vector<float> delays;        // delay_ms arguments in order
    std::string byte_calls;           // W write_byte, T transfer_byte, R read_byte
    std::vector<command_t> commands;  // every command the chip received
    std::vector<uint32_t> write_blocks;     // sizes of write_block calls
    std::vector<uint32_t> transfer_blocks;  // sizes of transfer_block calls
    int sck_pulses = 0;
    int reset_pulses = 0;
    int erases = 0;

    // --- chip contents ---
    std::vector<uint8_t> flash = std::vector<uint8_t>(0x40000, 0xFF);
    std::vector<uint8_t> eeprom = std::vector<uint8_t>(0x1000, 0xFF);
    uint8_t extended = 0;

    bool is_block_mode() override { return block_mode; }
    uint8_t transfer_byte(uint8_t value) override
    {
        byte_calls += 'T';
        return shift(value);
    }
    void write_byte(uint8_t value) override
    {
        byte_calls += 'W';
        shift(value);
    }
    uint8_t read_byte() override
    {
        byte_calls += 'R';
        return shift(0x00);
    }
    void transfer_block(const uint8_t *out, uint8_t *in, uint32_t count) override
    {
        events.push_back("transfer_block");
        transfer_blocks.push_back(count);
        for (uint32_t i = 0; i < count; i++)
            in[i] = shift(out[i]);
    }
    void write_block(const uint8_t *data, uint32_t count) override
    {
        events.push_back("write_block");
        write_blocks.push_back(count);
        for (uint32_t i = 0; i < count; i++)
            shift(data[i]);
    }
    void set_reset(bool active) override { events.push_back(active ? "reset on" : "reset off"); }
    void pulse_reset() override
    {
        events.push_back("pulse_reset");
        reset_pulses++;
    }
    void pulse_sck() override
    {
        events.push_back("pulse_sck");
        sck_pulses++;
    }
    void delay_ms(float ms) override
    {
        events.push_back("delay");
        delays.push_back(ms);
    }
    bool has_power() override { return power; }
    void power_on() override { events.push_back("power_on"); }
    void power_off() override { events.push_back("power_off"); }
    bool has_enable() override { return enable; }
    void enable_adapter() override { events.push_back("enable"); }
    void disable_adapter() override { events.push_back("disable"); }
    long double spi_frequency() override { return 1.0L; }
    const char *adapter_name() override { return "fake"; }

    // Commands with the given first byte.
    std::vector<command_t> with_op(uint8_t op) const
    {
        std::vector<command_t> result;
        for (const command_t &c : commands)
            if (c[0] == op)
                result.push_back(c);
        return result;
    }
    int count_events(const std::string &name) const
    {
        int n = 0;
        for (const std::string &e : events)
            n += e == name;
        return n;
    }

private:
    command_t current{};
    int position = 0;
    std::vector<std::pair<uint32_t, uint8_t>> page_buffer;  // (word * 2 + odd, value)

    static bool take(int &counter)
    {
        if (counter < 0)
            return true;
        if (counter == 0)
            return false;
        counter--;
        return true;
    }

    uint8_t shift(uint8_t out)
    {
        current[position] = out;
        uint8_t in = 0x00;
        switch (position) {
        case 1:
            in = current[0];
            if (static_cast<int>(commands.size()) == corrupt_echo_at)
                in ^= 0x01;
            break;
        case 2:
            in = current[1];
            if (current[0] == 0xAC && current[1] == 0x53 && take(pe_failures))
                in = 0x00;
            break;
        case 3:
            in = execute();
            commands.push_back(current);
            break;
        }
        position = (position + 1) & 3;
        return in;
    }

    // A slow answer, as when the host is held up (a USB round trip, the scheduler).
    void stall() const
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(slow_polls_ms);
        while (std::chrono::steady_clock::now() < until) {
        }
    }

    uint32_t flash_address() const
    {
        uint32_t word = (uint32_t(extended) << 16) | (uint32_t(current[1]) << 8) | current[2];
        return word * 2 + ((current[0] & 0x08) ? 1 : 0);
    }

    uint8_t read_value(uint8_t value)
    {
        stall();
        return take(stale_reads) ? static_cast<uint8_t>(~value) : value;
    }

    uint8_t execute()
    {
        uint16_t address = static_cast<uint16_t>((current[1] << 8) | current[2]);
        switch (current[0]) {
        case 0x30:
            return signature[current[2] % 3];
        case 0x58:
            return lock_byte;
        case 0x20:
        case 0x28:
            return read_value(flash[flash_address() % flash.size()]);
        case 0xA0:
            return read_value(eeprom[address % eeprom.size()]);
        case 0x40:
        case 0x48:
            if (paged)
                page_buffer.push_back({((uint32_t(current[1]) << 8 | current[2]) * 2 +
                                        ((current[0] & 0x08) ? 1 : 0)),
                                       current[3]});
            else
                flash[flash_address() % flash.size()] = current[3];
            return current[2];
        case 0x4C:
            for (const auto &load : page_buffer)
                flash[(uint32_t(extended) << 17 | load.first) % flash.size()] = load.second;
            page_buffer.clear();
            return current[2];
        case 0x4D:
            extended = current[2];
            return current[2];
        case 0xC0:
            eeprom[address % eeprom.size()] = current[3];
            return current[2];
        case 0xF0:
            stall();
            return take(busy_polls) ? 0x01 : 0x00;
        case 0xAC:
            if (current[1] == 0x80) {
                erases++;
                std::fill(flash.begin(), flash.end(), 0xFF);
                std::fill(eeprom.begin(), eeprom.end(), 0xFF);
            }
            return current[2];
        default:
            return 0x00;
        }
    }
};

class avr_test : public ::testing::Test {
protected:
    fake_chip_t fake;
    fake_chip_t *chip = &fake;
    avr_target_t target{target_settings_t(), &fake};
    std::unique_ptr<message_capture> messages;

    void SetUp() override
    {
        messages.reset();  // the last capture puts the stream back first
        messages.reset(new message_capture(MSG_TRACE));
    }

    void TearDown() override { messages.reset(); }

    // A fresh chip, target and capture, for the next case of a table.
    void start_over()
    {
        TearDown();
        fake = fake_chip_t();
        chip = &fake;
        target = avr_target_t(target_settings_t(), &fake);
        SetUp();
    }

    // Names the chip on the command line, makes the fake answer with its
    // signature and shapes its flash like the record's.
    int32_t use_chip(const char *name)
    {
        int32_t index = find_device(name);
        EXPECT_GE(index, 0) << name;
        if (index < 0)
            return index;
        target.settings.chip_name = name;
        uint32_t signature = avr_devices[index].signature;
        chip->signature[0] = static_cast<uint8_t>(signature >> 16);
        chip->signature[1] = static_cast<uint8_t>(signature >> 8);
        chip->signature[2] = static_cast<uint8_t>(signature);
        chip->paged = avr_devices[index].memory[CODE_MEMORY].page_size > 0;
        return index;
    }

    // A chip named and detected, timing set, recordings cleared.
    int32_t ready_chip(const char *name, float factor = 1.0f)
    {
        int32_t index = use_chip(name);
        target.set_device(index);
        target.settings.delay_factor = factor;
        setup_timing(target);
        clear_records();
        return index;
    }

    void clear_records()
    {
        chip->events.clear();
        chip->delays.clear();
        chip->byte_calls.clear();
        chip->commands.clear();
        chip->write_blocks.clear();
        chip->transfer_blocks.clear();
    }

    std::string output() { return messages->text(); }
};

inline command_t cmd(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return command_t{a, b, c, d};
}
