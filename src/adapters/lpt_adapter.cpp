// The parallel-port adapter factory: -a letters, cable choice, SCK timing.
#include "adapters/lpt_adapter.h"

#include <cctype>
#include <utility>

#include "adapters/lpt.h"
#include "adapters/lpt_cables.h"
#include "adapters/lpt_detect.h"
#include "adapters/pin_map.h"
#include "adapters/spi_lpt.h"
#include "base/messages.h"
#include "base/text.h"
#include "base/timer.h"
#include "base/usage.h"

namespace {

[[noreturn]] void invalid_letters(const char *from)
{
    fail_invalid_value(from, 'A');
}

// -a letters that choose a built-in cable, and those that set an option of it.
const struct {
    char letter;
    cable_kind_t kind;
} kind_letters[] = {
    {'B', cable_kind_t::byteblaster},
    {'S', cable_kind_t::stk},
    {'X', cable_kind_t::xilinx},
    {'A', cable_kind_t::automatic},
};
const struct {
    char letter;
    bool lpt_cable_options_t::*option;
} option_letters[] = {
    {'Z', &lpt_cable_options_t::tristate},
    {'R', &lpt_cable_options_t::reverse_reset},
    {'P', &lpt_cable_options_t::power},
};

// False when the letter is none of these.
bool apply_letter(lpt_cable_options_t &options, char letter)
{
    for (const auto &k : kind_letters)
        if (k.letter == letter) {
            options.kind = k.kind;
            return true;
        }
    for (const auto &o : option_letters)
        if (o.letter == letter) {
            options.*o.option = true;
            return true;
        }
    return false;
}

// P and Z fit the wires-only cable alone; refused before the port is opened.
void check_default_cable_letters(const lpt_cable_options_t &options)
{
    if (options.power && options.kind != cable_kind_t::fbprg)
        fail(EXIT_USAGE, "Can't supply power via buffered adapter\n");
    if (options.tristate && options.kind != cable_kind_t::fbprg)
        fail(EXIT_USAGE, "VuriVeraver can be used only with \"wires-only\" adapter\n");
}

// -am: the user's cable, its shifting lines on the data register.
pin_map_t read_user_map(const char *adapter_spec)
{
    pin_map_t map;
    clear_pin_map(map);
    parse_pin_map(map, adapter_spec, lpt_pin_table);
    static const int required[] = {SIG_MOSI, SIG_SCK, SIG_RESET, SIG_MISO};
    require_signals(map, required, 4);
    static const int on_data_lines[] = {SIG_MOSI, SIG_SCK, SIG_RESET, SIG_XTAL};
    require_pins_within(map, on_data_lines, 4, 0xFF, "D0..D7 lines");
    msg_print(msg_out, MSG_INFO, "Adapter '%s'\n", map.name);
    return map;
}

pin_map_t cable_map(lpt_cable_t cable)
{
    pin_map_t map;
    clear_pin_map(map);
    add_lpt_cable(map, cable);
    return map;
}

pin_map_t default_cable_map(const lpt_cable_options_t &options, const lpt_t &port)
{
    pin_map_t map = cable_map(lpt_cable_t::fbprg);
    if (options.tristate) {
        if (!port.bidirectional)
            fail(EXIT_USAGE, "Can't control LPT data direction bit (required for -AZ)\n");
        add_lpt_cable(map, lpt_cable_t::fbprg_tristate);
    }
    if (options.power)
        add_lpt_cable(map, lpt_cable_t::fbprg_power);
    return map;
}

pin_map_t byteblaster_map(byteblaster_t found)
{
    return cable_map(found == byteblaster_t::ii ? lpt_cable_t::byteblaster_ii : lpt_cable_t::byteblaster);
}

void require_detected(const char *cable, bool force)
{
    if (force) {
        msg_print(msg_out, MSG_WARNING, "%s not found, but forced by '-!'\n", cable);
        return;
    }
    fail(EXIT_USAGE, "%s not found\n", cable);
}

// The user's map, or the built-in cable the letters name (a buffered one
// detected on the port first).
pin_map_t choose_cable(const lpt_cable_options_t &options, const pin_map_t &user_map, lpt_t &port,
                       const adapter_settings_t &settings)
{
    lpt_cable_t stk = settings.osc_khz == 0 ? lpt_cable_t::stk_xtal : lpt_cable_t::stk;
    switch (options.kind) {
    case cable_kind_t::fbprg:
        return default_cable_map(options, port);
    case cable_kind_t::byteblaster: {
        byteblaster_t found = detect_byteblaster(port);
        if (found == byteblaster_t::none)
            require_detected("Altera ByteBlaster", settings.force);
        return byteblaster_map(found);
    }
    case cable_kind_t::stk:
        if (!detect_stk(port))
            require_detected("Atmel STK* adapter", settings.force);
        return cable_map(stk);
    case cable_kind_t::automatic: {
        if (detect_stk(port))
            return cable_map(stk);
        byteblaster_t found = detect_byteblaster(port);
        if (found == byteblaster_t::none)
            fail(EXIT_USAGE, "Known buffered adapter not found\n");
        return byteblaster_map(found);
    }
    case cable_kind_t::xilinx:
        return cable_map(lpt_cable_t::xilinx);
    case cable_kind_t::pinmap:
        break;
    }
    return user_map;
}

// The maps list RESET active high; unless reversed it is driven low while active.
void apply_reset_polarity(pin_map_t &map, bool reverse_reset)
{
    if (!reverse_reset) {
        signal_pins_t &reset = map.signals[SIG_RESET];
        std::swap(reset.high_mask, reset.low_mask);
    }
}

// SCK phases in XTAL periods when the port generates the target's clock,
// else in microseconds of the target's own clock.
std::unique_ptr<spi_t> build_adapter(std::unique_ptr<lpt_t> port, const pin_map_t &map,
                                     const adapter_settings_t &settings)
{
    int32_t low = settings.sck_low_periods, high = settings.sck_high_periods;
    if (settings.osc_khz == 0) {
        std::unique_ptr<spi_t> adapter(
            new spi_lpt_t(std::move(port), map, spi_lpt_t::xtal_periods_t{low, high}));
        msg_print(msg_out, MSG_DEBUG, "\t%% with SCK low %d periods, high %d periods\n", low, high);
        return adapter;
    }
    float osc = static_cast<float>(settings.osc_khz);
    float setup = static_cast<float>(low) * 1000.0f / osc;
    float hold = static_cast<float>(high) * 1000.0f / osc;
    std::unique_ptr<spi_t> adapter(new spi_lpt_t(std::move(port), map, spi_lpt_t::timing_t{setup, hold}));
    char setup_text[64], hold_text[64];
    msg_print(msg_out, MSG_DEBUG, "\t%% MCU osc frequency = %dkHz\n", settings.osc_khz);
    msg_print(msg_out, MSG_DEBUG, "\t%% setup %s, hold %s\n", format_time(setup, 2, setup_text),
              format_time(hold, 2, hold_text));
    msg_print(msg_out, MSG_DEBUG, "\t%% actual spi IO frequency %s\n",
              format_frequency(adapter->spi_frequency(), 1));
    return adapter;
}

}  // namespace

lpt_cable_options_t parse_lpt_letters(const char *adapter_spec)
{
    lpt_cable_options_t options;
    if (!adapter_spec)
        return options;
    for (const char *c = adapter_spec; *c; c++) {
        char letter = static_cast<char>(toupper(static_cast<unsigned char>(*c)));
        if (apply_letter(options, letter))
            continue;
        if (letter == 'M') {
            // the pin map follows
            options.kind = cable_kind_t::pinmap;
            return options;
        }
        if (letter != 'I')
            invalid_letters(c);
        unsigned long long ms;
        if (!read_decimal(c + 1, ms))
            fail(EXIT_USAGE, "Value required for switch '%s'\n", "-ai");
        if (ms < 1 || ms > 10000)
            invalid_letters(c + 1);
        // The usage text gives the time in milliseconds.
        options.inactive_reset_ms = static_cast<float>(ms);
        return options;
    }
    return options;
}

built_adapter_t create_lpt_adapter(const adapter_settings_t &settings)
{
    lpt_cable_options_t options = parse_lpt_letters(settings.adapter_text);
    check_default_cable_letters(options);
    pin_map_t user_map;
    clear_pin_map(user_map);
    if (options.kind == cable_kind_t::pinmap)
        user_map = read_user_map(settings.adapter_text);

    std::unique_ptr<lpt_t> port = select_lpt_port(settings.port_text, settings.lpt);
    pin_map_t map = choose_cable(options, user_map, *port, settings);
    msg_print(msg_out, MSG_DEBUG, "\t%% %s adapter mode\n", map.name);

    apply_reset_polarity(map, options.reverse_reset);
    if (settings.osc_khz == 0 && !map.signals[SIG_XTAL].defined())
        fail(EXIT_USAGE, "Can't generate XTAL, %s has no XTAL output\n", map.name);
    return {build_adapter(std::move(port), map, settings), options.inactive_reset_ms};
}
