// A classic AVR's serial programming interface, modelled at its pins.
// Independent of morvin: includes nothing from src/.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vt {

struct chip_facts;

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
    uint64_t sck_period_ns = 0;   // shortest complete SCK cycle seen (the achieved SCK)
    uint64_t missed_edges = 0;    // SCK pulses lost because a phase was too short
    uint64_t ignored_busy = 0;    // programming commands ignored while busy
    uint64_t busy_bits = 0;       // of spi_bits, those clocked while a write or erase ran
};

// Faults on demand.
struct chip_faults {
    bool absent = false;          // no chip: MISO stuck at absent_level
    bool absent_level = true;
    bool never_sync = false;      // never recognises Programming Enable
    unsigned offset_bits = 0;     // starts out of step by this many bits
    uint64_t lose_after = 0;      // after this many commands one SCK edge is lost (0 = never)
    bool stuck_write = false;     // writes and erases never finish
    uint64_t stuck_after = 0;     // writes and erases started after this many commands never finish
    uint64_t interrupt_after = 0; // the host process gets SIGINT (Ctrl-C) at this command
    // flash byte address -> bits that stay 1 whatever is written
    std::vector<std::pair<uint32_t, uint8_t>> bad_bits;
};

struct chip_config {
    std::string chip = "mega328P"; // any name of the chip
    uint32_t clock_khz = 8000;     // the chip's own oscillator; 0 = clocked by the XTAL pin
    std::string state_file;        // flash, EEPROM, fuses, lock bits persist here ("" = none)
    std::string trace_file;        // one line per command seen ("" = none)
    std::string counters_file;     // counters written when the chip is destroyed ("" = none)
    chip_faults faults;
};

// Configuration from the environment: VT_CHIP, VT_CLOCK_KHZ, VT_STATE, VT_TRACE, VT_COUNTERS,
// VT_FAULT (comma-separated: absent[=0|1], never_sync, offset=K, lose_after=N, stuck_write,
// bad_bits=ADDR:MASK, repeatable). Throws std::invalid_argument on a malformed value.
chip_config chip_config_from_env();
// Parses a VT_FAULT value into faults. Throws std::invalid_argument.
void parse_chip_faults(const std::string &text, chip_faults &faults);

class avr_chip {
public:
    virtual ~avr_chip() {}
    // New pin levels at host time t_ns (monotonic, never decreasing).
    virtual void set_inputs(const chip_inputs &inputs, uint64_t t_ns) = 0;
    // MISO level as driven now.
    virtual bool miso() const = 0;
    virtual const chip_counters &counters() const = 0;

    // The facts of the modelled chip.
    virtual const chip_facts &facts() const = 0;
    // Contents (byte addresses; flash and EEPROM addresses wrap at the memory size).
    virtual uint8_t flash(uint32_t address) const = 0;
    virtual void set_flash(uint32_t address, uint8_t value) = 0;
    virtual uint8_t eeprom(uint32_t address) const = 0;
    virtual void set_eeprom(uint32_t address, uint8_t value) = 0;
    virtual uint8_t fuse(unsigned index) const = 0;         // 0 low, 1 high, 2 extended
    virtual void set_fuse(unsigned index, uint8_t value) = 0;
    virtual uint8_t lock_byte() const = 0;
    virtual void set_lock_byte(uint8_t value) = 0;
    virtual uint8_t calibration(unsigned index) const = 0;
    // True while a write or erase started before t_ns is still running.
    virtual bool busy(uint64_t t_ns) const = 0;
    // True once the chip has accepted Programming Enable since the last reset.
    virtual bool programming_enabled() const = 0;
    // Writes the state file and the counters file now (also done on destruction).
    virtual void save() = 0;
};

// A chip as configured. Throws std::invalid_argument for an unknown chip name and
// std::runtime_error when the state file cannot be read or written.
std::shared_ptr<avr_chip> make_chip(const chip_config &config);

}  // namespace vt
