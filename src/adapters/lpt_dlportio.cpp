// Port registers through the DLPortIO driver library.
#include "adapters/lpt.h"

#include "base/messages.h"

dlportio_dll_t::dlportio_dll_t() : dll_t("DLportIO.dll")
{
    write_port_uchar = reinterpret_cast<write_uchar_t>(symbol("DlPortWritePortUchar"));
    read_port_uchar = reinterpret_cast<read_uchar_t>(symbol("DlPortReadPortUchar"));
    write_port_buffer_uchar =
        reinterpret_cast<write_buffer_uchar_t>(symbol("DlPortWritePortBufferUchar"));
    msg_print(msg_out, MSG_DEBUG,
              "\t%% DLportIO.dll succesfully loaded, DLportIO.sys interface activated\n");
}

lpt_dlportio_t::lpt_dlportio_t(std::unique_ptr<dlportio_dll_t> library, uint32_t base)
    : library(std::move(library)), base(base)
{
    init_port();
}

lpt_dlportio_t::~lpt_dlportio_t() {}

uint8_t lpt_dlportio_t::read_reg(uint8_t offset)
{
    return library->read_port_uchar(base + offset);
}

void lpt_dlportio_t::write_reg(uint8_t offset, uint8_t value)
{
    library->write_port_uchar(base + offset, value);
}

void lpt_dlportio_t::write_data_block(const uint8_t *bytes, uint32_t count)
{
    library->write_port_buffer_uchar(base, bytes, count);
}
