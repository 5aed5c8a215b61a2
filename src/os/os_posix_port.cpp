// Parallel ports on Linux: the kernel's ppdev interface. Direct port I/O is
// not available to a user program here.
#include "os/os.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if defined(__linux__)
#include <linux/parport.h>
#include <linux/ppdev.h>
#define MORVIN_HAVE_PPDEV 1
#endif

namespace os {

bool windows_9x_direct_io()
{
    return false;
}

uint8_t port_in(uint32_t)
{
    return 0xFF;
}

void port_out(uint32_t, uint8_t) {}

void port_out_block(uint32_t, const uint8_t *, uint32_t) {}

struct ppdev_port {
    int fd;
    bool reverse;      // data lines set to input
    bool can_tristate; // the port's data lines can be switched to input
};

namespace {

const char default_info_dir[] = "/proc/sys/dev/parport";
const char default_device_dir[] = "/dev";
std::string info_dir = default_info_dir;
std::string device_dir = default_device_dir;
char ppdev_error_text[256] = "";

void note_error(const char *what)
{
    snprintf(ppdev_error_text, sizeof ppdev_error_text, "%s: %s", what, strerror(errno));
}

}  // namespace

void set_ppdev_dirs(const char *info, const char *devices)
{
    info_dir = info ? info : default_info_dir;
    device_dir = devices ? devices : default_device_dir;
}

const char *ppdev_last_error()
{
    return ppdev_error_text;
}

int ppdev_number_for_base(uint32_t base)
{
    DIR *dir = opendir(info_dir.c_str());
    if (!dir)
        return -1;
    int found = -1;
    while (dirent *entry = readdir(dir)) {
        int number;
        char tail;
        if (sscanf(entry->d_name, "parport%d%c", &number, &tail) != 1 || number < 0)
            continue;
        std::string path = info_dir + "/" + entry->d_name + "/base-addr";
        FILE *file = fopen(path.c_str(), "r");
        if (!file)
            continue;
        // "<base>\t<high base>\n", decimal
        unsigned long value;
        bool matched = fscanf(file, "%lu", &value) == 1 && value == base;
        fclose(file);
        if (matched && (found < 0 || number < found))
            found = number;
    }
    closedir(dir);
    return found;
}

#ifdef MORVIN_HAVE_PPDEV

ppdev_port *ppdev_open(int parport_number)
{
    if (parport_number < 0) {
        errno = ENODEV;
        note_error("no parallel port");
        return nullptr;
    }
    std::string path = device_dir + "/parport" + std::to_string(parport_number);
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) {
        note_error(path.c_str());
        return nullptr;
    }
    if (ioctl(fd, PPCLAIM) != 0) {
        note_error(path.c_str());
        close(fd);
        return nullptr;
    }
    unsigned int modes = 0;
    if (ioctl(fd, PPGETMODES, &modes) != 0)
        modes = 0;
    int forward = 0;
    ioctl(fd, PPDATADIR, &forward);
    ppdev_error_text[0] = 0;
    return new ppdev_port{fd, false, (modes & PARPORT_MODE_TRISTATE) != 0};
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
        // The kernel keeps only STROBE, ALF, INIT and SELECT here; the
        // direction bit reads back set only where the port can tristate.
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

#else  // no ppdev on this system

ppdev_port *ppdev_open(int)
{
    errno = ENOSYS;
    note_error("parallel port devices");
    return nullptr;
}

void ppdev_close(ppdev_port *port)
{
    delete port;
}

uint8_t ppdev_read(ppdev_port *, uint8_t)
{
    return 0xFF;
}

void ppdev_write(ppdev_port *, uint8_t, uint8_t) {}

void ppdev_write_data_block(ppdev_port *, const uint8_t *, uint32_t) {}

#endif

}  // namespace os
