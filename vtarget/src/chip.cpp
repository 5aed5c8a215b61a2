// The virtual AVR: serial programming interface at pin level, driven by the facts table.
#include "vtarget/avr_chip.h"
#include "vtarget/chip_facts.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace vt {
namespace {

enum op_t {
    op_pgm_enable, op_chip_erase, op_flash_read_lo, op_flash_read_hi, op_flash_write_lo,
    op_flash_write_hi, op_flash_load_lo, op_flash_load_hi, op_flash_write_page, op_load_ext_addr,
    op_eeprom_read, op_eeprom_write, op_eeprom_load, op_eeprom_write_page, op_signature_read,
    op_calibration_read, op_lock_read, op_lock_write, op_fuse0_read, op_fuse0_write,
    op_fuse1_read, op_fuse1_write, op_fuse2_read, op_fuse2_write, op_poll_busy, op_count
};

const char *const op_names[op_count] = {
    "pgm_enable", "chip_erase", "flash_read_lo", "flash_read_hi", "flash_write_lo",
    "flash_write_hi", "flash_load_lo", "flash_load_hi", "flash_write_page", "load_ext_addr",
    "eeprom_read", "eeprom_write", "eeprom_load", "eeprom_write_page", "signature_read",
    "calibration_read", "lock_read", "lock_write", "fuse0_read", "fuse0_write",
    "fuse1_read", "fuse1_write", "fuse2_read", "fuse2_write", "poll_busy"};

bool is_read(op_t op)
{
    switch (op) {
    case op_flash_read_lo: case op_flash_read_hi: case op_eeprom_read: case op_signature_read:
    case op_calibration_read: case op_lock_read: case op_fuse0_read: case op_fuse1_read:
    case op_fuse2_read: case op_poll_busy:
        return true;
    default:
        return false;
    }
}

// Operations whose bytes 2 and 3 carry an address: the silicon ignores address bits it does not
// decode, so fixed zero bits there are not checked.
bool is_addressed(op_t op)
{
    switch (op) {
    case op_flash_read_lo: case op_flash_read_hi: case op_flash_write_lo: case op_flash_write_hi:
    case op_flash_load_lo: case op_flash_load_hi: case op_flash_write_page: case op_eeprom_read:
    case op_eeprom_write: case op_eeprom_load: case op_eeprom_write_page: case op_signature_read:
    case op_calibration_read:
        return true;
    default:
        return false;
    }
}

struct pattern {
    op_t op = op_count;
    uint32_t mask = 0, value = 0;  // fixed bits
    int8_t addr[32];               // bit position -> address bit, or -1
    int8_t data[32];               // bit position -> data bit, or -1

    uint32_t address(uint32_t cmd) const
    {
        uint32_t a = 0;
        for (int p = 0; p < 32; p++)
            if (addr[p] >= 0 && (cmd >> p & 1))
                a |= 1u << addr[p];
        return a;
    }
    uint8_t data_in(uint32_t cmd) const
    {
        uint8_t v = 0;
        for (int p = 0; p < 32; p++)
            if (data[p] >= 0 && (cmd >> p & 1))
                v |= (uint8_t)(1u << data[p]);
        return v;
    }
    uint8_t data_mask() const
    {
        uint8_t m = 0;
        for (int p = 0; p < 32; p++)
            if (data[p] >= 0)
                m |= (uint8_t)(1u << data[p]);
        return m;
    }
    // Reply byte 4 with value's bits placed at the output positions, over base.
    uint8_t place(uint8_t base, uint8_t v) const
    {
        for (int p = 0; p < 8; p++)
            if (data[p] >= 0)
                base = (uint8_t)((base & ~(1u << p)) | ((v >> data[p] & 1u) << p));
        return base;
    }
};

pattern parse_pattern(op_t op, const std::string &text)
{
    pattern pt;
    pt.op = op;
    std::fill(pt.addr, pt.addr + 32, -1);
    std::fill(pt.data, pt.data + 32, -1);
    int index = 0;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '.' || c == '-' || c == '_' || c == '/' || c == ' ')
            continue;
        if (index >= 32)
            throw std::logic_error("pattern too long: " + text);
        int pos = 31 - index++;
        char kind = c;
        int number = pos % 8;
        if (c == 'a')
            number = pos - 8;  // third byte bit k = a<k>, second byte bit k = a<8+k>
        if (c == '[') {
            size_t end = text.find(']', i);
            kind = text[i + 1];
            number = std::atoi(text.substr(i + 2, end - i - 2).c_str());
            i = end;
        }
        switch (kind) {
        case '0': case '1':
            if (kind == '1' || !(is_addressed(op) && pos >= 8 && pos < 24)) {
                pt.mask |= 1u << pos;
                if (kind == '1')
                    pt.value |= 1u << pos;
            }
            break;
        case 'a': pt.addr[pos] = (int8_t)number; break;
        case 'i': case 'o': pt.data[pos] = (int8_t)number; break;
        case 'x': break;
        default: throw std::logic_error("bad pattern: " + text);
        }
    }
    if (index != 32)
        throw std::logic_error("pattern too short: " + text);
    return pt;
}

std::vector<pattern> parse_commands(const char *commands)
{
    std::vector<pattern> out;
    std::stringstream ss(commands);
    std::string item;
    while (std::getline(ss, item, ';')) {
        size_t eq = item.find('=');
        std::string name = item.substr(0, eq);
        int op = 0;
        while (op < op_count && name != op_names[op])
            op++;
        if (op == op_count)
            throw std::logic_error("unknown operation " + name);
        out.push_back(parse_pattern((op_t)op, item.substr(eq + 1)));
    }
    return out;
}

std::string trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t");
    size_t b = s.find_last_not_of(" \t");
    return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
}

uint64_t parse_number(const std::string &text, const char *what)
{
    const char *s = text.c_str();
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (text.empty() || *end || errno || text[0] == '-')
        throw std::invalid_argument(std::string("bad number for ") + what + ": '" + text + "'");
    return v;
}

enum region_t { region_none, region_flash, region_eeprom, region_all };

class chip_model : public avr_chip {
public:
    explicit chip_model(const chip_config &config);
    ~chip_model() override
    {
        try {
            save();
        } catch (...) {
        }
    }

    void set_inputs(const chip_inputs &in, uint64_t t_ns) override;
    bool miso() const override { return miso_; }
    const chip_counters &counters() const override { return counters_; }
    const chip_facts &facts() const override { return f_; }
    uint8_t flash(uint32_t a) const override { return flash_[a % flash_.size()]; }
    void set_flash(uint32_t a, uint8_t v) override { flash_[a % flash_.size()] = v; }
    uint8_t eeprom(uint32_t a) const override { return eeprom_[a % eeprom_.size()]; }
    void set_eeprom(uint32_t a, uint8_t v) override { eeprom_[a % eeprom_.size()] = v; }
    uint8_t fuse(unsigned i) const override { return i < 3 ? fuses_[i] : 0xFF; }
    void set_fuse(unsigned i, uint8_t v) override
    {
        if (i < 3)
            fuses_[i] = pending_fuses_[i] = v;
    }
    uint8_t lock_byte() const override { return lock_; }
    void set_lock_byte(uint8_t v) override { lock_ = v; }
    uint8_t calibration(unsigned i) const override { return i < 4 ? cal_[i] : 0xFF; }
    bool busy(uint64_t t) const override { return t < busy_until_; }
    bool programming_enabled() const override { return enabled_; }
    void save() override;

private:
    void power_up(uint64_t t);
    void enter_reset(uint64_t t);
    void leave_reset();
    void commit_bit(bool bit, uint64_t t);
    void byte_boundary(uint64_t t);
    void execute(uint64_t t);
    const char *write_memory(const pattern &p, uint32_t a, uint8_t d, uint64_t t);
    const char *write_configuration(const pattern &p, uint8_t d, uint64_t t);
    uint8_t read_reply(uint32_t cmd, uint64_t t, int *op_seen);
    void start_busy(uint64_t t, uint32_t us, region_t region, uint32_t lo, uint32_t hi,
                    const uint8_t *readback);
    bool lb1_programmed() const { return !(lock_ >> f_.lb1_bit & 1); }
    bool lb2_programmed() const { return !(lock_ >> f_.lb2_bit & 1); }
    bool write_locked() const { return lb1_programmed() || lb2_programmed(); }
    bool eesave_programmed() const
    {
        return f_.eesave_fuse >= 0 && !(fuses_[f_.eesave_fuse] >> f_.eesave_bit & 1);
    }
    // The fuses the chip runs with: taken over at power-up and when RESET is released.
    bool run_fuse_programmed(int8_t byte, uint8_t bit) const
    {
        return byte >= 0 && !(run_fuses_[byte] >> bit & 1);
    }
    // RESET is an I/O pin (RSTDISBL) or the debugWIRE line (DWEN): pulling it low no
    // longer enters serial programming.
    bool reset_pin_lost() const
    {
        return run_fuse_programmed(f_.rstdisbl_fuse, f_.rstdisbl_bit) ||
               run_fuse_programmed(f_.dwen_fuse, f_.dwen_bit);
    }
    // The clock comes from XTAL1 alone: the chip's own clock (cfg_.clock_khz) does not run.
    bool external_clock() const
    {
        if (f_.cksel_fuse < 0)
            return false;
        unsigned value = 0, n = 0;
        for (unsigned bit = 0; bit < 8; bit++)
            if (f_.cksel_mask >> bit & 1)
                value |= (unsigned)(run_fuses_[f_.cksel_fuse] >> bit & 1) << n++;
        return f_.cksel_external >> value & 1;
    }
    // The chip starts running with the fuses it holds: RESET released or power-up.
    void take_over_fuses()
    {
        std::copy(fuses_, fuses_ + 3, run_fuses_);
        clock_khz_ = external_clock() ? 0 : cfg_.clock_khz;
    }
    // kHz of the chip's clock; 0 = clocked by edges on XTAL1
    uint32_t clock_khz() const { return clock_khz_; }
    uint8_t busy_value(region_t region, uint32_t a, uint64_t t, bool *hit) const;
    void load_state();
    void write_state() const;
    void trace(uint64_t t, const char *what);
    void update_bound();
    uint64_t phase_clocks(uint64_t t) const;

    const chip_facts &f_;
    chip_config cfg_;
    std::vector<pattern> cmds_;
    std::vector<uint8_t> flash_, eeprom_, page_buf_, ee_buf_;
    std::vector<bool> ee_loaded_;
    uint8_t fuses_[3], pending_fuses_[3], run_fuses_[3], lock_, cal_[4];
    uint32_t clock_khz_;
    uint32_t ext_addr_ = 0;

    // pins
    chip_inputs pins_;
    bool powered_ = false;
    bool first_entry_ = true;        // no bit clocked in yet: the power-up offset still holds
    bool in_reset_ = false;
    bool miso_ = true;
    uint64_t t_reset_ = 0;
    uint64_t t_released_ = 0;        // when RESET last went high; 0 = not since power-up
    uint64_t t_edge_ = 0;            // last host SCK transition
    uint64_t xtal_edges_ = 0, xtal_at_edge_ = 0;
    bool rise_ok_ = false;           // the low phase before the current high was long enough
    bool sample_ = false;            // MOSI as the chip samples it for the current pulse
    uint64_t t_rise_ = 0, t_last_commit_rise_ = 0;
    bool have_commit_rise_ = false;

    // serial interface
    unsigned bitpos_ = 0;
    uint32_t frame_ = 0;
    uint8_t out_byte_ = 0;
    uint8_t reply_[4] = {0, 0, 0, 0};
    bool enabled_ = false;
    bool locked_out_ = false;        // later chips: a bad first frame waits for RESET
    bool lose_pending_ = false;
    uint64_t enabled_commands_ = 0;
    int read_op_ = -1;

    // busy
    uint64_t busy_start_ = 0, busy_until_ = 0;
    region_t busy_region_ = region_none;
    uint32_t busy_lo_ = 0, busy_hi_ = 0;
    uint8_t busy_readback_[2] = {0xFF, 0xFF};

    chip_counters counters_;
    FILE *trace_ = nullptr;
};

const chip_facts &facts_for(const std::string &name)
{
    const chip_facts *f = find_chip_facts(name.c_str());
    if (!f)
        throw std::invalid_argument("unknown chip '" + name + "'");
    return *f;
}

chip_model::chip_model(const chip_config &config) : f_(facts_for(config.chip)), cfg_(config)
{
    cmds_ = parse_commands(f_.commands);
    flash_.assign(f_.flash_size, 0xFF);
    eeprom_.assign(f_.eeprom_size ? f_.eeprom_size : 1, 0xFF);
    page_buf_.assign(f_.flash_page ? f_.flash_page : 2, 0xFF);
    ee_buf_.assign(f_.eeprom_page ? f_.eeprom_page : 1, 0xFF);
    ee_loaded_.assign(ee_buf_.size(), false);
    for (int i = 0; i < 3; i++)
        fuses_[i] = pending_fuses_[i] = i < f_.fuse_count ? f_.fuse_factory[i] : 0xFF;
    lock_ = f_.lock_factory;
    // Factory calibration differs from part to part; these stand for one part.
    for (int i = 0; i < 4; i++)
        cal_[i] = (uint8_t)(0x9A + 3 * i);
    if (!cfg_.state_file.empty())
        load_state();
    take_over_fuses();
    if (!cfg_.trace_file.empty()) {
        trace_ = std::fopen(cfg_.trace_file.c_str(), "a");
        if (!trace_)
            throw std::runtime_error("cannot open trace file " + cfg_.trace_file);
    }
    pins_.powered = false;
    pins_.reset = true;
}

uint64_t chip_model::phase_clocks(uint64_t t) const
{
    if (clock_khz() == 0)
        return xtal_edges_ - xtal_at_edge_;
    // clock periods in the phase: duration * f
    return (t - t_edge_) * clock_khz() / 1000000u;
}

void chip_model::power_up(uint64_t t)
{
    powered_ = true;
    t_released_ = 0;
    in_reset_ = false;
    enabled_ = false;
    for (int i = 0; i < 3; i++)
        fuses_[i] = pending_fuses_[i];
    take_over_fuses();
    std::fill(page_buf_.begin(), page_buf_.end(), 0xFF);
    std::fill(ee_loaded_.begin(), ee_loaded_.end(), false);
    t_edge_ = t;
    xtal_at_edge_ = xtal_edges_;
}

void chip_model::enter_reset(uint64_t t)
{
    in_reset_ = true;
    enabled_ = false;
    locked_out_ = false;
    // the power-up offset lasts until the first bit is clocked in: reset pulses before that
    // (a programmer's usual reset sequence) do not bring the interface into step
    bitpos_ = first_entry_ ? cfg_.faults.offset_bits % 32 : 0;
    frame_ = 0;
    // the 20 ms before Programming Enable run from a real reset; a shorter positive pulse
    // (a programmer bringing the interface back into step) does not restart them. The pulse
    // is measured generously: saving the state at its start takes host time too.
    if (!t_released_ || t - t_released_ >= 20000000ull)
        t_reset_ = t;
    out_byte_ = 0;
    ext_addr_ = 0;
    std::fill(page_buf_.begin(), page_buf_.end(), 0xFF);
    rise_ok_ = false;
}

void chip_model::leave_reset()
{
    in_reset_ = false;
    enabled_ = false;
    // fuses written in programming mode take effect now
    take_over_fuses();
    try {
        write_state();
    } catch (...) {
    }
}

void chip_model::set_inputs(const chip_inputs &in, uint64_t t)
{
    chip_inputs old = pins_;
    pins_ = in;
    if (!in.powered) {
        if (powered_) {
            powered_ = false;
            in_reset_ = false;
            enabled_ = false;
            try {
                write_state();
            } catch (...) {
            }
        }
        miso_ = false;
        return;
    }
    if (!powered_) {
        power_up(t);
        old.sck = in.sck;
        old.reset = true;
    }
    if (in.xtal && !old.xtal)
        xtal_edges_++;
    if (cfg_.faults.absent) {
        miso_ = cfg_.faults.absent_level;
        return;
    }
    if (!in.reset && !in_reset_ && !reset_pin_lost()) {
        enter_reset(t);
        t_edge_ = t;
        xtal_at_edge_ = xtal_edges_;
        old.sck = in.sck;
    } else if (in.reset && in_reset_) {
        leave_reset();
        t_released_ = t;
    }
    if (!in_reset_) {
        miso_ = true;  // not driven: the cable's pull-up
        return;
    }
    // SCK is sampled through the chip's clock: a phase shorter than the minimum is not seen.
    unsigned need_low = f_.sck_low_clocks, need_high = f_.sck_high_clocks;
    if (!need_low)
        need_low = clock_khz() > 12000 ? 3 : 2;
    if (!need_high)
        need_high = clock_khz() > 12000 ? 3 : 2;
    if (in.sck != old.sck) {
        uint64_t clocks = phase_clocks(t);
        if (in.sck) {
            rise_ok_ = clocks >= need_low;
            sample_ = in.mosi;
            t_rise_ = t;
        } else {
            if (rise_ok_ && clocks >= need_high)
                commit_bit(sample_, t);
            else
                counters_.missed_edges++;
            rise_ok_ = false;
        }
        t_edge_ = t;
        xtal_at_edge_ = xtal_edges_;
    } else if (in.sck && in.mosi != old.mosi) {
        // MOSI moved while SCK is high: the chip samples two clocks after the edge
        uint64_t since = clock_khz() ? (t - t_rise_) * clock_khz() / 1000000u
                                     : xtal_edges_ - xtal_at_edge_;
        if (since < 2)
            sample_ = in.mosi;
    }
}

void chip_model::commit_bit(bool bit, uint64_t t)
{
    if (lose_pending_) {
        lose_pending_ = false;
        counters_.missed_edges++;
        return;
    }
    counters_.spi_bits++;
    first_entry_ = false;
    if (busy(t))
        counters_.busy_bits++;
    if (have_commit_rise_) {
        uint64_t period = t_rise_ - t_last_commit_rise_;
        if (period && (!counters_.sck_period_ns || period < counters_.sck_period_ns))
            counters_.sck_period_ns = period;
    }
    t_last_commit_rise_ = t_rise_;
    have_commit_rise_ = true;
    frame_ = frame_ << 1 | (bit ? 1u : 0u);
    bitpos_++;
    if (bitpos_ % 8 == 0)
        byte_boundary(t);
    miso_ = out_byte_ >> (7 - bitpos_ % 8) & 1;
    update_bound();
}

void chip_model::byte_boundary(uint64_t t)
{
    unsigned b = bitpos_ / 8;                 // index of the byte that starts now (4 = complete)
    uint32_t head = frame_ << (8 * (4 - b));  // the received bytes at the top of a command word
    uint8_t c0 = (uint8_t)(head >> 24), c1 = (uint8_t)(head >> 16), c2 = (uint8_t)(head >> 8);
    bool enable_frame = c0 == 0xAC && c1 == 0x53;
    switch (b) {
    case 1:
        out_byte_ = (enabled_ || c0 == 0xAC) ? c0 : 0x00;
        break;
    case 2:
        if (!enabled_ && enable_frame && !locked_out_ && !cfg_.faults.never_sync &&
            t - t_reset_ >= 20000000ull)
            enabled_ = true;
        if (enable_frame && !f_.enable_echo)
            out_byte_ = 0x00;
        else
            out_byte_ = enabled_ ? c1 : 0x00;
        break;
    case 3:
        read_op_ = -1;
        out_byte_ = enabled_ ? read_reply(head, t, &read_op_) : 0x00;
        if (read_op_ < 0)
            out_byte_ = enabled_ ? c2 : 0x00;
        break;
    case 4:
        execute(t);
        bitpos_ = 0;
        frame_ = 0;
        out_byte_ = 0x00;
        break;
    }
    reply_[b % 4] = out_byte_;
}

uint8_t chip_model::busy_value(region_t region, uint32_t a, uint64_t t, bool *hit) const
{
    *hit = false;
    if (t >= busy_until_)
        return 0;
    if (busy_region_ == region_all || (busy_region_ == region && a >= busy_lo_ && a <= busy_hi_)) {
        *hit = true;
        // the first value during the erase half of the cycle, the second during programming
        bool second = busy_until_ != std::numeric_limits<uint64_t>::max() &&
                      t - busy_start_ >= (busy_until_ - busy_start_) / 2;
        return busy_readback_[second ? 1 : 0];
    }
    return 0;
}

uint8_t chip_model::read_reply(uint32_t cmd, uint64_t t, int *op_seen)
{
    uint8_t out = 0xFF;
    for (const pattern &p : cmds_) {
        if (!is_read(p.op) || ((cmd ^ p.value) & p.mask & 0xFFFFFF00u))
            continue;
        uint32_t a = p.address(cmd);
        bool hit = false;
        uint8_t v = 0xFF;
        switch (p.op) {
        case op_flash_read_lo:
        case op_flash_read_hi: {
            uint32_t byte = (((ext_addr_ << 16) | a) * 2 + (p.op == op_flash_read_hi)) %
                            (uint32_t)flash_.size();
            v = busy_value(region_flash, byte, t, &hit);
            if (!hit)
                v = lb2_programmed() ? 0xFF : flash_[byte];
            break;
        }
        case op_eeprom_read: {
            uint32_t byte = a % (uint32_t)eeprom_.size();
            v = busy_value(region_eeprom, byte, t, &hit);
            if (!hit)
                v = lb2_programmed() ? 0xFF : eeprom_[byte];
            break;
        }
        case op_signature_read:
            if (f_.locked_signature_hidden && lb1_programmed() && lb2_programmed())
                v = (uint8_t)a;
            else
                v = a < 3 ? f_.signature[a] : 0xFF;
            break;
        case op_calibration_read:
            v = cal_[a % (f_.calibration_count ? f_.calibration_count : 1)];
            break;
        case op_lock_read: v = lock_; break;
        case op_fuse0_read: v = fuses_[0]; break;
        case op_fuse1_read: v = fuses_[1]; break;
        case op_fuse2_read: v = fuses_[2]; break;
        case op_poll_busy: v = busy(t) ? 0xFF : 0xFE; break;
        default: break;
        }
        out = p.place(out, v);
        if (*op_seen < 0)
            *op_seen = p.op;
    }
    return out;
}

void chip_model::start_busy(uint64_t t, uint32_t us, region_t region, uint32_t lo, uint32_t hi,
                            const uint8_t *readback)
{
    busy_start_ = t;
    busy_region_ = region;
    busy_lo_ = lo;
    busy_hi_ = hi;
    busy_readback_[0] = readback ? readback[0] : 0xFF;
    busy_readback_[1] = readback ? readback[1] : 0xFF;
    if (cfg_.faults.stuck_write || (cfg_.faults.stuck_after && enabled_commands_ > cfg_.faults.stuck_after)) {
        busy_until_ = std::numeric_limits<uint64_t>::max();
        return;
    }
    busy_until_ = t + (uint64_t)us * 1000u;
    counters_.busy_ns += (uint64_t)us * 1000u;
    update_bound();
}

void chip_model::update_bound()
{
    counters_.lower_bound_ns = counters_.spi_bits * counters_.sck_period_ns + counters_.busy_ns;
}

void chip_model::execute(uint64_t t)
{
    uint32_t cmd = frame_;
    counters_.commands++;
    const char *note = "";
    if (!enabled_) {
        // an out-of-step or early frame: AT90S-era chips keep listening and slip with each
        // extra SCK pulse; later chips wait for the next RESET pulse
        if (!f_.resync_by_sck)
            locked_out_ = true;
        trace(t, "not in programming mode");
        return;
    }
    ++enabled_commands_;
    if (cfg_.faults.lose_after && enabled_commands_ == cfg_.faults.lose_after)
        lose_pending_ = true;
    if (cfg_.faults.interrupt_after && enabled_commands_ == cfg_.faults.interrupt_after)
        std::raise(SIGINT);  // the user presses Ctrl-C while this command is on the wire
    const pattern *pp = nullptr;
    for (const pattern &p : cmds_)
        if (!is_read(p.op) && !((cmd ^ p.value) & p.mask)) {
            pp = &p;
            break;
        }
    if (!pp) {
        trace(t, read_op_ >= 0 ? op_names[read_op_] : "unknown");
        return;
    }
    if (pp->op == op_pgm_enable) {
        trace(t, "pgm_enable");
        return;
    }
    if (busy(t)) {
        counters_.ignored_busy++;
        std::string s = std::string(op_names[pp->op]) + " ignored: busy";
        trace(t, s.c_str());
        return;
    }
    uint32_t a = pp->address(cmd);
    uint8_t d = pp->data_in(cmd);
    switch (pp->op) {
    case op_chip_erase:
    case op_lock_write:
    case op_fuse0_write:
    case op_fuse1_write:
    case op_fuse2_write:
        note = write_configuration(*pp, d, t);
        break;
    case op_load_ext_addr:
        ext_addr_ = a;
        break;
    default:
        note = write_memory(*pp, a, d, t);
        break;
    }
    std::string s = op_names[pp->op];
    if (*note)
        s += std::string(" ignored: ") + note;
    trace(t, s.c_str());
}

// Flash and EEPROM writes and page loads; the note for the trace ("" or why it was ignored).
const char *chip_model::write_memory(const pattern &p, uint32_t a, uint8_t d, uint64_t t)
{
    uint32_t fsize = (uint32_t)flash_.size(), esize = (uint32_t)eeprom_.size();
    switch (p.op) {
    case op_flash_write_lo:
    case op_flash_write_hi: {
        if (write_locked())
            return "locked";
        uint32_t byte = (a * 2 + (p.op == op_flash_write_hi)) % fsize;
        uint8_t keep = 0;
        for (auto &bb : cfg_.faults.bad_bits)
            if (bb.first % fsize == byte)
                keep |= bb.second;
        flash_[byte] &= (uint8_t)(d | keep);
        start_busy(t, f_.flash_write_us, region_flash, byte, byte, f_.flash_readback);
        break;
    }
    case op_flash_load_lo:
    case op_flash_load_hi: {
        uint32_t words = (uint32_t)page_buf_.size() / 2;
        page_buf_[(a % words) * 2 + (p.op == op_flash_load_hi)] = d;
        break;
    }
    case op_flash_write_page: {
        uint32_t page = (uint32_t)page_buf_.size();
        uint32_t base = (((ext_addr_ << 16) | a) * 2) % fsize / page * page;
        const char *note = "";
        if (write_locked()) {
            note = "locked";
        } else {
            for (uint32_t i = 0; i < page; i++) {
                uint8_t keep = 0;
                for (auto &bb : cfg_.faults.bad_bits)
                    if (bb.first % fsize == base + i)
                        keep |= bb.second;
                flash_[base + i] &= (uint8_t)(page_buf_[i] | keep);
            }
            start_busy(t, f_.flash_write_us, region_flash, base, base + page - 1, f_.flash_readback);
        }
        std::fill(page_buf_.begin(), page_buf_.end(), 0xFF);
        return note;
    }
    case op_eeprom_write:
        if (write_locked())
            return "locked";
        eeprom_[a % esize] = d;
        start_busy(t, f_.eeprom_write_us, region_eeprom, a % esize, a % esize, f_.eeprom_readback);
        break;
    case op_eeprom_load: {
        uint32_t i = a % (uint32_t)ee_buf_.size();
        ee_buf_[i] = d;
        ee_loaded_[i] = true;
        break;
    }
    case op_eeprom_write_page: {
        uint32_t page = (uint32_t)ee_buf_.size();
        uint32_t base = a % esize / page * page;
        const char *note = "";
        if (write_locked()) {
            note = "locked";
        } else {
            for (uint32_t i = 0; i < page; i++)
                if (ee_loaded_[i])
                    eeprom_[(base + i) % esize] = ee_buf_[i];
            start_busy(t, f_.eeprom_write_us, region_eeprom, base, base + page - 1,
                       f_.eeprom_readback);
        }
        std::fill(ee_loaded_.begin(), ee_loaded_.end(), false);
        return note;
    }
    default:
        break;
    }
    return "";
}

// Chip Erase, lock bits and fuses.
const char *chip_model::write_configuration(const pattern &p, uint8_t d, uint64_t t)
{
    switch (p.op) {
    case op_chip_erase:
        std::fill(flash_.begin(), flash_.end(), 0xFF);
        if (!eesave_programmed())
            std::fill(eeprom_.begin(), eeprom_.end(), 0xFF);
        lock_ = f_.lock_factory;
        std::fill(page_buf_.begin(), page_buf_.end(), 0xFF);
        start_busy(t, f_.erase_us, region_all, 0, 0, nullptr);
        break;
    case op_lock_write:
        // lock bits only go from unprogrammed to programmed; Chip Erase clears them
        lock_ &= (uint8_t)(d | ~p.data_mask());
        start_busy(t, f_.lock_write_us, region_none, 0, 0, nullptr);
        break;
    case op_fuse0_write:
    case op_fuse1_write:
    case op_fuse2_write: {
        int i = (p.op - op_fuse0_write) / 2;
        if (f_.fuses_locked && write_locked())
            return "locked";
        uint8_t w = p.data_mask();
        pending_fuses_[i] = (uint8_t)((pending_fuses_[i] & ~w) | (d & w));
        if (!(f_.fuse_powercycle >> i & 1))
            fuses_[i] = pending_fuses_[i];
        start_busy(t, f_.fuse_write_us, region_none, 0, 0, nullptr);
        break;
    }
    default:
        break;
    }
    return "";
}

void chip_model::trace(uint64_t t, const char *what)
{
    if (!trace_)
        return;
    uint32_t c = frame_;
    std::fprintf(trace_, "%14.6f ms  %02X %02X %02X %02X -> %02X %02X %02X %02X  %s\n", t / 1e6,
                 c >> 24, c >> 16 & 0xFF, c >> 8 & 0xFF, c & 0xFF, reply_[0], reply_[1],
                 reply_[2], reply_[3], what);
    std::fflush(trace_);
}

// State file: a text file of hex lines, created with the factory state on first use.
void chip_model::write_state() const
{
    if (cfg_.state_file.empty())
        return;
    std::string tmp = cfg_.state_file + ".tmp";
    // binary: the same file for the native and the Windows build
    FILE *fp = std::fopen(tmp.c_str(), "wb");
    if (!fp)
        throw std::runtime_error("cannot write state file " + cfg_.state_file);
    const char *name = f_.names;
    std::fprintf(fp, "vtarget-chip-state 1\nchip %.*s\n", (int)std::strcspn(name, "|"), name);
    std::fprintf(fp, "fuses %02X %02X %02X\nlock %02X\n", pending_fuses_[0], pending_fuses_[1],
                 pending_fuses_[2], lock_);
    auto dump = [fp](const char *tag, const std::vector<uint8_t> &m) {
        for (size_t a = 0; a < m.size(); a += 32) {
            size_t n = std::min<size_t>(32, m.size() - a);
            if (std::all_of(m.begin() + a, m.begin() + a + n, [](uint8_t b) { return b == 0xFF; }))
                continue;
            std::fprintf(fp, "%s %06zX ", tag, a);
            for (size_t i = 0; i < n; i++)
                std::fprintf(fp, "%02X", m[a + i]);
            std::fputc('\n', fp);
        }
    };
    dump("flash", flash_);
    if (f_.eeprom_size)
        dump("eeprom", eeprom_);
    std::fputs("end\n", fp);
    bool ok = std::fclose(fp) == 0;
#if defined(_WIN32)
    // the C runtime's rename does not replace an existing file there
    if (ok)
        std::remove(cfg_.state_file.c_str());
#endif
    if (!ok || std::rename(tmp.c_str(), cfg_.state_file.c_str()) != 0)
        throw std::runtime_error("cannot write state file " + cfg_.state_file);
}

void chip_model::load_state()
{
    std::ifstream in(cfg_.state_file);
    if (!in) {
        write_state();  // first use: the factory state
        return;
    }
    auto bad = [this](const std::string &why) {
        return std::runtime_error("state file " + cfg_.state_file + ": " + why);
    };
    std::string line;
    if (!std::getline(in, line) || trim(line) != "vtarget-chip-state 1")
        throw bad("not a chip state file");
    bool ended = false;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string tag;
        ls >> tag;
        if (tag == "chip") {
            std::string name;
            ls >> name;
            if (find_chip_facts(name.c_str()) != &f_)
                throw bad("holds a " + name + ", not a " + cfg_.chip);
        } else if (tag == "fuses") {
            for (int i = 0; i < 3; i++) {
                unsigned v;
                if (!(ls >> std::hex >> v) || v > 0xFF)
                    throw bad("bad fuses line");
                fuses_[i] = pending_fuses_[i] = (uint8_t)v;
            }
        } else if (tag == "lock") {
            unsigned v;
            if (!(ls >> std::hex >> v) || v > 0xFF)
                throw bad("bad lock line");
            lock_ = (uint8_t)v;
        } else if (tag == "flash" || tag == "eeprom") {
            std::vector<uint8_t> &m = tag == "flash" ? flash_ : eeprom_;
            unsigned long addr;
            std::string hex;
            if (!(ls >> std::hex >> addr >> hex) || hex.size() % 2 || addr + hex.size() / 2 > m.size())
                throw bad("bad " + tag + " line");
            for (size_t i = 0; i < hex.size(); i += 2) {
                char *end;
                std::string byte = hex.substr(i, 2);
                unsigned long v = std::strtoul(byte.c_str(), &end, 16);
                if (*end)
                    throw bad("bad " + tag + " line");
                m[addr + i / 2] = (uint8_t)v;
            }
        } else if (tag == "end") {
            ended = true;
            break;
        } else if (!tag.empty()) {
            throw bad("unknown line '" + tag + "'");
        }
    }
    if (!ended)
        throw bad("truncated");
}

void chip_model::save()
{
    write_state();
    if (cfg_.counters_file.empty())
        return;
    FILE *fp = std::fopen(cfg_.counters_file.c_str(), "w");
    if (!fp)
        throw std::runtime_error("cannot write counters file " + cfg_.counters_file);
    const chip_counters &c = counters_;
    std::fprintf(fp,
                 "commands=%llu\nspi_bits=%llu\nbusy_ns=%llu\nlower_bound_ns=%llu\n"
                 "sck_period_ns=%llu\nmissed_edges=%llu\nignored_busy=%llu\nbusy_bits=%llu\n",
                 (unsigned long long)c.commands, (unsigned long long)c.spi_bits,
                 (unsigned long long)c.busy_ns, (unsigned long long)c.lower_bound_ns,
                 (unsigned long long)c.sck_period_ns, (unsigned long long)c.missed_edges,
                 (unsigned long long)c.ignored_busy, (unsigned long long)c.busy_bits);
    std::fclose(fp);
}

}  // namespace

void parse_chip_faults(const std::string &text, chip_faults &faults)
{
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        item = trim(item);
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        std::string key = item.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : item.substr(eq + 1);
        if (key == "absent") {
            faults.absent = true;
            faults.absent_level = val.empty() ? true : parse_number(val, "absent") != 0;
        } else if (key == "never_sync" && val.empty()) {
            faults.never_sync = true;
        } else if (key == "offset") {
            faults.offset_bits = (unsigned)parse_number(val, "offset");
            if (faults.offset_bits > 31)
                throw std::invalid_argument("offset must be 0..31");
        } else if (key == "lose_after") {
            faults.lose_after = parse_number(val, "lose_after");
        } else if (key == "stuck_write" && val.empty()) {
            faults.stuck_write = true;
        } else if (key == "stuck_after") {
            faults.stuck_after = parse_number(val, "stuck_after");
        } else if (key == "interrupt_after") {
            faults.interrupt_after = parse_number(val, "interrupt_after");
        } else if (key == "bad_bits") {
            size_t colon = val.find(':');
            if (colon == std::string::npos)
                throw std::invalid_argument("bad_bits needs ADDR:MASK");
            uint64_t addr = parse_number(val.substr(0, colon), "bad_bits address");
            uint64_t mask = parse_number(val.substr(colon + 1), "bad_bits mask");
            if (mask > 0xFF || addr > 0xFFFFFFFFu)
                throw std::invalid_argument("bad_bits out of range");
            faults.bad_bits.emplace_back((uint32_t)addr, (uint8_t)mask);
        } else if (key.compare(0, 4, "usb_") == 0) {
            // USB faults belong to the virtual FT2232
        } else {
            throw std::invalid_argument("unknown fault '" + item + "'");
        }
    }
}

chip_config chip_config_from_env()
{
    chip_config c;
    auto env = [](const char *name) -> std::string {
        const char *v = std::getenv(name);
        return v ? v : "";
    };
    if (!env("VT_CHIP").empty())
        c.chip = env("VT_CHIP");
    if (!find_chip_facts(c.chip.c_str()))
        throw std::invalid_argument("VT_CHIP: unknown chip '" + c.chip + "'");
    if (!env("VT_CLOCK_KHZ").empty())
        c.clock_khz = (uint32_t)parse_number(env("VT_CLOCK_KHZ"), "VT_CLOCK_KHZ");
    c.state_file = env("VT_STATE");
    c.trace_file = env("VT_TRACE");
    c.counters_file = env("VT_COUNTERS");
    parse_chip_faults(env("VT_FAULT"), c.faults);
    return c;
}

std::shared_ptr<avr_chip> make_chip(const chip_config &config)
{
    return std::make_shared<chip_model>(config);
}

}  // namespace vt
