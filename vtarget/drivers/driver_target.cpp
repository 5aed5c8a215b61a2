// Chip ownership for the drop-in libraries.
#include "driver_target.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace vtd {
namespace {

struct target_state {
    vtd::spin_lock lock;
    std::shared_ptr<vt::avr_chip> chip;
    bool tried = false;
    uint64_t usb_round_trips = 0;
    bool usb_used = false;
    uint64_t port_accesses = 0;
    bool port_used = false;

    // Library unload (or process end): the chip writes its state file and counters as it is
    // destroyed (every other holder is gone by now), then the USB and port lines are added.
    ~target_state()
    {
        if (!chip)
            return;
        chip.reset();
        append_port_counters();
    }

    void finish()
    {
        try {
            chip->save();
        } catch (const std::exception &e) {
            std::fprintf(stderr, "virtual target: %s\n", e.what());
        }
        append_port_counters();
    }

    void append_port_counters()
    {
        if (usb_used)
            append_counter("usb_round_trips", usb_round_trips);
        if (port_used)
            append_counter("port_accesses", port_accesses);
    }

    // One more line in the chip's counters file, in the file's own style.
    void append_counter(const char *name, uint64_t value)
    {
        const char *path = std::getenv("VT_COUNTERS");
        if (!path || !*path)
            return;
        std::string sep = " ";
        {
            std::ifstream in(path);
            std::string line;
            if (std::getline(in, line)) {
                if (line.find('=') != std::string::npos)
                    sep = "=";
                else if (line.find(':') != std::string::npos)
                    sep = ": ";
            }
        }
        std::ofstream out(path, std::ios::app);
        out << name << sep << value << "\n";
    }
};

target_state &state()
{
    static target_state s;
    return s;
}

}  // namespace

void target_first()
{
    state();
}

void report_config_error(const char *what)
{
    std::fprintf(stderr, "virtual target: %s\n", what);
}

std::shared_ptr<vt::avr_chip> target_chip()
{
    target_state &s = state();
    vtd::guard held(s.lock);
    if (!s.tried) {
        s.tried = true;
        try {
            s.chip = vt::make_chip(vt::chip_config_from_env());
        } catch (const std::exception &e) {
            report_config_error(e.what());
        }
    }
    return s.chip;
}

void save_target()
{
    target_state &s = state();
    vtd::guard held(s.lock);
    if (s.chip)
        s.finish();
}

void add_usb_round_trips(uint64_t n)
{
    target_state &s = state();
    vtd::guard held(s.lock);
    s.usb_round_trips += n;
    s.usb_used = true;
}

void add_port_accesses(uint64_t n)
{
    target_state &s = state();
    vtd::guard held(s.lock);
    s.port_accesses += n;
    s.port_used = true;
}

}  // namespace vtd
