// Virtual FTDI channel: USB transfers with their latency, and the MPSSE engine (FT2232C/D,
// FT2232H, FT4232H A/B, FT232H) clocking a chip on adbus0 (SCK), adbus1 (MOSI) and adbus2
// (MISO) on a virtual timeline. A channel without MPSSE ignores what is written in MPSSE mode:
// the bytes leave on its UART and nothing answers.
#include "vtarget/virtual_ft2232.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <limits>
#include <vector>

#include "port_clock.h"

namespace vt {
namespace {

const uint64_t not_flushed = std::numeric_limits<uint64_t>::max();

class ft2232_impl : public virtual_ft2232 {
public:
    ft2232_impl(const ft2232_config &config, std::shared_ptr<avr_chip> chip)
        : config_(config), chip_(std::move(chip)), mpsse_(ftdi_has_mpsse(config.device_type, config.channel)),
          high_speed_(ftdi_high_speed(config.device_type))
    {
        if (high_speed_) {
            divide_by_5_ = config.divide_by_5;
            three_phase_ = config.three_phase;
            adaptive_ = config.adaptive_clocking;
        }
        timeline_ = host_now_ns();
        update_chip(timeline_);
    }

    ~ft2232_impl() override
    {
        if (trace_)
            std::fclose(trace_);
    }

    void set_bit_mode(uint8_t mask, uint8_t mode) override
    {
        trace("usb bitmode %02X %02X", mask, mode);
        uint64_t t = start();
        mode_ = mode;
        pending_.clear();
        received_total_ = taken_total_;
        stalled_ = false;  // a mode change resets the engine; its clock settings stay
        if (mode == 0x01)
            dirs_ = static_cast<uint16_t>((dirs_ & 0xFF00) | mask);
        else
            dirs_ = 0;  // reset and MPSSE entry leave every pin an input
        update_chip(t);
    }

    void purge(uint8_t mask) override
    {
        trace("usb purge %02X", mask);
        if (mask & 1) {
            answer_.clear();
            ready_.clear();
        }
        if (mask & 2) {
            pending_.clear();
            received_total_ = taken_total_;
        }
    }

    bool write(const uint8_t *bytes, uint32_t count) override
    {
        writes_++;
        if (config_.write_error_at && writes_ == config_.write_error_at) {
            trace("usb write error");
            return false;
        }
        uint64_t t = start();
        if (mode_ == 0x01) {
            for (uint32_t i = 0; i < count; i++) {
                levels_ = static_cast<uint16_t>((levels_ & 0xFF00) | bytes[i]);
                update_chip(t);
                t += config_.pin_command_ns;
            }
        } else if (mode_ == 0x02 && mpsse_ && !stalled_) {
            pending_.insert(pending_.end(), bytes, bytes + count);
            taken_base_ = taken_total_;
            size_t used = 0;
            while (used < pending_.size()) {
                size_t n = execute(&pending_[used], pending_.size() - used, t);
                if (!n)
                    break;  // incomplete command: the rest comes with the next write
                used += n;
                consumed(used, t);
                if (stalled_) {
                    trace("mpsse stalled waiting for RTCK");
                    used = pending_.size();  // nothing more is taken from the buffer
                }
            }
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(used));
            received_total_ += count;
            if (stalled_)
                taken_total_ = received_total_;  // dropped
            else
                wait_for_room();
        }
        timeline_ = t;
        return true;
    }

    uint32_t read(uint8_t *buffer, uint32_t count, uint32_t timeout_ms) override
    {
        reads_++;
        if (count == 0)
            return 0;
        round_trips_++;
        bool short_read = config_.short_read_at && reads_ == config_.short_read_at;
        if (config_.short_read_after && !short_read_done_ && chip_ &&
            chip_->counters().commands >= config_.short_read_after)
            short_read = true;
        uint64_t now = host_now_ns();
        uint64_t deadline = timeout_ms ? now + uint64_t(timeout_ms) * 1000000u : not_flushed;
        uint32_t want = count;
        if (short_read && want > answer_.size())
            short_read = false;
        size_t have = answer_.size() < want ? answer_.size() : want;
        uint64_t arrive = now;
        for (size_t i = 0; i < have; i++) {
            uint64_t a = arrival(i);
            if (a > arrive)
                arrive = a;
        }
        uint64_t until = have < want ? (deadline == not_flushed ? arrive : deadline) : arrive;
        if (until > deadline)
            until = deadline;
        if (until > now)
            wait_until_ns(until);
        uint32_t got = 0;
        while (got < want && !answer_.empty() && arrival(0) <= until) {
            buffer[got++] = answer_.front();
            answer_.pop_front();
            ready_.pop_front();
        }
        if (short_read && got == want) {
            got--;  // the last byte is lost on the bus
            short_read_done_ = true;
            trace("usb short read %u of %u", got, count);
        }
        return got;
    }

    uint64_t usb_round_trips() const override { return round_trips_; }
    void set_latency_timer(uint8_t ms) override { latency_timer_ = ms; }
    uint8_t latency_timer() const override { return latency_timer_; }

    uint32_t bytes_ready() const override
    {
        uint64_t now = host_now_ns();
        uint32_t n = 0;
        while (n < answer_.size() && arrival(n) <= now)
            n++;
        return n;
    }

    uint16_t clock_divisor() const override { return divisor_; }
    uint32_t master_clock_hz() const override { return master_mhz() * 1000000u; }
    bool three_phase() const override { return three_phase_; }
    bool adaptive_clocking() const override { return adaptive_; }
    bool stalled() const override { return stalled_; }
    uint16_t pin_levels() const override { return levels_; }
    uint16_t pin_directions() const override { return dirs_; }
    chip_inputs target_pins() const override { return pins_; }
    uint64_t timeline_ns() const override { return timeline_; }
    const ft2232_config &config() const override { return config_; }

private:
    // The engine picks up new work where it left off, but never before the host sent it nor
    // before a time the chip has already seen.
    uint64_t start()
    {
        uint64_t now = host_now_ns();
        uint64_t floor = chip_time_floor().load();
        if (now < floor)
            now = floor;
        if (timeline_ < now)
            timeline_ = now;
        return timeline_;
    }

    // When answer byte i reaches the host: sent at the flush (or when the latency timer runs
    // out), then one USB round trip.
    uint64_t arrival(size_t i) const
    {
        uint64_t sent = ready_[i].flushed;
        if (sent == not_flushed)
            sent = ready_[i].produced + uint64_t(latency_timer_) * 1000000u;
        return sent + uint64_t(config_.usb_latency_us) * 1000u;
    }

    void answer(uint8_t byte, uint64_t t)
    {
        answer_.push_back(byte);
        ready_.push_back({t, not_flushed});
    }

    // Executes the command at p (n bytes available); returns its length, 0 if incomplete.
    size_t execute(const uint8_t *p, size_t n, uint64_t &t)
    {
        uint8_t op = p[0];
        switch (op) {
        case 0x80:
        case 0x82: {
            if (n < 3)
                return 0;
            trace_bytes(p, 3);
            int shift = op == 0x80 ? 0 : 8;
            uint16_t keep = static_cast<uint16_t>(0xFF00u >> shift);
            levels_ = static_cast<uint16_t>((levels_ & keep) | (p[1] << shift));
            dirs_ = static_cast<uint16_t>((dirs_ & keep) | (p[2] << shift));
            update_chip(t);
            t += config_.pin_command_ns;
            return 3;
        }
        case 0x86:
            if (n < 3)
                return 0;
            trace_bytes(p, 3);
            divisor_ = static_cast<uint16_t>(p[1] | (p[2] << 8));
            t += config_.pin_command_ns;
            return 3;
        case 0x87:
            trace_bytes(p, 1);
            for (auto &r : ready_)
                if (r.flushed == not_flushed)
                    r.flushed = t;
            t += config_.pin_command_ns;
            return 1;
        case 0x31:
        case 0x11: {
            if (n < 3)
                return 0;
            size_t len = size_t(p[1] | (p[2] << 8)) + 1;
            if (n < 3 + len)
                return 0;
            trace_bytes(p, 3 + len);
            size_t at = static_cast<size_t>(p - pending_.data());
            for (size_t i = 0; i < len && !stalled_; i++) {
                uint8_t in = clock_bits(p[3 + i], 8, true, t);
                if (op == 0x31 && !stalled_)
                    answer(in, t);
                consumed(at + 4 + i, t);
            }
            return 3 + len;
        }
        case 0x21: {
            if (n < 3)
                return 0;
            trace_bytes(p, 3);
            size_t len = size_t(p[1] | (p[2] << 8)) + 1;
            for (size_t i = 0; i < len && !stalled_; i++) {
                uint8_t in = clock_bits(0, 8, false, t);
                if (!stalled_)
                    answer(in, t);
            }
            return 3;
        }
        case 0x13:
            if (n < 3)
                return 0;
            trace_bytes(p, 3);
            clock_bits(p[2], (p[1] & 7) + 1, true, t);
            return 3;
        case 0x8A:  // divide-by-5 off: 60 MHz master clock
        case 0x8B:  // divide-by-5 on: 12 MHz, as on the FT2232C
        case 0x8C:  // three-phase data clocking on
        case 0x8D:  // three-phase data clocking off
        case 0x96:  // adaptive clocking on
        case 0x97:  // adaptive clocking off
            if (!high_speed_)
                return bad_command(op, t);
            trace_bytes(p, 1);
            if (op == 0x8A || op == 0x8B)
                divide_by_5_ = op == 0x8B;
            else if (op == 0x8C || op == 0x8D)
                three_phase_ = op == 0x8C;
            else
                adaptive_ = op == 0x96;
            t += config_.pin_command_ns;
            return 1;
        default:
            return bad_command(op, t);
        }
    }

    // The engine answers a command it does not know with 0xFA and the command byte.
    size_t bad_command(uint8_t op, uint64_t t)
    {
        trace("mpsse %02X (unknown)", op);
        answer(0xFA, t);
        answer(op, t);
        return 1;
    }

    // The engine has taken the first n bytes of pending_ by time t.
    void consumed(size_t n, uint64_t t)
    {
        taken_total_ = taken_base_ + n;
        taken_.push_back({t, taken_total_});
    }

    // A USB write returns once the bytes the engine has not taken yet fit into the chip's
    // receive buffer; the engine takes them on its own timeline, ahead of the host.
    void wait_for_room()
    {
        uint64_t now = host_now_ns();
        while (!taken_.empty() && taken_.front().t <= now)
            taken_.pop_front();
        uint64_t buffer = ftdi_rx_buffer_bytes(config_.device_type);
        if (received_total_ <= buffer)
            return;
        uint64_t needed = received_total_ - buffer;
        for (const progress &p : taken_) {
            if (p.bytes >= needed) {
                wait_until_ns(p.t);
                return;
            }
        }
    }

    // The master clock: 12 MHz on the FT2232C/D and with divide-by-5 on, else 60 MHz.
    uint32_t master_mhz() const { return high_speed_ && !divide_by_5_ ? 60u : 12u; }

    // Edge time k of a clock run starting at t0: half a period is (divisor + 1) / master clock.
    uint64_t edge(uint64_t t0, uint64_t k) const
    {
        return t0 + k * (uint64_t(divisor_) + 1) * 1000u / master_mhz();
    }

    // RTCK comes back on adbus7; an input nobody drives is pulled up.
    bool rtck() const { return driven(7) ? level(7) : true; }

    bool miso_pin() const
    {
        if (dirs_ & 0x04)
            return (levels_ & 0x04) != 0;
        if (!chip_)
            return true;  // input pulled up, nothing attached
        return chip_->miso();
    }

    // Shifts nbits of out (MSB first) on MOSI, changing data on the falling SCK edge and
    // sampling MISO on the rising edge; returns the bits sampled.
    //
    // Three-phase clocking stretches each bit to three half periods and moves the data change
    // behind the clock pulse: bit i reaches MOSI at the falling edge that ends its own pulse,
    // so a target sampling on the rising edge reads the previous bit there.
    // Adaptive clocking waits after each SCK edge until RTCK (adbus7) follows it; an AVR has
    // no RTCK, so the engine stalls at the first edge the pulled-up pin does not echo.
    uint8_t clock_bits(uint8_t out, int nbits, bool drive_mosi, uint64_t &t)
    {
        uint64_t t0 = t;
        uint64_t k = 0;
        uint8_t in = 0;
        bool idle_high = (levels_ & 0x01) != 0;
        auto set_mosi = [&](bool bit) {
            if (drive_mosi)
                levels_ = static_cast<uint16_t>(bit ? (levels_ | 0x02) : (levels_ & ~0x02u));
        };
        // Drives SCK at edge k; false when adaptive clocking waits for ever.
        auto sck = [&](bool high, uint64_t te) {
            levels_ = static_cast<uint16_t>(high ? (levels_ | 0x01) : (levels_ & ~0x01u));
            update_chip(te);
            if (adaptive_ && rtck() != high) {
                stalled_ = true;
                t = te;
                return false;
            }
            return true;
        };
        for (int i = 0; i < nbits; i++) {
            bool bit = (out >> (7 - i)) & 1;
            uint64_t te = edge(t0, k);
            if (!three_phase_)
                set_mosi(bit);
            if (idle_high) {
                if (!sck(false, te))  // falling edge first
                    return in;
            } else {
                update_chip(te);
            }
            k++;
            te = edge(t0, k);
            bool sampled = miso_pin();
            if (!sck(true, te))  // rising edge: sample
                return in;
            in = static_cast<uint8_t>((in << 1) | (sampled ? 1 : 0));
            k++;
            te = edge(t0, k);
            if (three_phase_) {
                set_mosi(bit);
                if (idle_high)
                    update_chip(te);
                k++;
            }
            if (!idle_high && !sck(false, te))
                return in;
        }
        t = edge(t0, k);
        return in;
    }

    bool driven(int pin) const { return pin >= 0 && (dirs_ >> pin) & 1; }
    bool level(int pin) const { return (levels_ >> pin) & 1; }

    void update_chip(uint64_t t)
    {
        bool enabled = config_.enable_pin < 0 || (driven(config_.enable_pin) && !level(config_.enable_pin));
        chip_inputs in;
        in.sck = enabled && driven(0) && level(0);
        in.mosi = enabled && driven(1) && level(1);
        in.reset = !(enabled && driven(config_.reset_pin)) || level(config_.reset_pin);
        in.xtal = false;
        in.powered = true;
        bool changed = !sent_ || in.sck != pins_.sck || in.mosi != pins_.mosi || in.reset != pins_.reset;
        pins_ = in;
        if (changed && chip_) {
            chip_->set_inputs(in, chip_time(t));
            sent_ = true;
        }
    }

    void trace_bytes(const uint8_t *p, size_t n)
    {
        if (config_.trace_path.empty())
            return;
        std::string line = "mpsse";
        char hex[4];
        for (size_t i = 0; i < n; i++) {
            std::snprintf(hex, sizeof hex, " %02X", p[i]);
            line += hex;
        }
        trace("%s", line.c_str());
    }

#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    void trace(const char *format, ...)
    {
        if (config_.trace_path.empty())
            return;
        if (!trace_)
            trace_ = std::fopen(config_.trace_path.c_str(), "a");
        if (!trace_)
            return;
        va_list args;
        va_start(args, format);
        std::vfprintf(trace_, format, args);
        va_end(args);
        std::fputc('\n', trace_);
        std::fflush(trace_);
    }

    struct ready_time {
        uint64_t produced;
        uint64_t flushed;
    };

    ft2232_config config_;
    std::shared_ptr<avr_chip> chip_;
    uint8_t mode_ = 0;
    uint16_t levels_ = 0;
    uint16_t dirs_ = 0;
    uint16_t divisor_ = 0;
    uint8_t latency_timer_ = 16;
    uint64_t timeline_ = 0;
    std::vector<uint8_t> pending_;
    std::deque<uint8_t> answer_;
    std::deque<ready_time> ready_;
    bool mpsse_;
    bool high_speed_;
    bool divide_by_5_ = true;
    bool three_phase_ = false;
    bool adaptive_ = false;
    bool stalled_ = false;
    // Bytes received from the host and taken by the engine, with the times they were taken.
    struct progress {
        uint64_t t;
        uint64_t bytes;
    };
    uint64_t received_total_ = 0;
    uint64_t taken_total_ = 0;
    uint64_t taken_base_ = 0;
    std::deque<progress> taken_;
    uint64_t round_trips_ = 0;
    uint32_t reads_ = 0;
    bool short_read_done_ = false;
    uint32_t writes_ = 0;
    chip_inputs pins_;
    bool sent_ = false;
    std::FILE *trace_ = nullptr;
};

}  // namespace

std::unique_ptr<virtual_ft2232> make_virtual_ft2232(const ft2232_config &config, std::shared_ptr<avr_chip> chip)
{
    return std::unique_ptr<virtual_ft2232>(new ft2232_impl(config, std::move(chip)));
}

}  // namespace vt
