// Virtual parallel port: three registers with the port's line inversions, a cable model per
// kind (signal wiring, buffer enables, loop-backs seen by cable detection) and the chip.
#include "vtarget/virtual_lpt.h"

#include <cctype>
#include <stdexcept>
#include <vector>

#include "port_clock.h"

namespace vt {
namespace {

// Lines in port bit layout: 0..7 data D0..D7, 8..15 status bits, 16..23 control bits.
enum : int {
    line_error = 8 + 3,
    line_online = 8 + 4,
    line_pe = 8 + 5,
    line_ack = 8 + 6,
    line_busy = 8 + 7,
    line_strobe = 16 + 0,
    line_alf = 16 + 1,
    line_init = 16 + 2,
    line_select = 16 + 3,
};

struct line_name {
    const char *name;
    int line;
};

const line_name line_names[] = {
    {"D0", 0}, {"D1", 1}, {"D2", 2}, {"D3", 3}, {"D4", 4}, {"D5", 5}, {"D6", 6}, {"D7", 7},
    {"ERROR", line_error}, {"ONLINE", line_online}, {"PE", line_pe}, {"ACK", line_ack},
    {"BUSY", line_busy}, {"STROBE", line_strobe}, {"ALF", line_alf}, {"INIT", line_init},
    {"SELECT", line_select},
};

bool is_status_line(int line) { return line >= 8 && line < 16; }

// A chip-side signal on a port line; inverted = an inverter between line and signal.
struct pin_ref {
    int line = -1;
    bool inverted = false;
    bool used() const { return line >= 0; }
};

pin_ref on(int line, bool inverted = false)
{
    pin_ref r;
    r.line = line;
    r.inverted = inverted;
    return r;
}

struct loop_back {
    int from;   // output line
    int to;     // status line
};

struct cable_wiring {
    pin_ref mosi, sck, reset, xtal;  // port output lines to the chip's pins
    pin_ref miso;                    // status line carrying the chip's MISO
    std::vector<pin_ref> power;      // chip supplied while every one is active
    std::vector<pin_ref> enable;     // buffer passes the outputs while every one is active
    std::vector<loop_back> loops;    // output line wired back to a status line
    std::vector<int> grounded;       // status lines tied low
    int vcc_sense = -1;              // status line high while the chip is supplied
};

struct builtin_cable {
    cable_kind kind;
    cable_wiring wiring;
};

cable_wiring builtin_wiring(const lpt_config &config)
{
    //   mosi  sck  reset  xtal  miso  power  enable  loops  grounded  vcc_sense
    static const builtin_cable cables[] = {
        // wires only; the chip may draw its supply from D0, D1, D2 and D7
        {cable_kind::fbprg,
         {on(5), on(6), on(4), on(3), on(line_ack), {on(0), on(1), on(2), on(7)}, {}, {}, {}, -1}},
        // 74HC244 enabled by ALF low; D5->ACK and D7->PE loop-backs; ERROR grounded on the
        // plain cable, target VCC on the MV.
        {cable_kind::byteblaster,
         {on(6), on(0), on(1), on(3), on(line_busy), {}, {on(line_alf, true)}, {{5, line_ack}, {7, line_pe}},
          {line_error}, -1}},
        {cable_kind::byteblaster_mv,
         {on(6), on(0), on(1), on(3), on(line_busy), {}, {on(line_alf, true)}, {{5, line_ack}, {7, line_pe}}, {},
          line_error}},
        // Outputs pass while D4, D5, D7 and the four control lines are high; D4 comes back on
        // ACK and ERROR.
        {cable_kind::byteblaster_ii,
         {on(6), on(0), on(1), on(2), on(line_busy), {},
          {on(4), on(5), on(7), on(line_init), on(line_strobe), on(line_alf), on(line_select)},
          {{4, line_ack}, {4, line_error}}, {}, -1}},
        // Buffer halves enabled by D2 and D3 low; STK200 loops D0 to PE, STK300 D1 to BUSY.
        {cable_kind::stk200,
         {on(5), on(4), on(7), on(6), on(line_ack), {}, {on(2, true), on(3, true)}, {{0, line_pe}}, {}, -1}},
        {cable_kind::stk300,
         {on(5), on(4), on(7), on(6), on(line_ack), {}, {on(2, true), on(3, true)}, {{1, line_busy}}, {}, -1}},
        // no XTAL line
        {cable_kind::xilinx, {on(0), on(1), on(2), pin_ref(), on(line_online), {}, {on(3, true)}, {}, {}, -1}},
    };
    for (const builtin_cable &c : cables) {
        if (c.kind != config.cable)
            continue;
        cable_wiring w = c.wiring;
        if (!config.power_from_port)
            w.power.clear();
        return w;
    }
    return cable_wiring();  // none, custom
}

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string &s)
{
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

pin_ref parse_line(const std::string &text, const std::string &whole)
{
    std::string t = trim(text);
    pin_ref r;
    if (!t.empty() && t[0] == '~') {
        r.inverted = true;
        t = trim(t.substr(1));
    }
    std::string u = upper(t);
    for (const line_name &n : line_names)
        if (u == n.name)
            r.line = n.line;
    if (r.line < 0)
        throw std::invalid_argument("unknown port line '" + t + "' in wiring '" + whole + "'");
    return r;
}

// The wiring signals on output lines: one line each, or (POWER, ENABLE) any number of lines.
struct output_signal {
    const char *name;
    pin_ref cable_wiring::*line;
    std::vector<pin_ref> cable_wiring::*lines;
};

const output_signal output_signals[] = {
    {"MOSI", &cable_wiring::mosi, nullptr},    {"SCK", &cable_wiring::sck, nullptr},
    {"RESET", &cable_wiring::reset, nullptr},  {"XTAL", &cable_wiring::xtal, nullptr},
    {"POWER", nullptr, &cable_wiring::power},  {"ENABLE", nullptr, &cable_wiring::enable},
};

// "mosi=D5,sck=D6,reset=~D4,miso=ACK,power=D0,D1,D2,D7,enable=~D2,~D3"; ':' may separate too.
// A token without '=' adds a line to the previous (power or enable) signal.
cable_wiring parse_wiring(const std::string &text)
{
    cable_wiring w;
    std::string current;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(",:", pos);
        if (end == std::string::npos)
            end = text.size();
        std::string token = trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (token.empty())
            continue;
        std::string value = token;
        size_t eq = token.find('=');
        if (eq != std::string::npos) {
            current = upper(trim(token.substr(0, eq)));
            value = token.substr(eq + 1);
        } else if (current != "POWER" && current != "ENABLE") {
            throw std::invalid_argument("wiring entry '" + token + "' names no signal in '" + text + "'");
        }
        pin_ref r = parse_line(value, text);
        bool output_line = !is_status_line(r.line);
        if (current == "MISO") {
            if (output_line)
                throw std::invalid_argument("miso must be on a status line in '" + text + "'");
            w.miso = r;
            continue;
        }
        if (!output_line)
            throw std::invalid_argument(current + " must be on an output line in '" + text + "'");
        const output_signal *signal = nullptr;
        for (const output_signal &s : output_signals)
            if (current == s.name)
                signal = &s;
        if (!signal)
            throw std::invalid_argument("unknown signal '" + current + "' in wiring '" + text + "'");
        if (signal->line)
            w.*signal->line = r;
        else
            (w.*signal->lines).push_back(r);
    }
    return w;
}

struct line_level {
    bool driven;
    bool high;
};

class lpt_impl : public virtual_lpt {
public:
    lpt_impl(const lpt_config &config, std::shared_ptr<avr_chip> chip)
        : config_(config), chip_(std::move(chip))
    {
        wiring_ = config.cable == cable_kind::custom ? parse_wiring(config.wiring) : builtin_wiring(config);
        if (config.cable == cable_kind::none)
            chip_.reset();
        update_chip(host_now_ns());
    }

    uint8_t read_reg(uint8_t offset) override
    {
        uint64_t t = access();
        switch (offset) {
        case 0:
            return data_driven() ? data_ : external_data();
        case 1:
            return status(t);
        case 2:
            return static_cast<uint8_t>(control_ | 0xC0);
        default:
            return 0xFF;
        }
    }

    void write_reg(uint8_t offset, uint8_t value) override
    {
        uint64_t t = access();
        if (offset == 0) {
            data_ = value;
        } else if (offset == 2) {
            control_ = static_cast<uint8_t>(value & (config_.bidirectional ? 0x3F : 0x1F));
        } else {
            return;  // the status register has nothing to write
        }
        update_chip(t);
    }

    void write_data_block(const uint8_t *bytes, uint32_t count) override
    {
        for (uint32_t i = 0; i < count; i++) {
            uint64_t t = access();
            data_ = bytes[i];
            update_chip(t);
        }
    }

    chip_inputs target_pins() const override { return pins_; }
    uint64_t accesses() const override { return accesses_; }

private:
    // One register access: waits out the previous access's cycle, returns its start time.
    // The cycle is the port's, fixed by its bus: back-to-back accesses are exactly one cycle
    // apart, and the host overshooting its spin by a little does not stretch them.
    uint64_t access()
    {
        accesses_++;
        const uint64_t cycle = config_.write_cycle_ns;
        if (cycle == 0)
            return host_now_ns();
        uint64_t now = spin_until_ns(next_access_);
        uint64_t t = now - next_access_ < cycle ? next_access_ : now;
        next_access_ = t + cycle;
        return t;
    }

    bool data_driven() const { return !(config_.bidirectional && (control_ & 0x20)); }

    // Data lines as read in input mode: nothing on any cable drives them, they float high.
    uint8_t external_data() const { return 0xFF; }

    line_level level(int line) const
    {
        if (line < 8)
            return {data_driven(), ((data_ >> line) & 1) != 0};
        switch (line) {
        case line_strobe:
            return {true, !(control_ & 0x01)};
        case line_alf:
            return {true, !(control_ & 0x02)};
        case line_init:
            return {true, (control_ & 0x04) != 0};
        case line_select:
            return {true, !(control_ & 0x08)};
        default:
            return {false, true};
        }
    }

    // Undriven lines are pulled up on the cable.
    bool active(const pin_ref &r) const
    {
        line_level l = level(r.line);
        bool high = l.driven ? l.high : true;
        return high != r.inverted;
    }

    bool all_active(const std::vector<pin_ref> &refs) const
    {
        for (const pin_ref &r : refs)
            if (!active(r))
                return false;
        return true;
    }

    bool powered() const
    {
        for (const pin_ref &r : wiring_.power)
            if (!level(r.line).driven || !active(r))
                return false;
        return true;
    }

    // A chip input: the line's level through the cable, or `floating` when not driven.
    bool chip_pin(const pin_ref &r, bool enabled, bool floating) const
    {
        if (!r.used() || !enabled)
            return floating;
        line_level l = level(r.line);
        if (!l.driven)
            return floating;
        return l.high != r.inverted;
    }

    void update_chip(uint64_t t)
    {
        bool enabled = all_active(wiring_.enable);
        chip_inputs in;
        in.reset = chip_pin(wiring_.reset, enabled, true);  // the chip pulls its RESET up
        in.sck = chip_pin(wiring_.sck, enabled, false);
        in.mosi = chip_pin(wiring_.mosi, enabled, false);
        in.xtal = chip_pin(wiring_.xtal, enabled, false);
        in.powered = powered();
        bool changed = !sent_ || in.reset != pins_.reset || in.sck != pins_.sck || in.mosi != pins_.mosi ||
                       in.xtal != pins_.xtal || in.powered != pins_.powered;
        pins_ = in;
        if (changed && chip_) {
            chip_->set_inputs(in, chip_time(t));
            sent_ = true;
        }
    }

    bool status_line(int line) const
    {
        if (wiring_.miso.line == line && chip_)
            return chip_->miso() != wiring_.miso.inverted;
        for (const loop_back &l : wiring_.loops) {
            if (l.to == line) {
                line_level from = level(l.from);
                return from.driven ? from.high : true;
            }
        }
        for (int g : wiring_.grounded)
            if (g == line)
                return false;
        if (wiring_.vcc_sense == line)
            return pins_.powered;
        return true;  // open input, pulled up by the port
    }

    uint8_t status(uint64_t t)
    {
        (void)t;
        uint8_t v = 0x07;
        for (int bit = 3; bit < 8; bit++) {
            bool high = status_line(8 + bit);
            if (bit == 7)
                high = !high;  // BUSY reads inverted
            if (high)
                v = static_cast<uint8_t>(v | (1u << bit));
        }
        return v;
    }

    lpt_config config_;
    std::shared_ptr<avr_chip> chip_;
    cable_wiring wiring_;
    uint8_t data_ = 0;
    uint8_t control_ = 0;
    uint64_t next_access_ = 0;
    uint64_t accesses_ = 0;
    chip_inputs pins_;
    bool sent_ = false;
};

}  // namespace

std::unique_ptr<virtual_lpt> make_virtual_lpt(const lpt_config &config, std::shared_ptr<avr_chip> chip)
{
    return std::unique_ptr<virtual_lpt>(new lpt_impl(config, std::move(chip)));
}

namespace {
struct kind_name {
    cable_kind kind;
    const char *name;
};
const kind_name kind_names[] = {
    {cable_kind::none, "none"},
    {cable_kind::fbprg, "fbprg"},
    {cable_kind::byteblaster, "byteblaster"},
    {cable_kind::byteblaster_mv, "byteblaster_mv"},
    {cable_kind::byteblaster_ii, "byteblaster_ii"},
    {cable_kind::stk200, "stk200"},
    {cable_kind::stk300, "stk300"},
    {cable_kind::xilinx, "xilinx"},
    {cable_kind::custom, "custom"},
};
}  // namespace

bool parse_cable_kind(const std::string &name, cable_kind &kind)
{
    std::string lower = name;
    for (char &c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const kind_name &k : kind_names) {
        if (k.kind != cable_kind::custom && lower == k.name) {
            kind = k.kind;
            return true;
        }
    }
    return false;
}

const char *cable_kind_name(cable_kind kind)
{
    for (const kind_name &k : kind_names)
        if (k.kind == kind)
            return k.name;
    return "?";
}

}  // namespace vt
