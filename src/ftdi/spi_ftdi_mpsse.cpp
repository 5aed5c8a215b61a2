#include "ftdi/spi_ftdi_mpsse.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "base/messages.h"
#include "base/timer.h"

namespace {

// MPSSE commands.
enum : uint8_t {
    MPSSE_BYTES_OUT = 0x11,     // clock bytes out on the falling edge, MSB first
    MPSSE_BITS_OUT = 0x13,      // clock bits out on the falling edge, MSB first
    MPSSE_BYTES_IN = 0x21,      // clock bytes in on the rising edge, MSB first
    MPSSE_BYTES_IN_OUT = 0x31,  // out on the falling, in on the rising edge
    MPSSE_SET_LOW_PINS = 0x80,
    MPSSE_SET_HIGH_PINS = 0x82,
    MPSSE_SET_DIVISOR = 0x86,
    MPSSE_SEND_IMMEDIATE = 0x87,
    // High-speed chips only (bad commands on the FT2232C/D).
    MPSSE_DIVIDE_BY_5_OFF = 0x8A,
    MPSSE_DIVIDE_BY_5_ON = 0x8B,
    MPSSE_THREE_PHASE_OFF = 0x8D,
    MPSSE_ADAPTIVE_CLOCK_OFF = 0x97,
};

constexpr uint32_t SCK_MOSI_PINS = 0x0003;  // adbus0, adbus1
// SCK = base / (divisor + 1): the 12 MHz clock halved (the FT2232C/D's only one, and
// the high-speed chips' with divide-by-5 on), or their 60 MHz clock halved.
constexpr float MPSSE_CLOCK_MHZ = 6.0f;
constexpr float MPSSE_FAST_CLOCK_MHZ = 30.0f;
constexpr uint32_t MAX_DIVISOR = 0xFFFF;
constexpr uint32_t MAX_RESET_COMMANDS = 2000;

void wait_ms(float ms)
{
    os_timer_t timer;
    timer.set_wait(ms);
    timer.wait();
}

}  // namespace

spi_ftdi_mpsse_t::spi_ftdi_mpsse_t(std::unique_ptr<ftdi_chip_t> chip_, const pin_map_t &map, float t_low,
                                   float t_high, bool high_speed)
    : sck_mhz(0), clock_divisor(0), chip(std::move(chip_)), pins(map)
{
    // The largest command: a transfer block with its header and the send-immediate.
    buffer.resize(MPSSE_MAX_TRANSFER_BLOCK + 4);

    chip->set_bit_mode(0x00, FTDI_BITMODE_MPSSE);
    chip->set_timeouts(5000, 5000);

    // The shortest SCK period allowed.
    choose_clock(2.0f * std::max(t_low, t_high), high_speed);

    // A high-speed chip keeps what an earlier program set until it is powered down:
    // adaptive clocking would stall every transfer, three-phase clocking shifts the
    // data edges. Both off, and the clock divide-by-5 as chosen.
    uint8_t setup[7];
    uint32_t n = 0;
    if (high_speed) {
        setup[n++] = clock_60mhz ? MPSSE_DIVIDE_BY_5_OFF : MPSSE_DIVIDE_BY_5_ON;
        setup[n++] = MPSSE_ADAPTIVE_CLOCK_OFF;
        setup[n++] = MPSSE_THREE_PHASE_OFF;
    }
    setup[n++] = MPSSE_SET_DIVISOR;
    setup[n++] = static_cast<uint8_t>(clock_divisor & 0xFF);
    setup[n++] = static_cast<uint8_t>(clock_divisor >> 8);
    setup[n++] = MPSSE_SEND_IMMEDIATE;
    chip->write(setup, n);
    wait_ms(20);
    chip->purge(FTDI_PURGE_RX);
}

// The fastest SCK not above 1 / period_us: from the 6 MHz base, and on a high-speed chip
// also from the 30 MHz one (finer steps; the 6 MHz base only wins where the divisor of the
// faster one no longer fits, far below 1 kHz).
void spi_ftdi_mpsse_t::choose_clock(float period_us, bool high_speed)
{
    struct choice_t {
        uint32_t divisor;
        float mhz;
        bool fits;
    };
    auto from_base = [&](float base_mhz) {
        float cycles = std::ceil(base_mhz * period_us);
        choice_t c;
        c.fits = cycles <= MAX_DIVISOR + 1.0f;
        c.divisor = !c.fits ? MAX_DIVISOR : cycles > 0 ? static_cast<uint32_t>(cycles) - 1 : 0;
        c.mhz = base_mhz / static_cast<float>(c.divisor + 1);
        return c;
    };
    choice_t slow = from_base(MPSSE_CLOCK_MHZ);
    choice_t chosen = slow;
    clock_60mhz = false;
    if (high_speed) {
        choice_t fast = from_base(MPSSE_FAST_CLOCK_MHZ);
        if (fast.fits && fast.mhz >= slow.mhz) {
            chosen = fast;
            clock_60mhz = true;
        }
    }
    if (!chosen.fits)
        msg_print(msg_out, MSG_DEBUG, "\t%% SCK divisor %.0f does not fit, the slowest clock (divisor 0x%04X) is used\n",
                  static_cast<double>(std::ceil(MPSSE_CLOCK_MHZ * period_us)) - 1, MAX_DIVISOR);
    clock_divisor = static_cast<uint16_t>(chosen.divisor);
    sck_mhz = chosen.mhz;
}

spi_ftdi_mpsse_t::~spi_ftdi_mpsse_t()
{
    // Leave MPSSE mode: every pin an input. A failure has been reported already
    // and must not leave the destructor.
    try {
        chip->set_bit_mode(0x00, FTDI_BITMODE_RESET);
    } catch (const app_error &) {
    }
}

uint32_t spi_ftdi_mpsse_t::driven_pins() const
{
    return pins.signals[SIG_RESET].high_mask | pins.signals[SIG_ENABLE].high_mask | SCK_MOSI_PINS;
}

// A byte command at the start of the buffer: the command, count - 1 low byte first, then
// the bytes to clock out (none for a read). Returns the bytes put.
uint32_t spi_ftdi_mpsse_t::put_block_command(const char *operation, uint32_t limit, uint8_t command,
                                             const uint8_t *out, uint32_t count)
{
    if (count > limit)
        fail(EXIT_USAGE, "FT2232 %s of %lu bytes is longer than %lu bytes\n", operation, (unsigned long)count,
             (unsigned long)limit);
    uint32_t length = count - 1;
    buffer[0] = command;
    buffer[1] = static_cast<uint8_t>(length & 0xFF);
    buffer[2] = static_cast<uint8_t>(length >> 8);
    if (!out)
        return 3;
    memcpy(&buffer[3], out, count);
    return 3 + count;
}

uint8_t spi_ftdi_mpsse_t::transfer_byte(uint8_t value)
{
    uint8_t byte = value;
    transfer_block(&byte, &byte, 1);
    return byte;
}

void spi_ftdi_mpsse_t::write_byte(uint8_t value)
{
    write_block(&value, 1);
}

uint8_t spi_ftdi_mpsse_t::read_byte()
{
    uint8_t byte = 0;
    read_block(&byte, 1);
    return byte;
}

// Every command but a queued transfer first takes in the replies still on their way,
// so that they are never mistaken for the replies of this one.
void spi_ftdi_mpsse_t::write_command(const uint8_t *bytes, uint32_t count)
{
    collect_all();
    chip->write(bytes, count);
}

void spi_ftdi_mpsse_t::collect_all()
{
    while (!queued.empty())
        collect_transfer(queued.front().in);
}

void spi_ftdi_mpsse_t::transfer_block(const uint8_t *out, uint8_t *in, uint32_t count)
{
    if (count == 0)
        return;
    collect_all();
    queue_transfer(out, in, count);
    collect_transfer(in);
}

void spi_ftdi_mpsse_t::queue_transfer(const uint8_t *out, uint8_t *in, uint32_t count)
{
    if (count == 0)
        return;
    uint32_t n = put_block_command("transfer block", MPSSE_MAX_TRANSFER_BLOCK, MPSSE_BYTES_IN_OUT, out, count);
    buffer[n++] = MPSSE_SEND_IMMEDIATE;
    chip->write(buffer.data(), n);
    queued.push_back({in, count});
}

// Reads the replies of the queued transfers up to and including the one into in; nothing
// when that one was collected already.
void spi_ftdi_mpsse_t::collect_transfer(uint8_t *in)
{
    auto last = std::find_if(queued.begin(), queued.end(), [&](const queued_t &q) { return q.in == in; });
    if (last == queued.end())
        return;
    size_t n = static_cast<size_t>(last - queued.begin()) + 1;
    for (size_t i = 0; i < n; i++) {
        queued_t q = queued.front();
        queued.pop_front();
        chip->read(q.in, q.count);
    }
}

void spi_ftdi_mpsse_t::write_block(const uint8_t *data, uint32_t count)
{
    if (count == 0)
        return;
    uint32_t n = put_block_command("write block", MPSSE_MAX_WRITE_BLOCK, MPSSE_BYTES_OUT, data, count);
    write_command(buffer.data(), n);
}

void spi_ftdi_mpsse_t::read_block(uint8_t *in, uint32_t count)
{
    if (count == 0)
        return;
    uint32_t n = put_block_command("read block", MPSSE_MAX_READ_BLOCK, MPSSE_BYTES_IN, nullptr, count);
    buffer[n++] = MPSSE_SEND_IMMEDIATE;
    write_command(buffer.data(), n);
    chip->read(in, count);
}

void spi_ftdi_mpsse_t::set_pins(uint32_t direction, uint32_t value)
{
    const uint8_t command[] = {
        MPSSE_SET_LOW_PINS,  static_cast<uint8_t>(value & 0xFF),        static_cast<uint8_t>(direction & 0xFF),
        MPSSE_SET_HIGH_PINS, static_cast<uint8_t>((value >> 8) & 0xFF), static_cast<uint8_t>((direction >> 8) & 0xFF),
    };
    write_command(command, sizeof command);
}

void spi_ftdi_mpsse_t::set_reset(bool active)
{
    set_pins(driven_pins(), active ? 0 : pins.signals[SIG_RESET].high_mask);
}

void spi_ftdi_mpsse_t::enable_adapter()
{
    set_pins(driven_pins(), pins.signals[SIG_RESET].high_mask);
}

void spi_ftdi_mpsse_t::disable_adapter()
{
    set_pins(0, 0);
}

// RESET high for n pin commands, then low again; n grows with the SCK period.
void spi_ftdi_mpsse_t::pulse_reset()
{
    long double n_real = std::ceil(static_cast<long double>(0.6f) / spi_frequency());
    uint32_t n = 1;
    if (n_real > MAX_RESET_COMMANDS)
        n = MAX_RESET_COMMANDS;
    else if (n_real > 1)
        n = static_cast<uint32_t>(n_real);

    uint32_t reset = pins.signals[SIG_RESET].high_mask;
    uint32_t enable = pins.signals[SIG_ENABLE].high_mask;
    uint8_t command, value, direction;
    if (reset & 0xFF) {
        command = MPSSE_SET_LOW_PINS;
        value = static_cast<uint8_t>(reset & 0xFF);
        direction = static_cast<uint8_t>((reset | enable | SCK_MOSI_PINS) & 0xFF);
    } else {
        command = MPSSE_SET_HIGH_PINS;
        value = static_cast<uint8_t>((reset >> 8) & 0xFF);
        direction = static_cast<uint8_t>(((reset | enable) >> 8) & 0xFF);
    }
    uint32_t length = 0;
    for (uint32_t i = 0; i < n; i++) {
        buffer[length++] = command;
        buffer[length++] = value;
        buffer[length++] = direction;
    }
    buffer[length++] = command;
    buffer[length++] = 0;
    buffer[length++] = direction;
    write_command(buffer.data(), length);
}

void spi_ftdi_mpsse_t::pulse_sck()
{
    const uint8_t command[] = {MPSSE_BITS_OUT, 0x01, 0x00};
    write_command(command, sizeof command);
}

// Queued replies keep coming in meanwhile; the wait does not need them.
void spi_ftdi_mpsse_t::delay_ms(float ms)
{
    wait_ms(ms);
}
