// How the parallel-port adapter reaches its port: the system's own way, or a
// port that the caller supplies (the virtual port of the tests and the bench).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "os/os.h"

class lpt_t;

// The parsed -p value: lpt_number 1..3 (0 when a base address or a device was
// given) and base; by_default without -p; device when -p named a device file.
struct lpt_port_choice_t {
    int lpt_number = 0;
    uint32_t base = 0;
    bool by_default = false;
    std::string device;
};

// Opens the port of a choice and returns it initialised.
using lpt_opener_t = std::function<std::unique_ptr<lpt_t>(const lpt_port_choice_t &)>;

struct lpt_access_t {
    lpt_opener_t opener;          // empty: the platform's own access (ppdev, DLPortIO, port I/O)
    os::ppdev_dirs_t ppdev_dirs;  // where the kernel's parport devices and information are
};
