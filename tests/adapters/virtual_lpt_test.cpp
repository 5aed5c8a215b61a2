// The real adapter over the virtual parallel port with a modelled chip behind each cable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "adapters/lpt_adapter.h"
#include "adapters/spi_lpt.h"
#include "fake_lpt.h"
#include "support/programming_mode.h"
#include "support/virtual_port.h"
#include "vtarget/avr_chip.h"
#include "vtarget/virtual_lpt.h"

namespace {

class virtual_cable : public adapter_test {
protected:
    // Puts a chip behind a cable of the given kind; create_lpt_adapter will open it.
    void attach(vt::lpt_config config, uint32_t chip_clock_khz = 8000)
    {
        vt::chip_config chip_config;
        chip_config.chip = "mega8";
        chip_config.clock_khz = chip_clock_khz;
        chip = vt::make_chip(chip_config);
        settings.lpt.opener = [this, config](const lpt_port_choice_t &) {
            auto *port = new virtual_port(vt::make_virtual_lpt(config, chip));
            opened = port;
            return std::unique_ptr<lpt_t>(port);
        };
    }

    struct outcome {
        int status = 0;
        std::string messages;
        std::unique_ptr<spi_t> adapter;
    };
    outcome create(const char *letters)
    {
        outcome result;
        message_capture messages;
        result.status = status_of([&] { result.adapter = create_lpt(letters).spi; }, EXIT_OK);
        result.messages = messages.text();
        return result;
    }

    // Connect as the link does; true when the chip answered Programming Enable
    // in step and its first signature byte is Atmel's.
    bool program_enable(spi_t &spi, uint8_t *signature = nullptr)
    {
        if (!enter_programming_mode(spi, 25))
            return false;
        for (uint8_t i = 0; i < 3; i++) {
            uint8_t read[4] = {0x30, 0x00, i, 0x00};
            spi.transfer_byte(read[0]);
            read[1] = spi.transfer_byte(read[1]);
            spi.write_byte(read[2]);
            read[3] = spi.read_byte();
            EXPECT_EQ(0x30, read[1]) << "command echo";
            if (signature)
                signature[i] = read[3];
        }
        return true;
    }

    void connect(spi_t &spi)
    {
        if (spi.has_power())
            spi.power_on();
        if (spi.has_enable())
            spi.enable_adapter();
    }

    std::shared_ptr<vt::avr_chip> chip;
    virtual_port *opened = nullptr;
};

vt::lpt_config cable(vt::cable_kind kind)
{
    vt::lpt_config config;
    config.cable = kind;
    return config;
}

TEST_F(virtual_cable, bytes_round_trip_through_every_cable)
{
    struct case_t {
        vt::cable_kind kind;
        const char *letters;
        const char *map_name;
    } cases[] = {
        {vt::cable_kind::fbprg, nullptr, "FBPRG"},
        {vt::cable_kind::byteblaster, "b", "ByteBlaster"},
        {vt::cable_kind::byteblaster_mv, "b", "ByteBlaster"},
        {vt::cable_kind::byteblaster_ii, "b", "ByteBlasterII"},
        {vt::cable_kind::stk200, "s", "STK"},
        {vt::cable_kind::stk300, "s", "STK"},
        {vt::cable_kind::xilinx, "x", "XILINX"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.map_name + std::string(" cable kind ") + std::to_string(static_cast<int>(c.kind)));
        attach(cable(c.kind));
        outcome result = create(c.letters);
        ASSERT_EQ(0, result.status) << result.messages;
        auto &adapter = dynamic_cast<spi_lpt_t &>(*result.adapter);
        EXPECT_STREQ(c.map_name, adapter.pin_map().name);
        connect(adapter);
        uint8_t signature[3] = {};
        ASSERT_TRUE(program_enable(adapter, signature));
        EXPECT_EQ((std::vector<uint8_t>{0x1E, 0x93, 0x07}), std::vector<uint8_t>(signature, signature + 3));
        EXPECT_GT(chip->counters().commands, 3u);
    }
}

TEST_F(virtual_cable, user_map_and_generated_clock)
{
    vt::lpt_config config = cable(vt::cable_kind::custom);
    config.wiring = "mosi=D2,sck=D3,reset=D7,xtal=D0,miso=PE";
    attach(config, 0);
    settings.osc_khz = 0;
    outcome result = create("m:name=Mine:mosi=D2:sck=D3:reset=D7:xtal=D0:miso=PE");
    ASSERT_EQ(0, result.status) << result.messages;
    uint8_t signature[3] = {};
    ASSERT_TRUE(program_enable(*result.adapter, signature));
    EXPECT_EQ(0x1E, signature[0]);
}

TEST_F(virtual_cable, buffered_cable_detection)
{
    // -aa on the cables it finds: the map of the cable found, with -! or not
    const struct {
        vt::cable_kind attached;
        const char *map_name;
    } found[] = {
        {vt::cable_kind::byteblaster, "ByteBlaster"},
        {vt::cable_kind::byteblaster_mv, "ByteBlaster"},
        {vt::cable_kind::byteblaster_ii, "ByteBlasterII"},
        {vt::cable_kind::stk200, "STK"},
        {vt::cable_kind::stk300, "STK"},
    };
    // letters on cables they do not find: refused, or with -! a warning (-aa has no cable to choose)
    const struct {
        const char *letters;
        const char *refusal;
        std::vector<vt::cable_kind> attached;
    } missing[] = {
        {"b", "Altera ByteBlaster not found\n", {vt::cable_kind::none, vt::cable_kind::fbprg, vt::cable_kind::stk200}},
        {"s", "Atmel STK* adapter not found\n",
         {vt::cable_kind::none, vt::cable_kind::byteblaster, vt::cable_kind::xilinx}},
        {"a", "Known buffered adapter not found\n", {vt::cable_kind::none, vt::cable_kind::fbprg}},
    };
    for (bool forced : {false, true}) {
        settings.force = forced;
        const std::string with_force = forced ? " with -!" : "";
        for (const auto &c : found) {
            SCOPED_TRACE("a on cable kind " + std::to_string(static_cast<int>(c.attached)) + with_force);
            attach(cable(c.attached));
            outcome result = create("a");
            ASSERT_EQ(0, result.status) << result.messages;
            EXPECT_STREQ(c.map_name, dynamic_cast<spi_lpt_t &>(*result.adapter).pin_map().name);
        }
        for (const auto &m : missing) {
            for (vt::cable_kind kind : m.attached) {
                SCOPED_TRACE(std::string(m.letters) + " on cable kind " + std::to_string(static_cast<int>(kind)) +
                             with_force);
                attach(cable(kind));
                outcome result = create(m.letters);
                if (!forced || std::string(m.letters) == "a") {
                    EXPECT_EQ(EXIT_USAGE, result.status);
                    EXPECT_TRUE(ends_with(result.messages, m.refusal)) << result.messages;
                } else {
                    ASSERT_EQ(0, result.status) << result.messages;
                    EXPECT_NE(nullptr, dynamic_cast<spi_lpt_t *>(result.adapter.get()));
                    EXPECT_TRUE(contains(result.messages, std::string(m.refusal, strlen(m.refusal) - 1) +
                                                              ", but forced by '-!'\n"))
                        << result.messages;
                }
            }
        }
    }
}

TEST_F(virtual_cable, tristate_needs_a_port_with_direction_bit)
{
    vt::lpt_config config = cable(vt::cable_kind::fbprg);
    config.bidirectional = false;
    attach(config);
    outcome result = create("z");
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_TRUE(ends_with(result.messages, "Can't control LPT data direction bit (required for -AZ)\n"));

    config.bidirectional = true;
    attach(config);
    result = create("z");
    ASSERT_EQ(0, result.status) << result.messages;
    ASSERT_TRUE(result.adapter->has_enable());
    EXPECT_TRUE(opened->read_reg(LPT_CONTROL) & LPT_CTRL_BIDIR) << "outputs released until enabled";
    result.adapter->enable_adapter();
    EXPECT_FALSE(opened->read_reg(LPT_CONTROL) & LPT_CTRL_BIDIR);
    ASSERT_TRUE(program_enable(*result.adapter));
    result.adapter->disable_adapter();
    EXPECT_TRUE(opened->read_reg(LPT_CONTROL) & LPT_CTRL_BIDIR);
}

TEST_F(virtual_cable, target_powered_from_the_port)
{
    vt::lpt_config config = cable(vt::cable_kind::fbprg);
    config.power_from_port = true;
    attach(config);
    outcome result = create("p");
    ASSERT_EQ(0, result.status) << result.messages;
    spi_t &spi = *result.adapter;
    ASSERT_TRUE(spi.has_power());
    EXPECT_FALSE(opened->port->target_pins().powered);
    EXPECT_FALSE(program_enable(spi)) << "no answer without supply";
    spi.power_on();
    EXPECT_TRUE(opened->port->target_pins().powered);
    EXPECT_TRUE(program_enable(spi));
    spi.power_off();
    EXPECT_FALSE(opened->port->target_pins().powered);
}

}  // namespace
