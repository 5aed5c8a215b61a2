// Port registers through the processor's I/O instructions.
#include "adapters/lpt.h"

#include "os/os.h"
#include "base/messages.h"

lpt_io_t::lpt_io_t(uint32_t base) : base(base)
{
    msg_print(msg_out, MSG_DEBUG, "\t%% Direct I/O interface activated\n");
    init_port();
}

lpt_io_t::~lpt_io_t() {}

uint8_t lpt_io_t::read_reg(uint8_t offset)
{
    return os::port_in(base + offset);
}

void lpt_io_t::write_reg(uint8_t offset, uint8_t value)
{
    os::port_out(base + offset, value);
}

void lpt_io_t::write_data_block(const uint8_t *bytes, uint32_t count)
{
    os::port_out_block(base, bytes, count);
}
