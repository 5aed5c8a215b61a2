// A PC parallel port with a programming cable and a chip behind it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vtarget/avr_chip.h"

namespace vt {

enum class cable_kind {
    none,            // nothing attached to the port
    fbprg,           // wires only: MOSI D5, SCK D6, RESET D4, XTAL D3, MISO ACK
    byteblaster,
    byteblaster_mv,
    byteblaster_ii,
    stk200,
    stk300,
    xilinx,
    custom,          // wiring given in lpt_config::wiring
};

struct lpt_config {
    cable_kind cable = cable_kind::fbprg;
    bool bidirectional = true;       // the control register's direction bit works
    bool power_from_port = false;    // fbprg: chip supplied from D0,D1,D2,D7
    uint32_t write_cycle_ns = 0;     // each register access takes at least this long (0: as fast as the host)
    std::string wiring;              // custom cable, e.g. "mosi=D5,sck=D6,reset=~D4,miso=ACK"
};

class virtual_lpt {
public:
    virtual ~virtual_lpt() {}
    virtual uint8_t read_reg(uint8_t offset) = 0;           // 0 data, 1 status, 2 control
    virtual void write_reg(uint8_t offset, uint8_t value) = 0;
    virtual void write_data_block(const uint8_t *bytes, uint32_t count) = 0;
    // What the chip sees now (its input pins), for tests and traces.
    virtual chip_inputs target_pins() const = 0;
};

// Throws std::invalid_argument for a custom wiring that cannot be read.
std::unique_ptr<virtual_lpt> make_virtual_lpt(const lpt_config &config, std::shared_ptr<avr_chip> chip);

// Cable names: none, fbprg, byteblaster, byteblaster_mv, byteblaster_ii, stk200, stk300, xilinx
// (any case). False for an unknown name.
bool parse_cable_kind(const std::string &name, cable_kind &kind);
const char *cable_kind_name(cable_kind kind);

// Port settings from the environment:
//   VT_CABLE          a cable name, or a wiring text (custom cable), default fbprg
//   VT_PORT_POWER     1: the fbprg cable powers the chip from D0,D1,D2,D7
//   VT_BIDIR          0: the port has no working direction bit (default 1)
//   VT_PORT_CYCLE_NS  duration of one register access in ns (default 0)
// Throws std::invalid_argument naming the variable on a bad value.
lpt_config lpt_config_from_env();

}  // namespace vt
