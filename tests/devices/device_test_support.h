// Shared helpers of the device and fuse tests: output capture, a scripted
// fake chip behind the adapter interface, and a fresh module state.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapters/spi.h"
#include "support/capture.h"
#include "support/quiet_adapter.h"
#include "avr/devices.h"
#include "avr/fuses.h"
#include "avr/link.h"
#include "avr/memory_commands.h"
#include "avr/target.h"
#include "base/messages.h"

typedef std::array<uint8_t, 4> command_t;

// Answers four-byte AVR commands like a chip in programming mode: the
// second reply byte echoes the first command byte, the third the second, and
// reads return the stored fuse, lock and calibration bytes. Every command and
// every delay is recorded.
class fake_chip_t : public quiet_adapter {
public:
    uint8_t fuse[4] = {0xFF, 0xFF, 0xFF, 0xFF};   // by slot
    uint8_t lock_read = 0xFF;                      // what Read Lock returns
    uint8_t osccal[4] = {0, 0, 0, 0};
    bool break_echo = false;                       // reply out of step
    // Optional override of the fourth reply byte.
    std::function<bool(const command_t &, uint8_t &)> answer;

    std::vector<command_t> commands;
    std::vector<float> delays;

    bool is_block_mode() override { return true; }
    uint8_t transfer_byte(uint8_t) override
    {
        ADD_FAILURE() << "single byte transfer instead of a four-byte command";
        return 0xFF;
    }
    void transfer_block(const uint8_t *out, uint8_t *in, uint32_t count) override
    {
        EXPECT_EQ(count, 4u);
        command_t c = {out[0], out[1], out[2], out[3]};
        commands.push_back(c);
        uint8_t data = reply_data(c);
        in[0] = 0x00;
        in[1] = break_echo ? static_cast<uint8_t>(c[0] ^ 0x01) : c[0];
        in[2] = c[1];
        in[3] = data;
    }
    void delay_ms(float ms) override { delays.push_back(ms); }

private:
    uint8_t reply_data(const command_t &c)
    {
        uint8_t data = c[3];
        if (answer && answer(c, data))
            return data;
        if (c[0] == 0x50 && c[1] == 0x00)
            return fuse[FUSE_LOW];
        if (c[0] == 0x58 && c[1] == 0x08)
            return fuse[FUSE_HIGH];
        if (c[0] == 0x50 && c[1] == 0x08)
            return fuse[FUSE_EXT];
        if (c[0] == 0x58 && c[1] == 0x00)
            return lock_read;
        if (c[0] == 0x38)
            return osccal[c[2] & 3];
        return c[3];
    }
};

// A fresh target, its messages captured.
class device_test : public ::testing::Test {
protected:
    message_capture messages{MSG_INFO};
    fake_chip_t fake;
    fake_chip_t *chip = nullptr;
    avr_target_t target;

    // Everything printed since the last call.
    std::string output() { return messages.take(); }

    // Names the chip as +name does.
    void select_chip(const char *name)
    {
        target.settings.chip_name = name;
        ASSERT_GE(find_device(name), 0) << name;
    }

    // A fresh fake behind the target.
    fake_chip_t &install_chip()
    {
        fake = fake_chip_t();
        chip = &fake;
        target.adapter = chip;
        return *chip;
    }
};
