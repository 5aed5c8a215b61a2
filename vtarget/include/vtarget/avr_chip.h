// A classic AVR's serial programming interface, modelled at its pins.
// Independent of morvin: includes nothing from src/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vt {

// Levels of the chip's input pins (true = high).
struct chip_inputs {
    bool reset = true;   // RESET pin level; low = held in reset (programming mode)
    bool sck = false;
    bool mosi = false;
    bool xtal = false;   // only used when the chip is clocked from its XTAL pin
    bool powered = true; // supply present
};

struct chip_counters {
    uint64_t commands = 0;        // complete 4-byte commands seen
    uint64_t spi_bits = 0;        // SCK rising edges while in programming mode
    uint64_t busy_ns = 0;         // total time spent in write/erase busy periods
    uint64_t lower_bound_ns = 0;  // SPI bits at the achieved SCK plus write/erase times
};

class avr_chip {
public:
    virtual ~avr_chip() {}
    // New pin levels at host time t_ns (monotonic, never decreasing).
    virtual void set_inputs(const chip_inputs &inputs, uint64_t t_ns) = 0;
    // MISO level as driven now.
    virtual bool miso() const = 0;
    virtual const chip_counters &counters() const = 0;
};

}  // namespace vt
