// The cable factory: -a letters, built-in maps, cable detection and messages.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "adapters/lpt_adapter.h"
#include "adapters/lpt_cables.h"
#include "adapters/lpt_detect.h"
#include "adapters/spi_lpt.h"
#include "expected_map.h"
#include "fake_lpt.h"

namespace {

// Status answers of the cables, by the last value written to the data lines.
using cable_script = std::map<uint8_t, uint8_t>;
const cable_script no_cable = {};
const cable_script byteblaster = {{0xFF, 0x60}, {0xEF, 0x40}, {0x5F, 0x00}};
const cable_script byteblaster_mv = {{0xFF, 0x60}, {0xEF, 0x48}, {0x5F, 0x08}};
const cable_script byteblaster_ii = {{0xFF, 0x40}, {0xEF, 0x00}};
const cable_script stk200 = {{0x0D, 0x20}, {0x0E, 0x00}};
const cable_script stk300 = {{0x0D, 0x80}, {0x0E, 0x00}};
const cable_script stk_either = {{0x0D, 0xA0}, {0x0E, 0x00}};
// BUSY follows D0 and PE follows D1, like a loop-back plug: fits neither cable
const cable_script loop_back = {{0xFF, 0xA0}, {0xEF, 0xA0}, {0x5F, 0xA0}, {0x0D, 0x80}, {0x0E, 0xA0}};

// The port's status register as the script answers it (0 for a value it leaves out).
std::function<uint8_t(const fake_lpt &)> answers(const cable_script &script)
{
    return [script](const fake_lpt &p) -> uint8_t {
        auto it = script.find(p.data);
        return it == script.end() ? 0x00 : it->second;
    };
}

// The map with the fragment's signals set (added, or in place of the map's own)
// and its name, when it has one.
expected_map_t with(expected_map_t map, const expected_map_t &fragment)
{
    if (*fragment.name)
        map.name = fragment.name;
    for (const auto &signal : fragment.signals)
        map.signals[signal.first] = signal.second;
    return map;
}

// The map with RESET driven low while active, as the factory sets it up without -ar.
expected_map_t reset_driven_low(expected_map_t map)
{
    masks_t &reset = map.signals.at(SIG_RESET);
    std::swap(reset.high, reset.low);
    return map;
}

// The built-in cables' maps as their texts give them, RESET listed active high.
const expected_map_t fbprg_map = {
    "FBPRG",
    {{SIG_MOSI, {0x20, 0}}, {SIG_MISO, {0x4000, 0}}, {SIG_SCK, {0x40, 0}}, {SIG_RESET, {0x10, 0}},
     {SIG_XTAL, {0x08, 0}}}};
// -az and -ap add these to it
const expected_map_t fbprg_tristate_map = {"", {{SIG_ENABLE, {0, 0x200000}}}};
const expected_map_t fbprg_power_map = {"", {{SIG_POWER, {0x87, 0}}}};
const expected_map_t byteblaster_map = {
    "ByteBlaster",
    {{SIG_MOSI, {0x40, 0}}, {SIG_MISO, {0, 0x8000}}, {SIG_SCK, {0x01, 0}}, {SIG_RESET, {0x02, 0}},
     {SIG_XTAL, {0x08, 0}}, {SIG_ENABLE, {0x20000, 0}}}};
// the II: XTAL on D2, enabled by D4, D5, D7 and the four control lines high
const expected_map_t byteblaster_ii_map =
    with(byteblaster_map, {"ByteBlasterII", {{SIG_XTAL, {0x04, 0}}, {SIG_ENABLE, {0x400B0, 0xB0000}}}});
const expected_map_t stk_map = {
    "STK",
    {{SIG_MOSI, {0x20, 0}}, {SIG_MISO, {0x4000, 0}}, {SIG_SCK, {0x10, 0}}, {SIG_RESET, {0x80, 0}},
     {SIG_ENABLE, {0, 0x4C}}}};
// the clock generated on D6, the LED line, which then leaves the enable signal
const expected_map_t stk_xtal_map = with(stk_map, {"", {{SIG_XTAL, {0x40, 0}}, {SIG_ENABLE, {0, 0x0C}}}});
const expected_map_t xilinx_map = {
    "XILINX",
    {{SIG_MOSI, {0x01, 0}}, {SIG_MISO, {0x1000, 0}}, {SIG_SCK, {0x02, 0}}, {SIG_RESET, {0x04, 0}},
     {SIG_SET, {0x10, 0}}, {SIG_ENABLE, {0, 0x08}}}};

class lpt_factory : public adapter_test {
protected:
    struct outcome {
        int status = 0;
        std::string messages;
        std::unique_ptr<spi_lpt_t> adapter;
        std::optional<float> inactive_reset_ms;
    };

    outcome create(const char *letters, const cable_script &script = no_cable, const char *port_spec = nullptr)
    {
        outcome result;
        port = attach_fake();
        port->control = LPT_CTRL_ALF | LPT_CTRL_INIT;
        port->status = answers(script);
        message_capture messages;
        result.status = status_of([&] {
            built_adapter_t built = create_lpt(letters, port_spec);
            result.adapter.reset(dynamic_cast<spi_lpt_t *>(built.spi.release()));
            result.inactive_reset_ms = built.inactive_reset_ms;
            EXPECT_TRUE(result.adapter);
        }, EXIT_OK);
        result.messages = messages.text();
        return result;
    }

    bool port_opened() const { return chosen.lpt_number >= 0; }

    fake_lpt *port = nullptr;
};

// The built-in cables' pin-map texts as the parser reads them, RESET still
// listed active high.
TEST(lpt_cables, texts_give_the_cables_masks)
{
    const std::pair<lpt_cable_t, const expected_map_t *> cases[] = {
        {lpt_cable_t::fbprg, &fbprg_map},
        {lpt_cable_t::fbprg_tristate, &fbprg_tristate_map},
        {lpt_cable_t::fbprg_power, &fbprg_power_map},
        {lpt_cable_t::byteblaster, &byteblaster_map},
        {lpt_cable_t::byteblaster_ii, &byteblaster_ii_map},
        {lpt_cable_t::stk, &stk_map},
        {lpt_cable_t::stk_xtal, &stk_xtal_map},
        {lpt_cable_t::xilinx, &xilinx_map},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(lpt_cable_pins(c.first));
        pin_map_t map;
        clear_pin_map(map);
        add_lpt_cable(map, c.first);
        expect_map(map, *c.second);
    }
}

TEST_F(lpt_factory, default_cable_on_lpt2)
{
    for (const char *letters : {(const char *)nullptr, ""}) {
        outcome result = create(letters);
        ASSERT_EQ(0, result.status) << result.messages;
        EXPECT_EQ(2, chosen.lpt_number);
        EXPECT_EQ(0x278u, chosen.base);
        // RESET listed active high, driven low while active
        expect_map(result.adapter->pin_map(), reset_driven_low(fbprg_map));
        EXPECT_EQ("\t% LPT port number 2\n"
                  "\t% LPT base address 0x278\n"
                  "\t% LPT write cycle 1.00us\n"
                  "\t% FBPRG adapter mode\n"
                  "\t% MCU osc frequency = 800kHz\n"
                  "\t% setup 2.50us, hold 2.50us\n"
                  "\t% actual spi IO frequency 143kHz\n",
                  result.messages);
    }
}

TEST_F(lpt_factory, builtin_cable_maps)
{
    struct case_t {
        const char *letters;
        const cable_script *script;
        int osc_khz;
        expected_map_t map;
    };
    const case_t cases[] = {
        {"x", &no_cable, 800, reset_driven_low(xilinx_map)},
        {"RX", &no_cable, 800, xilinx_map},
        {"b", &byteblaster, 800, reset_driven_low(byteblaster_map)},
        {"B", &byteblaster_mv, 800, reset_driven_low(byteblaster_map)},
        {"b", &byteblaster_ii, 800, reset_driven_low(byteblaster_ii_map)},
        {"s", &stk200, 800, reset_driven_low(stk_map)},
        {"s", &stk300, 0, reset_driven_low(stk_xtal_map)},
        {"a", &stk_either, 800, reset_driven_low(stk_map)},
        {"a", &byteblaster_ii, 0, reset_driven_low(byteblaster_ii_map)},
        {"xbs", &stk300, 800, reset_driven_low(stk_map)},
        {"p", &no_cable, 800, with(reset_driven_low(fbprg_map), fbprg_power_map)},
        {"zr", &no_cable, 800, with(fbprg_map, fbprg_tristate_map)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.letters) + " osc " + std::to_string(c.osc_khz));
        settings.osc_khz = c.osc_khz;
        outcome result = create(c.letters, *c.script);
        ASSERT_EQ(0, result.status) << result.messages;
        expect_map(result.adapter->pin_map(), c.map);
        EXPECT_TRUE(contains(result.messages, std::string("\t% ") + c.map.name + " adapter mode\n"))
            << result.messages;
        EXPECT_EQ(c.osc_khz == 0, result.adapter->xtal_generated());
    }
}

TEST_F(lpt_factory, byteblaster_detection)
{
    struct case_t {
        const cable_script *script;
        byteblaster_t expected;
        const char *line;
    } cases[] = {
        {&no_cable, byteblaster_t::none, "\t% ByteBlaster not found\n"},
        {&byteblaster, byteblaster_t::plain, "\t% ByteBlaster found\n"},
        {&byteblaster_mv, byteblaster_t::mv, "\t% ByteBlasterMV found\n"},
        {&byteblaster_ii, byteblaster_t::ii, "\t% ByteBlaster-II found\n"},
        {&stk200, byteblaster_t::none, "\t% ByteBlaster not found\n"},
        {&loop_back, byteblaster_t::none, "\t% ByteBlaster not found\n"},
    };
    for (const auto &c : cases) {
        fake_lpt port;
        port.control = 0x0E;
        port.status = answers(*c.script);
        message_capture messages;
        EXPECT_EQ(c.expected, detect_byteblaster(port));
        EXPECT_EQ(c.line, messages.text());
        EXPECT_EQ(0x0C, port.record->control_writes().at(0)) << "ALF released first";
        if (c.expected == byteblaster_t::ii) {
            EXPECT_EQ(0x0B, port.control);
            EXPECT_EQ(0x00, port.data);
        }
    }
}

TEST_F(lpt_factory, stk_detection)
{
    struct case_t {
        const cable_script *script;
        uint8_t expected;
        const char *line;
    } cases[] = {
        {&no_cable, 0, "\t% Atmel adapter for STK not found\n"},
        {&stk200, STK200_FOUND, "\t% Atmel adapter for STK200 found\n"},
        {&stk300, STK300_FOUND, "\t% Atmel adapter for STK300 found\n"},
        {&stk_either, STK200_FOUND | STK300_FOUND, "\t% Atmel adapter for STK*00 found\n"},
        {&byteblaster, 0, "\t% Atmel adapter for STK not found\n"},
        {&loop_back, 0, "\t% Atmel adapter for STK not found\n"},
    };
    for (const auto &c : cases) {
        fake_lpt port;
        port.control = 0x06;
        port.status = answers(*c.script);
        message_capture messages;
        EXPECT_EQ(c.expected, detect_stk(port));
        EXPECT_EQ(c.line, messages.text());
        EXPECT_EQ(0x04, port.control);
    }
}

TEST_F(lpt_factory, missing_buffered_cable)
{
    outcome result = create("b", no_cable);
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_TRUE(ends_with(result.messages, "\t% ByteBlaster not found\nAltera ByteBlaster not found\n"))
        << result.messages;

    result = create("s", byteblaster);
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_TRUE(ends_with(result.messages, "\t% Atmel adapter for STK not found\nAtmel STK* adapter not found\n"))
        << result.messages;

    result = create("a", loop_back);
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_TRUE(ends_with(result.messages,
                          "\t% Atmel adapter for STK not found\n\t% ByteBlaster not found\n"
                          "Known buffered adapter not found\n"))
        << result.messages;
}

TEST_F(lpt_factory, forced_cable)
{
    settings.force = true;
    outcome result = create("b", no_cable);
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_TRUE(contains(result.messages, "Altera ByteBlaster not found, but forced by '-!'\n"));
    EXPECT_STREQ("ByteBlaster", result.adapter->pin_map().name);

    result = create("s", no_cable);
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_TRUE(contains(result.messages, "Atmel STK* adapter not found, but forced by '-!'\n"));
    EXPECT_STREQ("STK", result.adapter->pin_map().name);

    result = create("a", no_cable);
    EXPECT_EQ(EXIT_USAGE, result.status) << "-! does not choose a cable";
    EXPECT_TRUE(ends_with(result.messages, "Known buffered adapter not found\n"));
}

TEST_F(lpt_factory, letter_errors)
{
    const std::string hint = "\n\nFor short help type\n\tmorvin -h\n";
    struct case_t {
        const char *letters;
        std::string message;
    } cases[] = {
        {"q", "Invalid value 'q' for switch A" + hint},
        {"bq1", "Invalid value 'q1' for switch A" + hint},
        {"i0", "Invalid value '0' for switch A" + hint},
        {"I10001", "Invalid value '10001' for switch A" + hint},
        {"i-5", "Invalid value '-5' for switch A" + hint},
        {"i99999999999999999999999", "Invalid value '99999999999999999999999' for switch A" + hint},
        {"i", "Value required for switch '-ai'\n"},
        {"ix", "Value required for switch '-ai'\n"},
        {"bz", "VuriVeraver can be used only with \"wires-only\" adapter\n"},
        {"za", "VuriVeraver can be used only with \"wires-only\" adapter\n"},
        {"bp", "Can't supply power via buffered adapter\n"},
        {"xzp", "Can't supply power via buffered adapter\n"},
        {"m", "mosi must be defined\n"},
        {"mq", "mosi must be defined\n"},
        {"m=", "Invalid adapter switch 'm='\n"},
        {"m:mosi=STROBE:miso=ACK:sck=D6:reset=D4", "mosi must be in D0..D7 lines\n"},
        {"m:mosi=D5:miso=ACK:sck=D6", "reset must be defined\n"},
        {"m:mosi=D5:sck=D6:reset=D4", "miso must be defined\n"},
        {"m:mosi=D5:miso=ACK:sck=D6:reset=D4:xtal=INIT", "xtal must be in D0..D7 lines\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.letters);
        chosen = {-1, 0, false, {}};
        outcome result = create(c.letters, byteblaster);
        EXPECT_EQ(EXIT_USAGE, result.status);
        EXPECT_EQ(c.message, result.messages);
        EXPECT_FALSE(port_opened()) << "refused before the port is opened or probed";
    }
}

TEST_F(lpt_factory, inactive_reset_time_in_milliseconds)
{
    for (auto c : {std::make_pair("i5", 5.0f), std::make_pair("I250xyz", 250.0f),
                   std::make_pair("ri10000", 10000.0f), std::make_pair("i 1", 1.0f)}) {
        SCOPED_TRACE(c.first);
        outcome result = create(c.first);
        ASSERT_EQ(0, result.status) << result.messages;
        ASSERT_TRUE(result.inactive_reset_ms);
        EXPECT_FLOAT_EQ(c.second, *result.inactive_reset_ms);
    }
    // without I the run keeps its own time
    EXPECT_FALSE(create("rb", byteblaster).inactive_reset_ms);
    // reading stops at I: a later kind letter is not seen
    outcome result = create("i7b");
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_STREQ("FBPRG", result.adapter->pin_map().name);
    EXPECT_EQ(cable_kind_t::byteblaster, parse_lpt_letters("bi7x").kind);
}

TEST_F(lpt_factory, user_pin_map)
{
    outcome result = create("m:name=My cable:mosi=D5:miso=~BUSY:sck=D6:reset=D4:power=~D7");
    ASSERT_EQ(0, result.status) << result.messages;
    expect_map(result.adapter->pin_map(),
               {"My cable",
                {{SIG_MOSI, {0x20, 0}}, {SIG_MISO, {0x8000, 0}}, {SIG_SCK, {0x40, 0}}, {SIG_RESET, {0, 0x10}},
                 {SIG_POWER, {0, 0x80}}}});
    EXPECT_EQ(0u, result.messages.find("Adapter 'My cable'\n")) << "before the port lines";
    EXPECT_TRUE(contains(result.messages, "\t% My cable adapter mode\n"));
    EXPECT_TRUE(result.adapter->has_power());

    result = create("RM:mosi=D5:miso=ACK:sck=D6:reset=D4");
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_EQ(0x10u, result.adapter->pin_map().signals[SIG_RESET].high_mask);
    EXPECT_EQ(0u, result.messages.find("Adapter ''\n"));

    settings.osc_khz = 0;
    result = create("m:name=My cable:mosi=D5:miso=ACK:sck=D6:reset=D4");
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_TRUE(ends_with(result.messages, "Can't generate XTAL, My cable has no XTAL output\n"));
}

TEST_F(lpt_factory, clock_generation_needs_an_xtal_line)
{
    settings.osc_khz = 0;
    outcome result = create("x");
    EXPECT_EQ(EXIT_USAGE, result.status);
    EXPECT_TRUE(ends_with(result.messages, "\t% XILINX adapter mode\nCan't generate XTAL, XILINX has no XTAL output\n"))
        << result.messages;
}

TEST_F(lpt_factory, tristate_needs_the_direction_bit)
{
    chosen = {-1, 0, false, {}};
    port = attach_fake();
    port->bidirectional = false;
    message_capture messages;
    EXPECT_EQ(EXIT_USAGE, exit_status_of([this] { create_lpt("z"); }));
    EXPECT_TRUE(ends_with(messages.text(), "Can't control LPT data direction bit (required for -AZ)\n"));
    EXPECT_TRUE(record->destroyed) << "the port is closed again";
}

TEST_F(lpt_factory, port_switch_reaches_port_selection)
{
    outcome result = create("x", no_cable, "3bc,1.5");
    ASSERT_EQ(0, result.status) << result.messages;
    EXPECT_EQ(0x3BCu, chosen.base);
    EXPECT_EQ(0u, result.messages.find("warning: forced LPT cycle time will be ignored\n"));
}

}  // namespace
