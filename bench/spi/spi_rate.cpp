// Measures the SPI bit rate that the bit-banged adapter reaches on the virtual
// parallel port and compares it with what the port allows: one SPI bit needs
// at least one write with SCK low, one with SCK high and one status read, each
// taking the port's access cycle.
//
//   bench_spi_lpt [cycle_ns [bytes [rounds]]]   defaults: 1000 ns, 20000 bytes, 5
//
// The bare port doing exactly those three accesses per bit is timed alongside,
// because on a loaded machine the virtual port itself falls short of its nominal
// cycle. Prints one line per cable and a summary line; exits 1 when the adapter
// takes more than 1.1 times the time the bound allows (the nominal cycle).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "adapters/lpt.h"
#include "adapters/lpt_adapter.h"
#include "adapters/spi.h"
#include "base/messages.h"
#include "support/virtual_port.h"
#include "vtarget/avr_chip.h"
#include "vtarget/virtual_lpt.h"

namespace {

struct bench_case {
    const char *name;
    vt::cable_kind kind;
    const char *letters;
    uint8_t sck;  // the cable's SCK data line
};

// Rate of the port itself doing the least one SPI bit needs: a write with SCK
// low, a write with SCK high, a status read. Bits per second.
double raw_port_rate(vt::virtual_lpt &port, uint8_t sck, unsigned long bits)
{
    const uint8_t wave[2] = {0x00, sck};
    uint8_t sink = 0;
    auto start = std::chrono::steady_clock::now();
    for (unsigned long i = 0; i < bits; i++) {
        port.write_data_block(wave, 2);
        sink ^= port.read_reg(1);
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    port.write_reg(0, sink & 0);
    return bits / seconds;
}

double adapter_rate(spi_t &spi, const std::vector<uint8_t> &data)
{
    uint8_t sink = 0;
    auto start = std::chrono::steady_clock::now();
    for (uint8_t byte : data)
        sink ^= spi.transfer_byte(byte);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    spi.write_byte(sink);
    return 8.0 * data.size() / seconds;
}

}  // namespace

int main(int argc, char **argv)
{
    unsigned long cycle_ns = argc > 1 ? strtoul(argv[1], nullptr, 10) : 1000;
    unsigned long bytes = argc > 2 ? strtoul(argv[2], nullptr, 10) : 20000;
    int rounds = argc > 3 ? atoi(argv[3]) : 5;
    if (cycle_ns == 0 || bytes == 0 || rounds < 1) {
        fprintf(stderr, "usage: %s [cycle_ns [bytes [rounds]]]\n", argv[0]);
        return 2;
    }
    msg_out.level = MSG_WARNING;

    const bench_case cases[] = {
        {"FBPRG", vt::cable_kind::fbprg, nullptr, 0x40},
        {"ByteBlaster", vt::cable_kind::byteblaster, "b", 0x01},
        {"STK200", vt::cable_kind::stk200, "s", 0x10},
    };
    // SCK low write, SCK high write, status read at the nominal cycle
    double bound = 1e9 / (3.0 * cycle_ns);
    double worst = 0, worst_port = 0;
    printf("port cycle %lu ns: bound %.1f kbit/s; %lu bytes per run, best of %d runs\n", cycle_ns,
           bound / 1000, bytes, rounds);
    std::vector<uint8_t> data(bytes);
    for (unsigned long i = 0; i < bytes; i++)
        data[i] = static_cast<uint8_t>(i * 37 + 11);

    for (const bench_case &c : cases) {
        vt::chip_config chip_config;
        chip_config.chip = "mega8";
        chip_config.clock_khz = 40000;
        std::shared_ptr<vt::avr_chip> chip = vt::make_chip(chip_config);
        vt::lpt_config port_config;
        port_config.cable = c.kind;
        port_config.write_cycle_ns = static_cast<uint32_t>(cycle_ns);

        adapter_settings_t settings;
        settings.adapter_text = c.letters;
        settings.osc_khz = 40000;  // the fastest SCK the adapter makes: one write per phase
        settings.sck_low_periods = settings.sck_high_periods = 3;
        settings.lpt.opener = [&](const lpt_port_choice_t &) {
            return std::unique_ptr<lpt_t>(new virtual_port(vt::make_virtual_lpt(port_config, chip)));
        };
        std::unique_ptr<spi_t> spi = create_lpt_adapter(settings).spi;
        if (spi->has_enable())
            spi->enable_adapter();
        spi->set_reset(true);
        std::unique_ptr<vt::virtual_lpt> raw = vt::make_virtual_lpt(port_config, nullptr);

        // interleaved, so that both see the same load on the machine
        double best_raw = 0, best_adapter = 0;
        for (int r = 0; r < rounds; r++) {
            best_raw = std::max(best_raw, raw_port_rate(*raw, c.sck, 8 * bytes));
            best_adapter = std::max(best_adapter, adapter_rate(*spi, data));
        }
        // time per bit, adapter against bound and against the bare port: 1.0 is as fast
        double ratio_bound = bound / best_adapter;
        double ratio_port = best_raw / best_adapter;
        worst = std::max(worst, ratio_bound);
        worst_port = std::max(worst_port, ratio_port);
        printf("%-12s adapter %8.1f kbit/s (reports %.1f kHz SCK), bare port %8.1f kbit/s;"
               " adapter takes %.3fx the bound's time, %.3fx the bare port's\n",
               c.name, best_adapter / 1000, static_cast<double>(spi->spi_frequency()) * 1000,
               best_raw / 1000, ratio_bound, ratio_port);
        spi.reset();
    }
    printf("summary: at %lu ns per port access the adapter takes at worst %.3fx the time the port's"
           " bound allows (%.3fx the bare port's); target 1.100x: %s\n",
           cycle_ns, worst, worst_port, worst <= 1.1 ? "met" : "MISSED");
    return worst <= 1.1 ? 0 : 1;
}
