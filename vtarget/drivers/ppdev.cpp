// Linux ppdev stand-in, loaded with LD_PRELOAD: /dev/parportN and /proc/sys/dev/parport of the
// ports VT_PARPORTS lists, and the ppdev ioctls as the kernel's ppdev and parport_pc drivers
// answer them, on the virtual parallel port. Without VT_PARPORTS every call passes through.
//
//   VT_PARPORTS        ports, "N@BASE[/flag...]" separated by ',': N the parport number, BASE
//                      hexadecimal; flags: denied (open fails with EACCES), busy=NAME (the device
//                      NAME holds the port), nodev (no /dev node: ppdev not loaded). Empty: none.
//   VT_PARPORT_TARGET  the number of the port with the cable and chip (default the first listed)
//   VT_PARPORT_GROUP   group owning the device nodes (default lp)
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver_target.h"
#include "vtarget/virtual_lpt.h"

namespace {

const char dev_prefix[] = "/dev/parport";
const char proc_root[] = "/proc/sys/dev/parport";

// parport_pc: the control bits a write may change (STROBE, AUTOFD, INIT, SELECT) and the
// bits it keeps in its soft copy (interrupt enable, direction where the port has one).
constexpr uint8_t control_lines = 0x0F;
constexpr uint8_t control_irq = 0x10;
constexpr uint8_t control_reverse = 0x20;
constexpr uint8_t control_at_claim = 0x0C;  // parport_pc_init_state

struct port_entry {
    int number = -1;
    uint32_t base = 0;
    bool denied = false;
    bool node = true;
    std::string holder;  // device that holds the port ("" = free)
    // Set up when the port is first opened.
    std::unique_ptr<vt::virtual_lpt> lpt;
    uint8_t control = 0;  // parport_pc's soft copy
    uint8_t writable = 0x3F;
    bool tristate = true;
    int claimed_by = -1;  // fd
};

struct handle {
    int number;
    port_entry *port = nullptr;
    bool claimed = false;
    bool excl = false;
    bool registered = false;
    int mode = IEEE1284_MODE_COMPAT;
};

template <class F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Every piece between the separators, empty ones included.
std::vector<std::string> split(const std::string &text, char sep)
{
    std::vector<std::string> pieces;
    size_t at = 0;
    for (;;) {
        size_t end = text.find(sep, at);
        if (end == std::string::npos)
            end = text.size();
        pieces.push_back(text.substr(at, end - at));
        if (end == text.size())
            return pieces;
        at = end + 1;
    }
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return ::remove(path);
}

struct state_t {
    vtd::spin_lock lock;
    bool configured = false;  // VT_PARPORTS given
    std::vector<port_entry> ports;
    int target = -1;
    std::string group = "lp";
    std::map<int, handle> handles;
    // the descriptor of the last call: every register access repeats it
    int last_fd = -1;
    handle *last = nullptr;

    handle *find_handle(int fd)
    {
        if (fd == last_fd && last)
            return last;
        auto h = handles.find(fd);
        if (h == handles.end())
            return nullptr;
        last_fd = fd;
        last = &h->second;
        return last;
    }
    std::string tree;  // the /proc/sys/dev/parport stand-in

    state_t()
    {
        const char *list = std::getenv("VT_PARPORTS");
        if (!list)
            return;
        configured = true;
        try {
            parse(list);
        } catch (const std::exception &e) {
            vtd::report_config_error(e.what());
            ports.clear();
        }
        if (const char *t = std::getenv("VT_PARPORT_TARGET"); t && *t)
            target = std::atoi(t);
        else if (!ports.empty())
            target = ports.front().number;
        if (const char *g = std::getenv("VT_PARPORT_GROUP"); g && *g)
            group = g;
    }

    ~state_t()
    {
        uint64_t accesses = 0;
        for (port_entry &p : ports)
            if (p.lpt)
                accesses += p.lpt->accesses();
        if (accesses)
            vtd::add_port_accesses(accesses);
        if (!tree.empty())
            nftw(tree.c_str(), remove_entry, 8, FTW_DEPTH | FTW_PHYS);
    }

    void parse(const std::string &text)
    {
        for (const std::string &item : split(text, ',')) {
            if (item.empty())
                continue;
            port_entry p;
            std::vector<std::string> parts = split(item, '/');
            char *rest = nullptr;
            p.number = static_cast<int>(std::strtol(parts[0].c_str(), &rest, 10));
            if (rest == parts[0].c_str() || *rest != '@' || p.number < 0)
                throw std::invalid_argument("VT_PARPORTS: bad port '" + item + "'");
            p.base = static_cast<uint32_t>(std::strtoul(rest + 1, &rest, 16));
            if (*rest)
                throw std::invalid_argument("VT_PARPORTS: bad base address in '" + item + "'");
            for (size_t i = 1; i < parts.size(); i++) {
                const std::string &flag = parts[i];
                if (flag == "denied")
                    p.denied = true;
                else if (flag == "nodev")
                    p.node = false;
                else if (flag.compare(0, 5, "busy=") == 0 && flag.size() > 5)
                    p.holder = flag.substr(5);
                else
                    throw std::invalid_argument("VT_PARPORTS: unknown flag '" + flag + "'");
            }
            ports.push_back(std::move(p));
        }
    }

    port_entry *find(int number)
    {
        for (port_entry &p : ports)
            if (p.number == number)
                return &p;
        return nullptr;
    }

    // The kernel's parport directory: parportN/base-addr ("base\thigh base\n", decimal) and
    // parportN/devices/active (the device holding the port, or "none").
    const std::string &proc_tree()
    {
        if (!tree.empty())
            return tree;
        char pattern[] = "/tmp/vt-parport-XXXXXX";
        if (!mkdtemp(pattern))
            return tree;
        tree = pattern;
        for (const port_entry &p : ports) {
            std::string dir = tree + "/parport" + std::to_string(p.number);
            mkdir(dir.c_str(), 0755);
            mkdir((dir + "/devices").c_str(), 0755);
            if (FILE *f = std::fopen((dir + "/base-addr").c_str(), "w")) {
                std::fprintf(f, "%lu\t%lu\n", static_cast<unsigned long>(p.base),
                             static_cast<unsigned long>(p.base + 0x400));
                std::fclose(f);
            }
            if (FILE *f = std::fopen((dir + "/devices/active").c_str(), "w")) {
                std::fprintf(f, "%s\n", p.holder.empty() ? "none" : p.holder.c_str());
                std::fclose(f);
            }
        }
        return tree;
    }
};

// The settings the state was made from.
std::string settings()
{
    std::string key;
    for (const char *name : {"VT_PARPORTS", "VT_PARPORT_TARGET", "VT_PARPORT_GROUP", "VT_CABLE", "VT_BIDIR",
                             "VT_PORT_POWER", "VT_PORT_CYCLE_NS"}) {
        const char *v = std::getenv(name);
        key += v ? std::string("=") + v : std::string("-");
        key += '\n';
    }
    return key;
}

// False once the library's statics are going: calls made while the chip saves its state at
// exit pass straight through.
bool alive = false;
// The state as the register calls find it: set while one exists and the library is alive.
state_t *current = nullptr;

struct holder_t {
    std::unique_ptr<state_t> state;
    std::string made_from;
    holder_t() { alive = true; }
    ~holder_t()
    {
        alive = false;
        current = nullptr;
        state.reset();
    }
};

holder_t &holder()
{
    vtd::target_first();  // the chip outlives the ports when statics are destroyed
    static holder_t h;
    return h;
}

state_t &state()
{
    holder_t &h = holder();
    if (!h.state) {
        h.made_from = settings();
        h.state.reset(new state_t());
    }
    current = h.state.get();
    return *h.state;
}

// The state before a device or the kernel's information is looked at: made anew when the
// settings changed while nothing was open (a test program loads the library once).
state_t &current_state()
{
    holder_t &h = holder();
    if (h.state && h.state->handles.empty() && settings() != h.made_from) {
        current = nullptr;
        h.state.reset();
    }
    return state();
}

// The parport number of "/dev/parportN", or -1.
int device_number(const char *path)
{
    if (!path || std::strncmp(path, dev_prefix, sizeof dev_prefix - 1) != 0)
        return -1;
    const char *digits = path + sizeof dev_prefix - 1;
    if (!*digits)
        return -1;
    char *end = nullptr;
    long n = std::strtol(digits, &end, 10);
    return (*end || n < 0) ? -1 : static_cast<int>(n);
}

bool in_proc_tree(const char *path)
{
    size_t n = sizeof proc_root - 1;
    return path && std::strncmp(path, proc_root, n) == 0 && (path[n] == 0 || path[n] == '/');
}

// A path under /proc/sys/dev/parport moved into the stand-in tree.
std::string moved(state_t &s, const char *path)
{
    return s.proc_tree() + (path + sizeof proc_root - 1);
}

void set_up_port(port_entry &p, const state_t &s)
{
    if (p.lpt)
        return;
    vt::lpt_config config;
    std::shared_ptr<vt::avr_chip> chip;
    try {
        config = vt::lpt_config_from_env();
        if (p.number == s.target)
            chip = vtd::target_chip();
        else
            config.cable = vt::cable_kind::none;
        p.lpt = vt::make_virtual_lpt(config, chip);
    } catch (const std::exception &e) {
        vtd::report_config_error(e.what());
        config = vt::lpt_config();
        config.cable = vt::cable_kind::none;
        p.lpt = vt::make_virtual_lpt(config, nullptr);
    }
    // parport_pc's probe: without a working direction bit the port is not TRISTATE and
    // the bit is left out of the writable ones.
    p.tristate = config.bidirectional;
    p.writable = p.tristate ? 0x3F : 0x1F;
    p.control = static_cast<uint8_t>(p.lpt->read_reg(2) & p.writable);
}

void write_control(port_entry &p, uint8_t value)
{
    p.control = static_cast<uint8_t>(value & p.writable);
    p.lpt->write_reg(2, p.control);
}

// -1 with errno, or the descriptor of an opened stand-in device.
int open_device(state_t &s, int number, int (*open_fn)(const char *, int, ...))
{
    port_entry *p = s.find(number);
    if (!p || !p->node) {
        errno = ENOENT;
        return -1;
    }
    if (p->denied) {
        errno = EACCES;
        return -1;
    }
    int fd = open_fn("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    set_up_port(*p, s);
    handle h{number};
    h.port = p;
    s.handles[fd] = h;
    s.last_fd = -1;
    return fd;
}

int fail(int error)
{
    errno = error;
    return -1;
}

void release(port_entry &p, handle &h)
{
    h.claimed = false;
    p.claimed_by = -1;
}

int port_ioctl(int fd, handle &h, unsigned long request, void *arg)
{
    port_entry &p = *h.port;
    switch (request) {
    case PPCLAIM: {
        if (h.claimed)
            return fail(EINVAL);
        if (!h.registered) {
            // parport_register_dev_model refuses an exclusive device beside others
            if (h.excl && !p.holder.empty())
                return fail(ENXIO);
            h.registered = true;
        }
        if (!p.holder.empty() || p.claimed_by >= 0) {
            // parport_claim_or_block sleeps until the holder lets go; nobody does here, so
            // the wait ends as a signal would end it
            std::fprintf(stderr, "virtual ppdev: PPCLAIM of parport%d waits for %s\n", p.number,
                         p.holder.empty() ? "another descriptor" : p.holder.c_str());
            usleep(200000);
            return fail(EINTR);
        }
        h.claimed = true;
        p.claimed_by = fd;
        // the device's initial state is restored, then its interrupt enabled
        write_control(p, control_at_claim);
        write_control(p, static_cast<uint8_t>(p.control | control_irq));
        return 0;
    }
    case PPEXCL:
        if (h.registered)
            return h.excl ? 0 : fail(EINVAL);
        h.excl = true;
        return 0;
    case PPSETMODE:
        h.mode = *static_cast<int *>(arg);
        return 0;
    case PPGETMODE:
        *static_cast<int *>(arg) = h.mode;
        return 0;
    case PPGETMODES:
        *static_cast<unsigned int *>(arg) = PARPORT_MODE_PCSPP | (p.tristate ? PARPORT_MODE_TRISTATE : 0);
        return 0;
    default:
        break;
    }
    if (!h.claimed)
        return fail(EINVAL);  // "claim the port first"
    unsigned char *byte = static_cast<unsigned char *>(arg);
    switch (request) {
    case PPRELEASE:
        release(p, h);
        return 0;
    case PPRSTATUS:
        *byte = p.lpt->read_reg(1);  // the register as read: BUSY inverted by the port
        return 0;
    case PPRDATA:
        *byte = p.lpt->read_reg(0);
        return 0;
    case PPWDATA:
        p.lpt->write_reg(0, *byte);
        return 0;
    case PPRCONTROL:
        // the soft copy, control lines only: neither direction nor interrupt bit shows
        *byte = static_cast<unsigned char>(p.control & control_lines);
        return 0;
    case PPWCONTROL:
        // a set direction bit still reverses the port ("use data_reverse for this!"), a
        // clear one does not turn it forward; only the four lines are written
        if (*byte & control_reverse)
            write_control(p, static_cast<uint8_t>(p.control | control_reverse));
        write_control(p, static_cast<uint8_t>((p.control & ~control_lines) | (*byte & control_lines)));
        return 0;
    case PPDATADIR: {
        bool reverse = *static_cast<int *>(arg) != 0;
        write_control(p, static_cast<uint8_t>(reverse ? p.control | control_reverse : p.control & ~control_reverse));
        return 0;
    }
    default:
        return fail(EINVAL);
    }
}

using open_t = int (*)(const char *, int, ...);
using openat_t = int (*)(int, const char *, int, ...);

// Whether the stand-in answers for this path: a device or the kernel's parport information,
// with VT_PARPORTS set.
bool ours(const char *path)
{
    if (!(device_number(path) >= 0 || in_proc_tree(path)))
        return false;
    holder();
    return alive && current_state().configured;
}

int open_common(const char *name, const char *path, int flags, mode_t mode)
{
    int number = device_number(path);
    if (number >= 0 && ours(path)) {
        state_t &s = state();
        vtd::guard held(s.lock);
        return open_device(s, number, real<open_t>("open"));
    }
    if (in_proc_tree(path) && ours(path))
        return real<open_t>(name)(moved(state(), path).c_str(), flags, mode);
    return real<open_t>(name)(path, flags, mode);
}

mode_t mode_arg(int flags, va_list args)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

template <class Stat> int stat_common(const char *name, const char *path, Stat *buf)
{
    if (!ours(path))
        return real<int (*)(const char *, Stat *)>(name)(path, buf);
    state_t &s = state();
    int number = device_number(path);
    if (number >= 0) {
        vtd::guard held(s.lock);
        port_entry *p = s.find(number);
        if (!p || !p->node)
            return fail(ENOENT);
        std::memset(buf, 0, sizeof *buf);
        buf->st_mode = S_IFCHR | 0660;
        buf->st_rdev = makedev(99, static_cast<unsigned>(number));
        struct group *g = getgrnam(s.group.c_str());
        buf->st_gid = g ? g->gr_gid : 7;
        return 0;
    }
    std::string m = moved(s, path);
    return real<int (*)(const char *, Stat *)>(name)(m.c_str(), buf);
}

}  // namespace

extern "C" {

VT_EXPORT int open(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_common("open", path, flags, mode);
}

VT_EXPORT int open64(const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    return open_common("open64", path, flags, mode);
}

VT_EXPORT int openat(int dir, const char *path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_arg(flags, args);
    va_end(args);
    if (device_number(path) >= 0)
        return open_common("open", path, flags, mode);
    return real<openat_t>("openat")(dir, path, flags, mode);
}

VT_EXPORT int __open_2(const char *path, int flags)
{
    return open_common("open", path, flags, 0);
}

VT_EXPORT int close(int fd)
{
    if (alive && state().configured) {
        state_t &s = state();
        vtd::guard held(s.lock);
        auto h = s.handles.find(fd);
        if (h != s.handles.end()) {
            // closing releases a claimed port
            if (h->second.claimed)
                release(*h->second.port, h->second);
            s.handles.erase(h);
            s.last_fd = -1;
        }
    }
    return real<int (*)(int)>("close")(fd);
}

VT_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    state_t *s = current;
    if (s && s->configured) {
        vtd::guard held(s->lock);
        if (handle *h = s->find_handle(fd))
            return port_ioctl(fd, *h, request, arg);
    }
    return real<int (*)(int, unsigned long, void *)>("ioctl")(fd, request, arg);
}

VT_EXPORT int stat(const char *path, struct stat *buf)
{
    return stat_common("stat", path, buf);
}

VT_EXPORT int stat64(const char *path, struct stat64 *buf)
{
    return stat_common("stat64", path, buf);
}

VT_EXPORT DIR *opendir(const char *path)
{
    if (in_proc_tree(path) && ours(path)) {
        std::string m = moved(state(), path);
        return real<DIR *(*)(const char *)>("opendir")(m.c_str());
    }
    return real<DIR *(*)(const char *)>("opendir")(path);
}

VT_EXPORT FILE *fopen(const char *path, const char *mode)
{
    if (in_proc_tree(path) && ours(path)) {
        std::string m = moved(state(), path);
        return real<FILE *(*)(const char *, const char *)>("fopen")(m.c_str(), mode);
    }
    return real<FILE *(*)(const char *, const char *)>("fopen")(path, mode);
}

VT_EXPORT FILE *fopen64(const char *path, const char *mode)
{
    if (in_proc_tree(path) && ours(path)) {
        std::string m = moved(state(), path);
        return real<FILE *(*)(const char *, const char *)>("fopen64")(m.c_str(), mode);
    }
    return real<FILE *(*)(const char *, const char *)>("fopen64")(path, mode);
}

}  // extern "C"
