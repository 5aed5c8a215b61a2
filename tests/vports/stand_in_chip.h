// A minimal SPI slave behind the virtual ports: while RESET is low it shifts in MOSI on the
// rising SCK edge and answers each byte with the byte it received before (the first answer
// is 0x00). It records every pin change with its time.
#pragma once

#include <cstdint>
#include <vector>

#include "vtarget/avr_chip.h"

namespace vt {
struct chip_facts;
}

struct pin_event {
    vt::chip_inputs in;
    uint64_t t_ns;
};

class stand_in_chip : public vt::avr_chip {
public:
    void set_inputs(const vt::chip_inputs &in, uint64_t t_ns)
    {
        if (!events.empty() && t_ns < events.back().t_ns)
            time_went_back = true;
        bool active = in.powered && !in.reset;
        if (!active) {
            rx_ = tx_ = 0;
            bits_ = 0;
        } else if (active_before_) {
            if (in.sck && !last_.sck) {
                rx_ = static_cast<uint8_t>((rx_ << 1) | (in.mosi ? 1 : 0));
                bits_++;
                rising_edges++;
            } else if (!in.sck && last_.sck) {
                if (bits_ == 8) {
                    received.push_back(rx_);
                    tx_ = rx_;
                    bits_ = 0;
                } else {
                    tx_ = static_cast<uint8_t>(tx_ << 1);
                }
            }
        }
        active_before_ = active;
        last_ = in;
        events.push_back({in, t_ns});
    }

    bool miso() const { return (in_programming() && (tx_ & 0x80)) || !in_programming(); }
    const vt::chip_counters &counters() const { return counters_; }
    // The chip's content interface: nothing behind it. (No 'override' on purpose: the
    // stand-in compiles whether or not the interface declares these yet.)
    const vt::chip_facts &facts() const { return *facts_; }
    uint8_t flash(uint32_t) const { return 0xFF; }
    void set_flash(uint32_t, uint8_t) {}
    uint8_t eeprom(uint32_t) const { return 0xFF; }
    void set_eeprom(uint32_t, uint8_t) {}
    uint8_t fuse(unsigned) const { return 0xFF; }
    void set_fuse(unsigned, uint8_t) {}
    uint8_t lock_byte() const { return 0xFF; }
    void set_lock_byte(uint8_t) {}
    uint8_t calibration(unsigned) const { return 0xFF; }
    bool busy(uint64_t) const { return false; }
    bool programming_enabled() const { return in_programming(); }
    void save() {}

    bool in_programming() const { return last_.powered && !last_.reset; }
    const vt::chip_inputs &pins() const { return last_; }

    // Shortest time between consecutive SCK edges seen.
    uint64_t shortest_sck_phase() const
    {
        uint64_t best = UINT64_MAX, last_edge = 0;
        bool have = false;
        for (size_t i = 1; i < events.size(); i++) {
            if (events[i].in.sck == events[i - 1].in.sck)
                continue;
            if (have && events[i].t_ns - last_edge < best)
                best = events[i].t_ns - last_edge;
            last_edge = events[i].t_ns;
            have = true;
        }
        return best;
    }

    std::vector<pin_event> events;
    std::vector<uint8_t> received;
    int rising_edges = 0;
    bool time_went_back = false;

private:
    vt::chip_inputs last_;
    bool active_before_ = false;
    uint8_t rx_ = 0, tx_ = 0;
    int bits_ = 0;
    vt::chip_counters counters_;
    const vt::chip_facts *facts_ = nullptr;
};
