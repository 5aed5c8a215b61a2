// The install rules and the .deb that cpack makes from them. Both give a
// morvin that programs the virtual target, finds the cable files it brings by
// name in its own data folder, and a manual page that man renders without a
// warning.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/e2e.h"
#include "support/output_lines.h"

namespace {

using e2e::output::lines_in_order;

// cmake --install and cpack read the one build folder and write its install
// manifest: the tests of this program take turns.
class build_folder_turn {
public:
    build_folder_turn() : fd_(open(MORVIN_BUILD_DIR "/install-test.lock", O_RDWR | O_CREAT, 0644))
    {
        EXPECT_GE(fd_, 0) << "can't open the lock file in " MORVIN_BUILD_DIR;
        if (fd_ >= 0) {
            EXPECT_EQ(flock(fd_, LOCK_EX), 0);
        }
    }
    ~build_folder_turn()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    build_folder_turn(const build_folder_turn &) = delete;
    build_folder_turn &operator=(const build_folder_turn &) = delete;

private:
    int fd_;
};

class scratch_folder {
public:
    scratch_folder()
    {
        char pattern[] = "/tmp/morvin-install-XXXXXX";
        path = mkdtemp(pattern) ? pattern : "";
        EXPECT_FALSE(path.empty());
    }
    ~scratch_folder()
    {
        if (!path.empty() && system(("rm -rf '" + path + "'").c_str()) != 0)
            ADD_FAILURE() << "could not remove " << path;
    }
    scratch_folder(const scratch_folder &) = delete;
    scratch_folder &operator=(const scratch_folder &) = delete;
    std::string path;
};

e2e::run_result run_tool(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env = {})
{
    return e2e::spawn_program(argv, env, {});
}

using e2e::split_lines;

const char osc[] = "-o16MHz";
const std::map<std::string, std::string> chip_at_16mhz = {{"VT_CLOCK_KHZ", "16000"}};
const char detected[] = "Device connected, mega328P detected";

// Every example cable file, the name it gives and the virtual cable it describes.
struct cable_file {
    const char *file;
    const char *name;
    const char *vt_cable;
};
const cable_file cable_files[] = {
    {"fbprg.cfg", "FBPRG wires-only cable", "fbprg"},
    {"byteblaster.cfg", "ByteBlaster (file)", "byteblaster"},
    {"stk200.cfg", "STK200/300 (file)", "stk200"},
    {"xilinx.cfg", "Xilinx cable (file)", "xilinx"},
};
const char ft2232_file[] = "ft2232-reset-acbus0.cfg";

// The files an installation holds, relative to its prefix (usr/ in the package).
std::vector<std::string> installed_files()
{
    std::vector<std::string> files = {"bin/morvin", "share/man/man1/morvin.1.gz", "lib/udev/rules.d/60-morvin.rules",
                                      "share/doc/morvin/README.md", std::string("share/morvin/") + ft2232_file};
    for (const cable_file &c : cable_files)
        files.push_back(std::string("share/morvin/") + c.file);
    return files;
}

// An installed program run from where it lies, against the virtual target.
void check_installed_program(const std::string &prefix)
{
    const std::string program = prefix + "/bin/morvin";
    const std::string data_dir = prefix + "/share/morvin";

    e2e::run_result version = run_tool({program, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("morvin ") + MORVIN_VERSION + " (built " + MORVIN_BUILD_DATE + ")\n");

    // each cable file, found by name, drives the virtual cable it describes
    for (const cable_file &c : cable_files) {
        SCOPED_TRACE(c.file);
        auto vars = chip_at_16mhz;
        vars["VT_CABLE"] = c.vt_cable;
        e2e::virtual_target target("mega328P", vars);
        target.set_program(program);
        target.drop_inherited({"MORVIN_CONFIG_PATH"});
        e2e::run_result r = target.morvin({"+mega328P", osc, std::string("-am=") + c.file, "-%"});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(lines_in_order(r, {"\t% config path not defined", "\t% data path " + data_dir,
                                       "\t% loading config file '" + data_dir + "/" + c.file + "'",
                                       std::string("Adapter '") + c.name + "'", detected}))
            << r.out;
    }

    // a whole erase, write and verify through one of them, then the chip read back
    e2e::virtual_target target("mega328P", chip_at_16mhz);
    target.set_program(program);
    target.drop_inherited({"MORVIN_CONFIG_PATH"});
    const std::string image = MORVIN_SOURCE_DIR "/examples/blink-m328p.hex";
    e2e::run_result written = target.morvin({"+mega328P", osc, "-am=fbprg.cfg", "-e", "-w", "-v", image});
    EXPECT_EQ(written.status, 0) << written.out;
    e2e::run_result read =
        target.morvin({"+mega328P", osc, "-am=fbprg.cfg", "-r", target.path("flash.hex"), target.path("eeprom.hex")});
    EXPECT_EQ(read.status, 0) << read.out;
    auto flash = e2e::hex_bytes(target.path("flash.hex"));
    auto eeprom = e2e::hex_bytes(target.path("eeprom.hex"));
    auto wanted = e2e::hex_bytes(image);
    ASSERT_FALSE(wanted.empty());
    for (const auto &byte : wanted) {
        const auto &memory = byte.first < 0x8000 ? flash : eeprom;
        uint32_t address = byte.first < 0x8000 ? byte.first : byte.first - 0x8000;
        auto at = memory.find(address);
        ASSERT_NE(at, memory.end()) << std::hex << byte.first;
        EXPECT_EQ(at->second, byte.second) << std::hex << byte.first;
    }

    // the FT2232 example on a virtual FT2232 wired as the file says
    e2e::virtual_target board("mega328P", {{"VT_CLOCK_KHZ", "16000"},
                                           {"VT_USB_LATENCY_US", "100"},
                                           {"VT_FTDI_RESET", "acbus0"},
                                           {"VT_FTDI_ENABLE", "adbus4"},
                                           {"MORVIN_FTDI_LIBRARY", "d2xx"}});
    board.set_program(program);
    board.drop_inherited({"MORVIN_CONFIG_PATH", "VT_FTDI_DEVICES", "VT_FAULT"});
    e2e::run_result usb = board.morvin({"+mega328P", osc, std::string("-aft2232=") + ft2232_file, "-%"});
    EXPECT_EQ(usb.status, 0) << usb.out;
    EXPECT_TRUE(lines_in_order(usb, {"\t% loading config file '" + data_dir + "/" + ft2232_file + "'", detected}))
        << usb.out;
}

// man renders the page with no warning, and it belongs to this version.
void check_man_page(const std::string &page)
{
    e2e::run_result r = run_tool({"man", "--warnings", "-l", page}, {{"MANWIDTH", "80"}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (const char *section : {"SYNOPSIS", "OPTIONS", "PARALLEL-PORT CABLES", "FT2232 ADAPTERS", "FILES",
                                "ENVIRONMENT", "EXIT STATUS", "EXAMPLES"})
        EXPECT_TRUE(r.has(std::string("\n") + section + "\n")) << section;
    EXPECT_TRUE(r.has(std::string("\nmorvin ") + MORVIN_VERSION + " ")) << "footer names another version";
}

TEST(Install, IntoAPrefixGivesAWorkingProgramAndItsManPage)
{
    scratch_folder prefix;
    {
        build_folder_turn turn;
        e2e::run_result r = run_tool({MORVIN_CMAKE, "--install", MORVIN_BUILD_DIR, "--prefix", prefix.path});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        // every file lands under the prefix, so a writable prefix is all an install needs
        std::vector<std::string> manifest = split_lines(e2e::read_text(MORVIN_BUILD_DIR "/install_manifest.txt"));
        EXPECT_EQ(manifest.size(), installed_files().size());
        for (const std::string &file : manifest)
            EXPECT_EQ(file.compare(0, prefix.path.size() + 1, prefix.path + "/"), 0) << file;
    }
    for (const std::string &file : installed_files())
        EXPECT_TRUE(e2e::file_exists(prefix.path + "/" + file)) << file;
    check_installed_program(prefix.path);
    check_man_page(prefix.path + "/share/man/man1/morvin.1.gz");
}

TEST(Install, DebianPackageHoldsTheSameFilesUnderUsr)
{
    scratch_folder work;
    {
        build_folder_turn turn;
        e2e::run_result r =
            run_tool({MORVIN_CPACK, "--config", MORVIN_BUILD_DIR "/CPackConfig.cmake", "-B", work.path + "/out"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
    }
    std::vector<std::string> packages;
    if (DIR *dir = opendir((work.path + "/out").c_str())) {
        while (dirent *entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".deb") == 0)
                packages.push_back(work.path + "/out/" + name);
        }
        closedir(dir);
    }
    ASSERT_EQ(packages.size(), 1u);
    const std::string deb = packages[0];

    e2e::run_result fields = run_tool({"dpkg-deb", "-f", deb, "Package", "Version", "Depends"});
    EXPECT_EQ(fields.status, 0) << fields.err;
    std::vector<std::string> lines = split_lines(fields.out);
    ASSERT_EQ(lines.size(), 3u) << fields.out;
    EXPECT_EQ(lines[0], "Package: morvin");
    EXPECT_EQ(lines[1], std::string("Version: ") + MORVIN_VERSION);
    EXPECT_NE(lines[2].find("libc6"), std::string::npos) << lines[2];

    // exactly the installed files, and never a virtual-target drop-in library
    e2e::run_result contents = run_tool({"dpkg-deb", "--contents", deb});
    EXPECT_EQ(contents.status, 0) << contents.err;
    std::set<std::string> files;
    for (const std::string &line : split_lines(contents.out)) {
        if (line.empty() || line[0] == 'd')
            continue;
        size_t at = line.find(" ./usr/");
        ASSERT_NE(at, std::string::npos) << line;
        files.insert(line.substr(at + 7));
    }
    std::vector<std::string> expected = installed_files();
    EXPECT_EQ(files, std::set<std::string>(expected.begin(), expected.end())) << contents.out;

    std::string root = work.path + "/root";
    e2e::run_result unpacked = run_tool({"dpkg-deb", "-x", deb, root});
    ASSERT_EQ(unpacked.status, 0) << unpacked.err;
    check_installed_program(root + "/usr");
    check_man_page(root + "/usr/share/man/man1/morvin.1.gz");
}

}  // namespace
