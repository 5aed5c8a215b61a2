// Chip ownership for the drop-in libraries.
#include "driver_target.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>

namespace vtd {
namespace {

// A count reported with the chip's counters once the library has added to it.
struct extra_counter {
    const char *name;
    uint64_t value = 0;
    bool used = false;

    explicit extra_counter(const char *n) : name(n) {}
};

struct target_state {
    vtd::spin_lock lock;
    std::shared_ptr<vt::avr_chip> chip;
    bool tried = false;
    extra_counter usb_round_trips{"usb_round_trips"};
    extra_counter port_accesses{"port_accesses"};

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
        for (const extra_counter *c : {&usb_round_trips, &port_accesses})
            if (c->used)
                append_counter(c->name, c->value);
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

static void add(extra_counter target_state::*counter, uint64_t n)
{
    target_state &s = state();
    vtd::guard held(s.lock);
    (s.*counter).value += n;
    (s.*counter).used = true;
}

void add_usb_round_trips(uint64_t n)
{
    add(&target_state::usb_round_trips, n);
}

void add_port_accesses(uint64_t n)
{
    add(&target_state::port_accesses, n);
}

}  // namespace vtd
