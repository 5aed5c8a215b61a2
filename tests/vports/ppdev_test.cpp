// The ppdev stand-in, called as a preloaded program calls it: device files and the kernel's
// parport directory as VT_PARPORTS describes them, and the ioctls with the kernel's register
// semantics (ppdev over parport_pc) on the virtual parallel port.
#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/parport.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "support/scoped_env.h"

namespace {

// The stand-in loaded afresh with these settings; its calls reached by name.
class stand_in {
public:
    explicit stand_in(const std::string &ports, const std::string &cable = "stk200", const char *bidir = "1")
    {
        for (const char *name : {"VT_PARPORT_TARGET", "VT_PARPORT_GROUP", "VT_FAULT", "VT_STATE", "VT_TRACE",
                                 "VT_COUNTERS", "VT_PORT_POWER"})
            env.set(name, nullptr);
        env.set("VT_PARPORTS", ports.c_str());
        env.set("VT_CABLE", cable.c_str());
        env.set("VT_BIDIR", bidir);
        env.set("VT_PORT_CYCLE_NS", "0");
        env.set("VT_FAULT", "absent");  // no chip answers: MISO stays pulled up
        std::string path = std::string(MORVIN_BUILD_DIR) + "/vtarget/libvtppdev.so";
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_TRUE(handle) << dlerror();
        open = get<int (*)(const char *, int, ...)>("open");
        close = get<int (*)(int)>("close");
        ioctl = get<int (*)(int, unsigned long, ...)>("ioctl");
        stat = get<int (*)(const char *, struct stat *)>("stat");
        opendir = get<DIR *(*)(const char *)>("opendir");
        fopen = get<FILE *(*)(const char *, const char *)>("fopen");
    }
    ~stand_in()
    {
        if (handle)
            dlclose(handle);
    }
    template <class F> F get(const char *name)
    {
        F f = handle ? reinterpret_cast<F>(dlsym(handle, name)) : nullptr;
        EXPECT_TRUE(f) << name;
        return f;
    }
    // One line of a file in the kernel's parport directory.
    std::string proc_line(const std::string &path)
    {
        FILE *f = fopen(("/proc/sys/dev/parport/" + path).c_str(), "r");
        if (!f)
            return "(missing)";
        char line[128] = "";
        if (!fgets(line, sizeof line, f))
            line[0] = 0;
        std::fclose(f);
        return line;
    }
    // ioctl's result, or -errno.
    int call(int fd, unsigned long request, void *arg = nullptr)
    {
        errno = 0;
        return ioctl(fd, request, arg) == 0 ? 0 : -errno;
    }
    uint8_t read(int fd, unsigned long request)
    {
        unsigned char v = 0xAA;
        EXPECT_EQ(0, call(fd, request, &v));
        return v;
    }
    void write(int fd, unsigned long request, uint8_t value)
    {
        unsigned char v = value;
        EXPECT_EQ(0, call(fd, request, &v));
    }

    e2e::scoped_env env;  // the settings, put back when the stand-in goes
    void *handle = nullptr;
    int (*open)(const char *, int, ...) = nullptr;
    int (*close)(int) = nullptr;
    int (*ioctl)(int, unsigned long, ...) = nullptr;
    int (*stat)(const char *, struct stat *) = nullptr;
    DIR *(*opendir)(const char *) = nullptr;
    FILE *(*fopen)(const char *, const char *) = nullptr;
};

TEST(DriverPpdev, DevicesAndKernelInformationFollowTheSettings)
{
    stand_in pp("0@378,1@278/denied,2@3BC/busy=lp,3@2BC/nodev");
    ASSERT_TRUE(pp.handle);
    struct open_case {
        const char *path;
        int error;
    } opens[] = {{"/dev/parport1", EACCES}, {"/dev/parport3", ENOENT}, {"/dev/parport4", ENOENT}};
    for (const open_case &c : opens) {
        errno = 0;
        EXPECT_EQ(-1, pp.open(c.path, O_RDWR)) << c.path;
        EXPECT_EQ(c.error, errno) << c.path;
    }
    // the nodes are character devices of the lp group; a port without ppdev has none
    struct stat st;
    ASSERT_EQ(0, pp.stat("/dev/parport1", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    struct group *lp = getgrnam("lp");
    EXPECT_EQ(lp ? lp->gr_gid : 7u, st.st_gid);
    EXPECT_EQ(-1, pp.stat("/dev/parport3", &st));

    std::set<std::string> names;
    DIR *dir = pp.opendir("/proc/sys/dev/parport");
    ASSERT_TRUE(dir);
    while (dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            names.insert(e->d_name);
    closedir(dir);
    EXPECT_EQ((std::set<std::string>{"parport0", "parport1", "parport2", "parport3"}), names);
    EXPECT_EQ("888\t1912\n", pp.proc_line("parport0/base-addr"));
    EXPECT_EQ("956\t1980\n", pp.proc_line("parport2/base-addr"));
    EXPECT_EQ("none\n", pp.proc_line("parport0/devices/active"));
    EXPECT_EQ("lp\n", pp.proc_line("parport2/devices/active"));

    // a held port: the claim would sleep and ends as a signal ends it; an exclusive
    // registration beside another device fails at once
    int busy = pp.open("/dev/parport2", O_RDWR);
    ASSERT_GE(busy, 0);
    EXPECT_EQ(-EINTR, pp.call(busy, PPCLAIM));
    pp.close(busy);
    busy = pp.open("/dev/parport2", O_RDWR);
    EXPECT_EQ(0, pp.call(busy, PPEXCL));
    EXPECT_EQ(-ENXIO, pp.call(busy, PPCLAIM));
    pp.close(busy);
}

TEST(DriverPpdev, RegistersAsTheKernelGivesThem)
{
    stand_in pp("0@378");  // STK200 cable: D0 comes back on PE, nothing on BUSY or ERROR
    ASSERT_TRUE(pp.handle);
    int fd = pp.open("/dev/parport0", O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned int modes = 0;
    EXPECT_EQ(0, pp.call(fd, PPGETMODES, &modes));
    EXPECT_EQ(static_cast<unsigned>(PARPORT_MODE_PCSPP | PARPORT_MODE_TRISTATE), modes);
    unsigned char byte = 0;
    EXPECT_EQ(-EINVAL, pp.call(fd, PPRDATA, &byte)) << "claim the port first";
    ASSERT_EQ(0, pp.call(fd, PPCLAIM));
    EXPECT_EQ(-EINVAL, pp.call(fd, PPCLAIM));
    // the claim restores the device's start state: INIT high, SELECT bit set; the interrupt
    // enable it also sets is not among the bits read back
    EXPECT_EQ(0x0C, pp.read(fd, PPRCONTROL));

    // status: the register as read, BUSY (pulled up, high) reading 0
    pp.write(fd, PPWDATA, 0x01);
    EXPECT_EQ(0x7F, pp.read(fd, PPRSTATUS));
    EXPECT_EQ(0x01, pp.read(fd, PPRDATA));
    pp.write(fd, PPWDATA, 0x00);
    EXPECT_EQ(0x5F, pp.read(fd, PPRSTATUS));

    // a control write takes the four lines; a set direction bit still turns the data lines
    // to input (D0 undriven: PE pulled up), a clear one does not turn them back: PPDATADIR does
    pp.write(fd, PPWCONTROL, 0x35);
    EXPECT_EQ(0x05, pp.read(fd, PPRCONTROL));
    EXPECT_EQ(0xFF, pp.read(fd, PPRDATA));
    EXPECT_EQ(0x7F, pp.read(fd, PPRSTATUS));
    pp.write(fd, PPWCONTROL, 0x04);
    EXPECT_EQ(0xFF, pp.read(fd, PPRDATA));
    int forward = 0;
    EXPECT_EQ(0, pp.call(fd, PPDATADIR, &forward));
    EXPECT_EQ(0x00, pp.read(fd, PPRDATA));
    EXPECT_EQ(0x5F, pp.read(fd, PPRSTATUS));
    int reverse = 1;
    EXPECT_EQ(0, pp.call(fd, PPDATADIR, &reverse));
    EXPECT_EQ(0xFF, pp.read(fd, PPRDATA));
    EXPECT_EQ(0x04, pp.read(fd, PPRCONTROL));

    EXPECT_EQ(0, pp.call(fd, PPRELEASE));
    EXPECT_EQ(-EINVAL, pp.call(fd, PPRSTATUS, &byte));
    EXPECT_EQ(0, pp.call(fd, PPCLAIM)) << "released, it can be claimed again";
    pp.close(fd);
    fd = pp.open("/dev/parport0", O_RDWR);
    EXPECT_EQ(0, pp.call(fd, PPCLAIM)) << "closing released it";
    pp.close(fd);
}

TEST(DriverPpdev, PortWithoutDirectionBitKeepsDriving)
{
    stand_in pp("0@278", "stk200", "0");
    ASSERT_TRUE(pp.handle);
    int fd = pp.open("/dev/parport0", O_RDWR);
    ASSERT_GE(fd, 0);
    unsigned int modes = 0;
    EXPECT_EQ(0, pp.call(fd, PPGETMODES, &modes));
    EXPECT_EQ(static_cast<unsigned>(PARPORT_MODE_PCSPP), modes);
    ASSERT_EQ(0, pp.call(fd, PPCLAIM));
    pp.write(fd, PPWDATA, 0x5A);
    int reverse = 1;
    EXPECT_EQ(0, pp.call(fd, PPDATADIR, &reverse));
    pp.write(fd, PPWCONTROL, 0x20);
    EXPECT_EQ(0x5A, pp.read(fd, PPRDATA));
    pp.close(fd);
}

}  // namespace
