// Parallel ports on POSIX systems: the kernel's ppdev interface on Linux. Direct
// port I/O is not available to a user program here.
#include "os/os.h"

#if defined(__linux__)

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <linux/parport.h>
#include <linux/ppdev.h>

#endif

namespace os {

port_access parallel_port_access()
{
    return port_access::ppdev;
}

uint8_t port_in(uint32_t)
{
    return 0xFF;
}

void port_out(uint32_t, uint8_t) {}

void port_out_block(uint32_t, const uint8_t *, uint32_t) {}

#if defined(__linux__)

struct ppdev_port {
    int fd;
    bool reverse;       // data lines set to input
    bool can_tristate;  // the port's data lines can be switched to input
};

namespace {

std::string info_dir(const ppdev_dirs_t &dirs)
{
    return dirs.info.empty() ? "/proc/sys/dev/parport" : dirs.info;
}

std::string device_dir(const ppdev_dirs_t &dirs)
{
    return dirs.devices.empty() ? "/dev" : dirs.devices;
}

// N of a name "parportN", or -1.
int parport_number(const char *name)
{
    int number;
    char tail;
    if (sscanf(name, "parport%d%c", &number, &tail) != 1 || number < 0)
        return -1;
    return number;
}

// The port's base address from its base-addr file ("<base>\t<high base>\n", decimal); 0 when unknown.
uint32_t read_base(const std::string &info, int number)
{
    std::string path = info + "/parport" + std::to_string(number) + "/base-addr";
    FILE *file = fopen(path.c_str(), "r");
    if (!file)
        return 0;
    unsigned long value = 0;
    if (fscanf(file, "%lu", &value) != 1)
        value = 0;
    fclose(file);
    return static_cast<uint32_t>(value);
}

void add_port(std::vector<parport_t> &ports, int number, uint32_t base)
{
    for (parport_t &p : ports) {
        if (p.number == number) {
            if (base)
                p.base = base;
            return;
        }
    }
    size_t at = 0;
    while (at < ports.size() && ports[at].number < number)
        at++;
    ports.insert(ports.begin() + static_cast<long>(at), parport_t{number, base});
}

// The device holding the port, from the kernel's parport information; "" when free or unknown.
std::string port_holder(const ppdev_dirs_t &dirs, const std::string &device)
{
    size_t digits = device.find_last_not_of("0123456789");
    if (digits == std::string::npos || digits + 1 == device.size())
        return "";
    std::string path = info_dir(dirs) + "/parport" + device.substr(digits + 1) + "/devices/active";
    FILE *file = fopen(path.c_str(), "r");
    if (!file)
        return "";
    char name[128] = "";
    if (!fgets(name, sizeof name, file))
        name[0] = 0;
    fclose(file);
    name[strcspn(name, "\r\n")] = 0;
    return strcmp(name, "none") == 0 ? "" : name;
}

std::string owner_group(const std::string &device)
{
    struct stat st;
    if (stat(device.c_str(), &st) != 0)
        return "";
    if (struct group *g = getgrgid(st.st_gid))
        return g->gr_name;
    return std::to_string(st.st_gid);
}

ppdev_open_t failed(ppdev_failure failure, int error, std::string detail = "")
{
    ppdev_open_t result;
    result.failure = failure;
    result.reason = strerror(error);
    result.detail = std::move(detail);
    return result;
}

}  // namespace

std::vector<parport_t> list_parports(const ppdev_dirs_t &dirs)
{
    std::vector<parport_t> ports;
    std::string info = info_dir(dirs);
    if (DIR *dir = opendir(info.c_str())) {
        while (dirent *entry = readdir(dir)) {
            int number = parport_number(entry->d_name);
            if (number >= 0)
                add_port(ports, number, read_base(info, number));
        }
        closedir(dir);
    }
    if (DIR *dir = opendir(device_dir(dirs).c_str())) {
        while (dirent *entry = readdir(dir)) {
            int number = parport_number(entry->d_name);
            if (number >= 0)
                add_port(ports, number, 0);
        }
        closedir(dir);
    }
    return ports;
}

std::string parport_device(const ppdev_dirs_t &dirs, int number)
{
    return device_dir(dirs) + "/parport" + std::to_string(number);
}

ppdev_open_t ppdev_open(const ppdev_dirs_t &dirs, const std::string &device)
{
    int fd = open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (error == ENOENT || error == ENODEV || error == ENXIO)
            return failed(ppdev_failure::no_device, error);
        if (error == EACCES || error == EPERM)
            return failed(ppdev_failure::permission, error, owner_group(device));
        if (error == EBUSY)
            return failed(ppdev_failure::busy, error);
        return failed(ppdev_failure::other, error);
    }
    // A claim of a port that another device holds would sleep until it is let go.
    std::string holder = port_holder(dirs, device);
    if (!holder.empty()) {
        close(fd);
        ppdev_open_t result = failed(ppdev_failure::busy, EBUSY, holder);
        result.reason = "in use by " + holder;
        return result;
    }
    if (ioctl(fd, PPCLAIM) != 0) {
        int error = errno;
        close(fd);
        return failed(error == EBUSY ? ppdev_failure::busy : ppdev_failure::other, error);
    }
    unsigned int modes = 0;
    if (ioctl(fd, PPGETMODES, &modes) != 0)
        modes = 0;
    int forward = 0;
    ioctl(fd, PPDATADIR, &forward);
    ppdev_open_t result;
    result.port = new ppdev_port{fd, false, (modes & PARPORT_MODE_TRISTATE) != 0};
    return result;
}

void ppdev_close(ppdev_port *port)
{
    if (!port)
        return;
    ioctl(port->fd, PPRELEASE);
    close(port->fd);
    delete port;
}

uint8_t ppdev_read(ppdev_port *port, uint8_t reg)
{
    unsigned char value = 0xFF;
    switch (reg) {
    case 0:
        ioctl(port->fd, PPRDATA, &value);
        break;
    case 1:
        ioctl(port->fd, PPRSTATUS, &value);
        break;
    case 2:
        // The kernel gives STROBE, ALF, INIT and SELECT only; the direction bit
        // reads back set only where the port can tristate.
        ioctl(port->fd, PPRCONTROL, &value);
        value &= 0x0F;
        if (port->reverse && port->can_tristate)
            value |= 0x20;
        break;
    default:
        break;
    }
    return value;
}

void ppdev_write(ppdev_port *port, uint8_t reg, uint8_t value)
{
    unsigned char byte = value;
    switch (reg) {
    case 0:
        ioctl(port->fd, PPWDATA, &byte);
        break;
    case 2: {
        // The direction goes through its own call; the control write takes the four lines.
        bool reverse = (value & 0x20) != 0;
        if (reverse != port->reverse) {
            int mode = reverse ? 1 : 0;
            ioctl(port->fd, PPDATADIR, &mode);
            port->reverse = reverse;
        }
        byte = value & 0x0F;
        ioctl(port->fd, PPWCONTROL, &byte);
        break;
    }
    default:
        break;
    }
}

void ppdev_write_data_block(ppdev_port *port, const uint8_t *bytes, uint32_t count)
{
    for (uint32_t i = 0; i < count; i++) {
        unsigned char byte = bytes[i];
        ioctl(port->fd, PPWDATA, &byte);
    }
}

#endif  // __linux__

}  // namespace os
