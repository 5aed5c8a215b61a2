#include "adapters/lpt_detect.h"

#include "adapters/lpt.h"
#include "base/messages.h"
#include "base/timer.h"

namespace {

// Status reads during detection wait for the cable's lines to settle.
class settled_port {
public:
    explicit settled_port(lpt_t &port) : port(port) { settle.set_wait(0.01f); }
    void write_data(uint8_t value) { port.write_reg(LPT_DATA, value); }
    uint8_t status()
    {
        settle.wait();
        return port.read_reg(LPT_STATUS);
    }
    void alf_off()
    {
        uint8_t control = port.read_reg(LPT_CONTROL);
        port.write_reg(LPT_CONTROL, static_cast<uint8_t>(control & ~LPT_CTRL_ALF));
    }
    lpt_t &port;

private:
    os_timer_t settle;
};

enum : uint8_t {
    ST_ERROR = 0x08,
    ST_PE = 0x20,
    ST_ACK = 0x40,
    ST_BUSY = 0x80,
};

}  // namespace

byteblaster_t detect_byteblaster(lpt_t &lpt)
{
    settled_port port(lpt);
    byteblaster_t found = byteblaster_t::none;
    port.alf_off();
    port.write_data(0xFF);
    uint8_t s = port.status();
    bool variant_ii = false;
    if (s & ST_ACK) {
        port.write_data(0xEF);
        uint8_t s2 = port.status();
        if (!(s2 & (ST_ERROR | ST_ACK))) {
            lpt.write_reg(LPT_CONTROL, 0x0B);
            port.write_data(0x00);
            variant_ii = true;
            found = byteblaster_t::ii;
        }
    }
    if (!variant_ii) {
        port.write_data(0x5F);
        uint8_t s1 = port.status();
        port.write_data(0xFF);
        uint8_t s2 = port.status();
        if (!(s1 & (ST_PE | ST_ACK)) && (s2 & (ST_PE | ST_ACK)) == (ST_PE | ST_ACK))
            found = (s1 & ST_ERROR) ? byteblaster_t::mv : byteblaster_t::plain;
    }
    static const char *const names[] = {" not", "", "MV", "-II"};
    msg_print(msg_out, MSG_DEBUG, "\t%% ByteBlaster%s found\n", names[static_cast<int>(found)]);
    return found;
}

uint8_t detect_stk(lpt_t &lpt)
{
    settled_port port(lpt);
    port.alf_off();
    port.write_data(0x0D);
    uint8_t s1 = port.status();
    uint8_t found = (s1 & ST_PE) ? (STK200_FOUND | STK300_FOUND) : STK300_FOUND;
    if (!(s1 & ST_BUSY))
        found &= ~STK300_FOUND;
    port.write_data(0x0E);
    uint8_t s2 = port.status();
    if (s2 & ST_PE)
        found &= ~STK200_FOUND;
    if (s2 & ST_BUSY)
        found &= ~STK300_FOUND;
    static const char *const names[] = {" not", "200", "300", "*00"};
    msg_print(msg_out, MSG_DEBUG, "\t%% Atmel adapter for STK%s found\n", names[found]);
    return found;
}
