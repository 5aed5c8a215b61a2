#include "adapters/lpt_cables.h"

namespace {

struct cable_text_t {
    lpt_cable_t cable;
    const char *pins;
};

// Status lines as the port reads them: BUSY inverted, so "miso=BUSY" fills
// the low mask and the adapter complements what it reads; "~ALF" is the
// line high (register bit set) while active.
const cable_text_t cable_texts[] = {
    {lpt_cable_t::fbprg, "name=FBPRG:mosi=D5:miso=ACK:sck=D6:reset=D4:xtal=D3"},
    {lpt_cable_t::fbprg_tristate, "enable=~BIDIR_EN"},
    {lpt_cable_t::fbprg_power, "power=D0,D1,D2,D7"},
    {lpt_cable_t::byteblaster, "name=ByteBlaster:mosi=D6:miso=BUSY:sck=D0:reset=D1:xtal=D3:enable=~ALF"},
    {lpt_cable_t::byteblaster_ii,
     "name=ByteBlasterII:mosi=D6:miso=BUSY:sck=D0:reset=D1:xtal=D2:enable=D4,D5,D7,INIT,STROBE,ALF,SELECT"},
    {lpt_cable_t::stk, "name=STK:mosi=D5:miso=ACK:sck=D4:reset=D7:enable=~D2,~D3,~D6"},
    {lpt_cable_t::stk_xtal, "name=STK:mosi=D5:miso=ACK:sck=D4:reset=D7:xtal=D6:enable=~D2,~D3"},
    {lpt_cable_t::xilinx, "name=XILINX:mosi=D0:miso=ONLINE:sck=D1:reset=D2:set=D4:enable=~D3"},
};

}  // namespace

const char *lpt_cable_pins(lpt_cable_t cable)
{
    for (const cable_text_t &text : cable_texts)
        if (text.cable == cable)
            return text.pins;
    return "";
}

void add_lpt_cable(pin_map_t &map, lpt_cable_t cable)
{
    parse_pin_entries(map, lpt_cable_pins(cable), lpt_pin_table);
}
