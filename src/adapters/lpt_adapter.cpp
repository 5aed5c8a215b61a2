// The parallel-port adapter factory: -a letters, built-in cables, detection.
#include "adapters/lpt_adapter.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "adapters/lpt.h"
#include "adapters/pin_map.h"
#include "adapters/spi_lpt.h"
#include "avr/link.h"
#include "base/messages.h"
#include "run/options.h"
#include "base/timer.h"

namespace {

const char short_help_hint[] = "For short help type\n\tmorvin -h";

[[noreturn]] void invalid_letters(const char *from)
{
    fail(EXIT_USAGE, "Invalid value '%s' for switch %c\n\n%s\n", from, 'A', short_help_hint);
}

// A decimal number as scanf "%u" reads it; false when there are no digits.
bool read_unsigned(const char *text, unsigned long long &value)
{
    while (isspace(static_cast<unsigned char>(*text)))
        text++;
    const char *digits = text;
    if (*digits == '+' || *digits == '-')
        digits++;
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return false;
    errno = 0;
    char *end;
    value = strtoull(text, &end, 10);
    if (errno == ERANGE || *text == '-')
        value = ~0ULL;  // out of any range
    return true;
}

void set_signal(pin_map_t &map, int signal, uint32_t high, uint32_t low)
{
    map.signals[signal].high_mask = high;
    map.signals[signal].low_mask = low;
}

void set_name(pin_map_t &map, const char *name)
{
    strncpy(map.name, name, sizeof map.name - 1);
    map.name[sizeof map.name - 1] = 0;
}

// The built-in cables, RESET listed active high.
void fbprg_map(pin_map_t &map)
{
    set_name(map, "FBPRG");
    set_signal(map, SIG_MOSI, 0x20, 0);
    set_signal(map, SIG_MISO, 0x4000, 0);
    set_signal(map, SIG_SCK, 0x40, 0);
    set_signal(map, SIG_RESET, 0x10, 0);
    set_signal(map, SIG_XTAL, 0x08, 0);
}

void byteblaster_map(pin_map_t &map, bool variant_ii)
{
    set_name(map, variant_ii ? "ByteBlasterII" : "ByteBlaster");
    set_signal(map, SIG_MOSI, 0x40, 0);
    set_signal(map, SIG_MISO, 0, 0x8000);
    set_signal(map, SIG_SCK, 0x01, 0);
    set_signal(map, SIG_RESET, 0x02, 0);
    if (variant_ii) {
        set_signal(map, SIG_XTAL, 0x04, 0);
        set_signal(map, SIG_ENABLE, 0x400B0, 0xB0000);
    } else {
        set_signal(map, SIG_XTAL, 0x08, 0);
        set_signal(map, SIG_ENABLE, 0x20000, 0);
    }
}

void stk_map(pin_map_t &map, bool xtal_generated)
{
    set_name(map, "STK");
    set_signal(map, SIG_MOSI, 0x20, 0);
    set_signal(map, SIG_MISO, 0x4000, 0);
    set_signal(map, SIG_SCK, 0x10, 0);
    set_signal(map, SIG_RESET, 0x80, 0);
    if (xtal_generated) {
        set_signal(map, SIG_XTAL, 0x40, 0);
        set_signal(map, SIG_ENABLE, 0, 0x0C);
    } else {
        set_signal(map, SIG_ENABLE, 0, 0x4C);
    }
}

void xilinx_map(pin_map_t &map)
{
    set_name(map, "XILINX");
    set_signal(map, SIG_MOSI, 0x01, 0);
    set_signal(map, SIG_MISO, 0x1000, 0);
    set_signal(map, SIG_SCK, 0x02, 0);
    set_signal(map, SIG_RESET, 0x04, 0);
    set_signal(map, SIG_SET, 0x10, 0);
    set_signal(map, SIG_ENABLE, 0, 0x08);
}

void require_detected(const char *cable)
{
    if (run_options.force) {
        msg_print(msg_out, MSG_WARNING, "%s not found, but forced by '-!'\n", cable);
        return;
    }
    fail(EXIT_USAGE, "%s not found\n", cable);
}

// Status reads during detection wait for the cable's lines to settle.
class settled_port {
public:
    explicit settled_port(lpt_t &port) : port(port) { settle.set_wait(0.01f); }
    void write_data(uint8_t value) { port.write_reg(LPT_DATA, value); }
    uint8_t status()
    {
        settle.wait();
        return port.read_reg(LPT_STATUS);
    }
    void alf_off()
    {
        uint8_t control = port.read_reg(LPT_CONTROL);
        port.write_reg(LPT_CONTROL, static_cast<uint8_t>(control & ~LPT_CTRL_ALF));
    }
    lpt_t &port;

private:
    os_timer_t settle;
};

enum : uint8_t {
    ST_ERROR = 0x08,
    ST_PE = 0x20,
    ST_ACK = 0x40,
    ST_BUSY = 0x80,
};

}  // namespace

lpt_cable_options_t parse_lpt_letters(const char *adapter_spec)
{
    lpt_cable_options_t options;
    if (!adapter_spec)
        return options;
    for (const char *c = adapter_spec; *c; c++) {
        switch (toupper(static_cast<unsigned char>(*c))) {
        case 'B':
            options.kind = cable_kind_t::byteblaster;
            break;
        case 'S':
            options.kind = cable_kind_t::stk;
            break;
        case 'X':
            options.kind = cable_kind_t::xilinx;
            break;
        case 'A':
            options.kind = cable_kind_t::automatic;
            break;
        case 'Z':
            options.tristate = true;
            break;
        case 'R':
            options.reverse_reset = true;
            break;
        case 'P':
            options.power = true;
            break;
        case 'M':
            options.kind = cable_kind_t::pinmap;
            return options;
        case 'I': {
            unsigned long long ms;
            if (!read_unsigned(c + 1, ms))
                fail(EXIT_USAGE, "Value required for switch '%s'\n", "-ai");
            if (ms < 1 || ms > 10000)
                invalid_letters(c + 1);
            // The usage text gives the time in milliseconds.
            run_options.inactive_reset_ms = static_cast<float>(ms);
            return options;
        }
        default:
            invalid_letters(c);
        }
    }
    return options;
}

byteblaster_t detect_byteblaster(lpt_t &lpt)
{
    settled_port port(lpt);
    byteblaster_t found = byteblaster_t::none;
    port.alf_off();
    port.write_data(0xFF);
    uint8_t s = port.status();
    bool variant_ii = false;
    if (s & ST_ACK) {
        port.write_data(0xEF);
        uint8_t s2 = port.status();
        if (!(s2 & (ST_ERROR | ST_ACK))) {
            lpt.write_reg(LPT_CONTROL, 0x0B);
            port.write_data(0x00);
            variant_ii = true;
            found = byteblaster_t::ii;
        }
    }
    if (!variant_ii) {
        port.write_data(0x5F);
        uint8_t s1 = port.status();
        port.write_data(0xFF);
        uint8_t s2 = port.status();
        if (!(s1 & (ST_PE | ST_ACK)) && (s2 & (ST_PE | ST_ACK)) == (ST_PE | ST_ACK))
            found = (s1 & ST_ERROR) ? byteblaster_t::mv : byteblaster_t::plain;
    }
    static const char *const names[] = {" not", "", "MV", "-II"};
    msg_print(msg_out, MSG_DEBUG, "\t%% ByteBlaster%s found\n", names[static_cast<int>(found)]);
    return found;
}

uint8_t detect_stk(lpt_t &lpt)
{
    settled_port port(lpt);
    port.alf_off();
    port.write_data(0x0D);
    uint8_t s1 = port.status();
    uint8_t found = (s1 & ST_PE) ? (STK200_FOUND | STK300_FOUND) : STK300_FOUND;
    if (!(s1 & ST_BUSY))
        found &= ~STK300_FOUND;
    port.write_data(0x0E);
    uint8_t s2 = port.status();
    if (s2 & ST_PE)
        found &= ~STK200_FOUND;
    if (s2 & ST_BUSY)
        found &= ~STK300_FOUND;
    static const char *const names[] = {" not", "200", "300", "*00"};
    msg_print(msg_out, MSG_DEBUG, "\t%% Atmel adapter for STK%s found\n", names[found]);
    return found;
}

std::unique_ptr<spi_t> create_lpt_adapter(const char *adapter_spec, const char *port_spec)
{
    lpt_cable_options_t options = parse_lpt_letters(adapter_spec);
    if (options.power && options.kind != cable_kind_t::fbprg)
        fail(EXIT_USAGE, "Can't supply power via buffered adapter\n");
    if (options.tristate && options.kind != cable_kind_t::fbprg)
        fail(EXIT_USAGE, "VuriVeraver can be used only with \"wires-only\" adapter\n");

    pin_map_t map;
    clear_pin_map(map);
    if (options.kind == cable_kind_t::pinmap) {
        parse_pin_map(map, adapter_spec, lpt_pin_table);
        static const int required[] = {SIG_MOSI, SIG_SCK, SIG_RESET, SIG_MISO};
        require_signals(map, required, 4);
        static const int on_data_lines[] = {SIG_MOSI, SIG_SCK, SIG_RESET, SIG_XTAL};
        require_pins_within(map, on_data_lines, 4, 0xFF, "D0..D7 lines");
        msg_print(msg_out, MSG_INFO, "Adapter '%s'\n", map.name);
    }

    std::unique_ptr<lpt_t> port = select_lpt_port(port_spec);
    bool xtal_generated = run_options.osc_khz == 0;

    switch (options.kind) {
    case cable_kind_t::fbprg:
        fbprg_map(map);
        if (options.tristate) {
            if (!port->bidirectional)
                fail(EXIT_USAGE, "Can't control LPT data direction bit (required for -AZ)\n");
            set_signal(map, SIG_ENABLE, 0, 0x200000);
        }
        if (options.power)
            set_signal(map, SIG_POWER, 0x87, 0);
        break;
    case cable_kind_t::byteblaster: {
        byteblaster_t found = detect_byteblaster(*port);
        if (found == byteblaster_t::none)
            require_detected("Altera ByteBlaster");
        byteblaster_map(map, found == byteblaster_t::ii);
        break;
    }
    case cable_kind_t::stk:
        if (!detect_stk(*port))
            require_detected("Atmel STK* adapter");
        stk_map(map, xtal_generated);
        break;
    case cable_kind_t::automatic:
        if (detect_stk(*port)) {
            stk_map(map, xtal_generated);
        } else {
            byteblaster_t found = detect_byteblaster(*port);
            if (found == byteblaster_t::none)
                fail(EXIT_USAGE, "Known buffered adapter not found\n");
            byteblaster_map(map, found == byteblaster_t::ii);
        }
        break;
    case cable_kind_t::xilinx:
        xilinx_map(map);
        break;
    case cable_kind_t::pinmap:
        break;
    }
    msg_print(msg_out, MSG_DEBUG, "\t%% %s adapter mode\n", map.name);

    if (!options.reverse_reset) {
        signal_pins_t &reset = map.signals[SIG_RESET];
        std::swap(reset.high_mask, reset.low_mask);
    }
    if (xtal_generated && !map.signals[SIG_XTAL].defined())
        fail(EXIT_USAGE, "Can't generate XTAL, %s has no XTAL output\n", map.name);

    int32_t low = 0, high = 0;
    sck_periods(low, high);
    std::unique_ptr<spi_lpt_t> adapter;
    if (xtal_generated) {
        adapter.reset(new spi_lpt_t(std::move(port), map, spi_lpt_t::xtal_periods_t{low, high}));
        msg_print(msg_out, MSG_DEBUG, "\t%% with SCK low %d periods, high %d periods\n", low, high);
    } else {
        float osc = static_cast<float>(run_options.osc_khz);
        float setup = static_cast<float>(low) * 1000.0f / osc;
        float hold = static_cast<float>(high) * 1000.0f / osc;
        adapter.reset(new spi_lpt_t(std::move(port), map, spi_lpt_t::timing_t{setup, hold}));
        char setup_text[64], hold_text[64];
        msg_print(msg_out, MSG_DEBUG, "\t%% MCU osc frequency = %dkHz\n", run_options.osc_khz);
        msg_print(msg_out, MSG_DEBUG, "\t%% setup %s, hold %s\n", format_time(setup, 2, setup_text),
                  format_time(hold, 2, hold_text));
        msg_print(msg_out, MSG_DEBUG, "\t%% actual spi IO frequency %s\n",
                  format_frequency(adapter->spi_frequency(), 1));
    }
    return adapter;
}
