// Which kernel parport device a -p value means, and why it could not be opened.
#include <string>
#include <vector>

#include "adapters/lpt.h"
#include "base/messages.h"

namespace {

bool has_port(const std::vector<os::parport_t> &ports, int number)
{
    for (const os::parport_t &p : ports)
        if (p.number == number)
            return true;
    return false;
}

std::string described(const os::ppdev_dirs_t &dirs, const os::parport_t &port)
{
    std::string text = os::parport_device(dirs, port.number);
    if (port.base) {
        char base[32];
        snprintf(base, sizeof base, " (0x%X)", port.base);
        text += base;
    }
    return text;
}

std::string port_list(const os::ppdev_dirs_t &dirs, const std::vector<os::parport_t> &ports)
{
    std::string text;
    for (const os::parport_t &p : ports)
        text += (text.empty() ? "" : ", ") + described(dirs, p);
    return text;
}

// The reason an open failed, and what the user can do about it.
[[noreturn]] void open_failed(const std::string &device, const os::ppdev_open_t &opened, bool port_known)
{
    msg_print(msg_out, MSG_ERROR, "Can't open parallel port %s: %s\n", device.c_str(), opened.reason.c_str());
    switch (opened.failure) {
    case os::ppdev_failure::permission:
        if (!opened.detail.empty())
            msg_print(msg_out, MSG_ERROR,
                      "The device belongs to group '%s': add your user to it "
                      "(sudo usermod -aG %s $USER) and log in again\n",
                      opened.detail.c_str(), opened.detail.c_str());
        break;
    case os::ppdev_failure::busy:
        if (opened.detail == "lp")
            msg_print(msg_out, MSG_ERROR,
                      "The printer driver lp holds the port: let the printing end, or unload the "
                      "driver (sudo rmmod lp)\n");
        else if (opened.detail.compare(0, 5, "ppdev") == 0)
            msg_print(msg_out, MSG_ERROR, "Another program uses the port: end it first\n");
        else if (!opened.detail.empty())
            msg_print(msg_out, MSG_ERROR, "The driver '%s' holds the port: unload it first\n",
                      opened.detail.c_str());
        break;
    case os::ppdev_failure::no_device:
        if (port_known)
            msg_print(msg_out, MSG_ERROR,
                      "The port has no device file: load the kernel's ppdev driver (sudo modprobe ppdev)\n");
        break;
    case os::ppdev_failure::none:
    case os::ppdev_failure::other:
        break;
    }
    throw app_error(EXIT_USAGE);
}

}  // namespace

int ppdev_number_for_port(const lpt_port_choice_t &choice, const std::vector<os::parport_t> &ports)
{
    for (const os::parport_t &p : ports)
        if (p.base && p.base == choice.base)
            return p.number;
    if (choice.lpt_number > 0 && has_port(ports, choice.lpt_number - 1))
        return choice.lpt_number - 1;
    return -1;
}

int ppdev_number_for_port(const lpt_port_choice_t &choice, const os::ppdev_dirs_t &dirs)
{
    return ppdev_number_for_port(choice, os::list_parports(dirs));
}

std::unique_ptr<lpt_t> open_ppdev_port(const lpt_port_choice_t &choice, const os::ppdev_dirs_t &dirs,
                                       const lpt_opener_t &fallback)
{
    std::vector<os::parport_t> ports = os::list_parports(dirs);
    std::string device = choice.device;
    int number = -1;
    if (device.empty()) {
        if (ports.empty()) {
            msg_print(msg_out, MSG_DEBUG, "\t%% ppdev: no parallel port device, trying DLportIO\n");
            return fallback(choice);
        }
        number = ppdev_number_for_port(choice, ports);
        if (number < 0 && choice.by_default && ports.size() == 1) {
            number = ports[0].number;
            msg_print(msg_out, MSG_INFO, "No parallel port %s, using the only one: %s\n",
                      lpt_port_name(choice).c_str(), described(dirs, ports[0]).c_str());
        }
        if (number < 0)
            fail(EXIT_USAGE, "No parallel port %s; the ports present: %s\n", lpt_port_name(choice).c_str(),
                 port_list(dirs, ports).c_str());
        device = os::parport_device(dirs, number);
    }
    os::ppdev_open_t opened = os::ppdev_open(dirs, device);
    if (!opened.port) {
        bool known = false;
        for (const os::parport_t &p : ports)
            known |= os::parport_device(dirs, p.number) == device && p.base != 0;
        open_failed(device, opened, known);
    }
    return std::unique_ptr<lpt_t>(new lpt_ppdev_t(opened.port, device));
}
