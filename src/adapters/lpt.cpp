// Parallel port: direction probe, write-cycle measurement and port selection.
#include "adapters/lpt.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "os/os.h"
#include "base/messages.h"
#include "base/timer.h"

const uint32_t lpt_base_addresses[3] = {0x378, 0x278, 0x3BC};

namespace {

[[noreturn]] void invalid_port_value()
{
    fail(EXIT_USAGE, "Invalid value for switch -p\n");
}

// The highest base whose three registers still lie in the 16-bit I/O space.
constexpr uint32_t max_base_address = 0xFFFD;

}  // namespace

lpt_t::~lpt_t() {}

void lpt_t::init_port()
{
    bidirectional = true;
    uint8_t control = read_reg(LPT_CONTROL);
    // interrupts off, data lines to input
    write_reg(LPT_CONTROL, static_cast<uint8_t>((control & 0xCF) | LPT_CTRL_BIDIR));
    control = read_reg(LPT_CONTROL);
    if (control & LPT_CTRL_BIDIR)
        write_reg(LPT_CONTROL, static_cast<uint8_t>(control & ~LPT_CTRL_BIDIR));
    else
        bidirectional = false;
    measure_write_cycle();
}

void lpt_t::set_data_output()
{
    uint8_t control = read_reg(LPT_CONTROL);
    write_reg(LPT_CONTROL, static_cast<uint8_t>(control & ~LPT_CTRL_BIDIR));
}

long double lpt_t::measure_block_time(const uint8_t *buffer, uint32_t n)
{
    long double best = 1000.0L;
    os_timer_t timer;
    for (int i = 0; i < 100; i++) {
        timer.start();
        write_data_block(buffer, n);
        timer.stop();
        long double t = timer.elapsed_ms();
        if (t < best)
            best = t;
    }
    return best;
}

void lpt_t::measure_write_cycle()
{
    // The writes repeat what the data lines hold, so the cable sees nothing.
    const uint32_t long_run = 1000;
    std::vector<uint8_t> buffer(long_run, read_reg(LPT_DATA));
    long double t100 = measure_block_time(buffer.data(), 100);
    long double t4 = measure_block_time(buffer.data(), 4);
    long double cycle = (t100 - t4) * 1000.0L / 96.0L;
    if (!(cycle > 0.0L && static_cast<float>(cycle) > 0.0f)) {
        // Timer too coarse for 96 writes: try ten times as many.
        msg_print(msg_out, MSG_DEBUG,
                  "\t%% LPT write cycle not measurable with 96 writes, measuring %u writes\n",
                  static_cast<unsigned>(long_run - 4));
        long double t_long = measure_block_time(buffer.data(), long_run);
        t4 = measure_block_time(buffer.data(), 4);
        cycle = (t_long - t4) * 1000.0L / (long_run - 4);
    }
    if (!(cycle > 0.0L && static_cast<float>(cycle) > 0.0f)) {
        cycle = LPT_FALLBACK_CYCLE_US;
        msg_print(msg_out, MSG_DEBUG, "\t%% LPT write cycle not measurable, assuming %s\n",
                  format_time(cycle, 2));
    }
    write_cycle_us = static_cast<float>(cycle);
}

lpt_port_choice_t parse_lpt_port(const char *port_spec)
{
    lpt_port_choice_t choice;
    if (!port_spec) {
        choice.lpt_number = 2;
        choice.by_default = true;
    } else {
        std::string value(port_spec);
        size_t comma = value.find(',');
        if (comma != std::string::npos) {
            value.resize(comma);
            msg_print(msg_out, MSG_WARNING, "warning: forced LPT cycle time will be ignored\n");
        }
        if (!value.empty() && value[0] == '/') {
            // a device file, where the system has them
            if (os::parallel_port_access() != os::port_access::ppdev || value.compare(0, 5, "/dev/") != 0)
                invalid_port_value();
            choice.device = value;
            msg_print(msg_out, MSG_DEBUG, "\t%% LPT device %s\n", value.c_str());
            return choice;
        }
        unsigned int number = 0;
        if (sscanf(value.c_str(), "%X", &number) != 1)
            invalid_port_value();
        if (number == 0 || (number >= 4 && number <= 0xFF) || number > max_base_address)
            invalid_port_value();
        if (number <= 3)
            choice.lpt_number = static_cast<int>(number);
        else
            choice.base = number;
    }
    if (choice.lpt_number) {
        msg_print(msg_out, MSG_DEBUG, "\t%% LPT port number %d\n", choice.lpt_number);
        choice.base = lpt_base_addresses[choice.lpt_number - 1];
    }
    msg_print(msg_out, MSG_DEBUG, "\t%% LPT base address 0x%3X\n", choice.base);
    return choice;
}

std::string lpt_port_name(const lpt_port_choice_t &choice)
{
    if (!choice.device.empty())
        return choice.device;
    char text[64];
    if (choice.lpt_number > 0)
        snprintf(text, sizeof text, "LPT%d (0x%X)", choice.lpt_number, choice.base);
    else
        snprintf(text, sizeof text, "at 0x%X", choice.base);
    return text;
}

namespace {

std::unique_ptr<lpt_t> load_dlportio(const lpt_port_choice_t &choice)
{
    std::unique_ptr<dlportio_dll_t> library(new dlportio_dll_t());
    return std::unique_ptr<lpt_t>(new lpt_dlportio_t(std::move(library), choice.base));
}

// Where the library stands in for missing port devices: name the port that could
// not be reached at all.
std::unique_ptr<lpt_t> open_dlportio(const lpt_port_choice_t &choice)
{
    try {
        return load_dlportio(choice);
    } catch (const app_error &error) {
        fail(error.exit_code, "Can't open parallel port %s: %s\n", lpt_port_name(choice).c_str(),
             error.what());
    }
}

std::unique_ptr<lpt_t> open_platform_port(const lpt_port_choice_t &choice, const os::ppdev_dirs_t &dirs)
{
    switch (os::parallel_port_access()) {
    case os::port_access::direct_io:
        return std::unique_ptr<lpt_t>(new lpt_io_t(choice.base));
    case os::port_access::driver_library:
        return load_dlportio(choice);
    case os::port_access::ppdev:
        break;
    }
    return open_ppdev_port(choice, dirs, open_dlportio);
}

}  // namespace

std::unique_ptr<lpt_t> select_lpt_port(const char *port_spec, const lpt_access_t &access)
{
    lpt_port_choice_t choice = parse_lpt_port(port_spec);
    std::unique_ptr<lpt_t> port =
        access.opener ? access.opener(choice) : open_platform_port(choice, access.ppdev_dirs);
    port->set_data_output();
    msg_print(msg_out, MSG_DEBUG, "\t%% LPT write cycle %s\n", format_time(port->write_cycle_us, 2));
    return port;
}
