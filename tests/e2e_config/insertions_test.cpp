// Insertions and the erase counter over whole runs, checked in the chip.
#include "e2e_config/config_support.h"

#include <cstdio>

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using cfg::in_order;
using cfg::has_line;
using cfg::ldi;

namespace {

typedef std::vector<uint8_t> bytes_t;

bytes_t join(std::initializer_list<bytes_t> parts)
{
    bytes_t all;
    for (auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// Two LDI instructions at 0x100 and two filler bytes at 0x104.
const bytes_t code = join({ldi(0, 0x00), ldi(1, 0x00), {0xAA, 0xAA}});

TEST(insertions, osccal_plain_and_in_ldi_with_correction_and_limits)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    std::string image = cfg::hex_file(chip, "code.hex", {{0x100, code}});

    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-v", "-c*OSCCAL1=105", image});
    ASSERT_EQ(run.status, 0) << run.out;
    bytes_t calibration = cfg::calibration_from_trace(chip);
    ASSERT_EQ(calibration.size(), 4u);
    EXPECT_TRUE(in_order(run.out, {"Chip not locked\n", "OSCCAL1 inserted to CODE memory at 0x105 \n",
                                   "Programming CODE memory\n", " passed\n"}))
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x100, 6),
              join({ldi(0, 0x00), ldi(1, 0x00), {0xAA, calibration[1]}}));

    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", "-c?OSCCAL2=102,-5", image});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(has_line(run.out, "OSCCAL2-5 inserted to CODE memory at 0x102 as part of LDI command\n")) << run.out;
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x100, 6),
              join({ldi(0, 0x00), ldi(1, (uint8_t)(calibration[2] - 5)), {0xAA, 0xAA}}));

    // corrections are limited to one byte
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", "-c*OSCCAL3=104,-200", image});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Warning: corrected osccal value limited by 0x00\n",
                                   "OSCCAL3-200 inserted to CODE memory at 0x104 \n"}))
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).flash_at(0x104), 0x00);
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", "-c?OSCCAL=100,+300", image});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(has_line(run.out, "Warning: corrected osccal value limited by 0xFF\n")) << run.out;
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x100, 2), ldi(0, 0xFF));

    // a verify-only run inserts the same byte and compares it
    run = chip.morvin({"+mega8", "-o16MHz", "-v", "-c?OSCCAL=100,+300", image});
    EXPECT_EQ(run.status, 0) << run.out;
    run = chip.morvin({"+mega8", "-o16MHz", "-v", "-c?OSCCAL=100", image});
    EXPECT_EQ(run.status, 10) << "the chip holds the corrected byte\n" << run.out;
}

TEST(insertions, serial_number_advances_only_after_a_successful_write)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    std::string image = cfg::hex_file(chip, "code.hex", {{0x100, code}});
    std::string serial = chip.path("serial.txt");
    e2e::write_text(serial, "41\n");
    std::string request = "-c?SERNO2=100," + serial;

    auto run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", request, image});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Chip not locked\n", "Chip serial number is 41\n", "Device erased\n",
                                   "Programming CODE memory\n", " passed\n", "Total time "}))
        << run.out;
    EXPECT_EQ(e2e::read_text(serial), "42\n");
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x100, 6), join({ldi(0, 41), ldi(1, 0), {0xAA, 0xAA}}));

    // verification only: the number is compared and kept
    run = chip.morvin({"+mega8", "-o16MHz", "-v", request, image});
    EXPECT_EQ(run.status, 10) << "the chip holds 41, the file 42\n" << run.out;
    EXPECT_TRUE(has_line(run.out, "Chip serial number is 42\n")) << run.out;
    EXPECT_EQ(e2e::read_text(serial), "42\n");
    e2e::write_text(serial, "41\n");
    run = chip.morvin({"+mega8", "-o16MHz", "-v", request, image});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(e2e::read_text(serial), "41\n");
}

TEST(insertions, serial_number_refused_by_a_write_that_fails_verification)
{
    // bit 7 of flash byte 0x103 cannot be programmed
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    chip.set("VT_FAULT", "bad_bits=0x103:0x80");
    std::string image = cfg::hex_file(chip, "code.hex", {{0x100, code}});
    std::string serial = chip.path("serial.txt");
    e2e::write_text(serial, "7\n");
    auto run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", "-c*SERNO4=100," + serial, image});
    EXPECT_EQ(run.status, 10) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Chip serial number is 7\n", "failed, 1 error", "\nReset pin released\n"}))
        << run.out;
    EXPECT_EQ(run.out.find("Total time"), std::string::npos);
    EXPECT_EQ(e2e::read_text(serial), "7\n");
    // the same run without verification succeeds and consumes the number
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-c*SERNO4=100," + serial, image});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(e2e::read_text(serial), "8\n");
}

// Two stations, one counter file: a run waits while another holds the file,
// and reads the number that one wrote (a new file renamed over the old), so no
// number is programmed twice.
TEST(insertions, serial_number_file_is_locked_from_reading_to_writing)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    std::string image = cfg::hex_file(chip, "code.hex", {{0x100, code}});
    std::string serial = chip.path("serial.txt");
    e2e::write_text(serial, "41\n");

    // the other station: holds the lock, then renames its next number into place
    int held = open(serial.c_str(), O_RDWR | O_CLOEXEC);  // the run must not inherit the lock
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    bool waited = false;
    auto run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", "-c?SERNO2=100," + serial, image},
                           [&](pid_t, int out_fd) {
                               waited = e2e::wait_for_text(out_fd, "which another run holds\n", 20000) &&
                                        !e2e::wait_for_text(out_fd, "Chip serial number", 1500);
                               std::string next = chip.path("serial.next");
                               e2e::write_text(next, "77\n");
                               EXPECT_EQ(rename(next.c_str(), serial.c_str()), 0);
                               close(held);
                           });
    EXPECT_TRUE(waited) << run.out;
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Chip not locked\n", "Waiting for " + serial + ", which another run holds\n",
                                   "Chip serial number is 77\n"}))
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x100, 4), join({ldi(0, 77), ldi(1, 0)}));
    EXPECT_EQ(e2e::read_text(serial), "78\n");

    // Ctrl-C while waiting ends the run; the number stays where it was
    held = open(serial.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-c?SERNO2=100," + serial, image}, [&](pid_t pid, int out_fd) {
        EXPECT_TRUE(e2e::wait_for_text(out_fd, "which another run holds\n", 20000));
        kill(pid, SIGINT);
    });
    close(held);
    EXPECT_EQ(run.status, 80) << run.out;
    EXPECT_TRUE(in_order(run.out, {"\nTerminated by user (SIGINT)\n\n", "Reset pin released\n"})) << run.out;
    EXPECT_EQ(run.out.find("Device erased"), std::string::npos) << run.out;
    EXPECT_EQ(e2e::read_text(serial), "78\n");
}

// The number must fit in 32 bits; the file is then left as it was. The next
// number is a new file renamed into place, written through a link to the file.
TEST(insertions, serial_number_limits_and_the_file_written)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    std::string image = cfg::hex_file(chip, "code.hex", {{0x100, code}});
    std::string serial = chip.path("serial.txt");
    for (std::string number : {"4294967296", "99999999999999999999999999"}) {
        e2e::write_text(serial, number + "\n");
        auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-c*SERNO4=100," + serial, image});
        EXPECT_EQ(run.status, 50) << run.out;
        EXPECT_TRUE(has_line(run.out, "Serial number in " + serial + " does not fit in 32 bits\n")) << run.out;
        EXPECT_EQ(run.out.find("Programming"), std::string::npos) << run.out;
        EXPECT_EQ(e2e::read_text(serial), number + "\n");
    }
    // a file that holds no number: no system text follows, it failed no call
    e2e::write_text(serial, "none\n");
    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-c*SERNO4=100," + serial, image});
    EXPECT_EQ(run.status, 50) << run.out;
    EXPECT_NE(run.out.find("Can't read " + serial + "\n\n"), std::string::npos) << run.out;

    // the largest number is programmed; its successor is written for the next run to refuse
    std::string target = chip.path("numbers.txt");
    e2e::write_text(target, "4294967295\n");
    ASSERT_EQ(unlink(serial.c_str()), 0);
    ASSERT_EQ(symlink(target.c_str(), serial.c_str()), 0);
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-c*SERNO4=100," + serial, image});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x100, 4), (bytes_t{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(e2e::read_text(target), "4294967296\n");
    struct stat link;
    ASSERT_EQ(lstat(serial.c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode)) << "the link was replaced by a file";
    // nothing is left beside the file
    std::string listing = chip.path("listing.txt");
    ASSERT_EQ(system(("ls '" + chip.dir + "' > '" + listing + "'").c_str()), 0);
    EXPECT_EQ(e2e::read_text(listing).find("numbers.txt."), std::string::npos) << e2e::read_text(listing);
}

// Started with standard output (and input, and error) closed: the serial-number
// file, open through the run, must not take their place and collect the messages.
TEST(insertions, serial_number_file_never_gets_the_messages)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    std::string image = cfg::hex_file(chip, "code.hex", {{0x100, code}});
    std::string serial = chip.path("serial.txt");
    for (std::string closed : {">&-", "<&- >&-", "<&- >&- 2>&-"}) {
        e2e::write_text(serial, "41\n");
        e2e::spawn_options options;
        // verification only: the file is kept open to the end and left as it was
        auto run = e2e::spawn_program({"bash", "-c", "exec \"$0\" \"$@\" " + closed, MORVIN_EXE, "+mega8",
                                       "-o16MHz", "-v", "-c?SERNO2=100," + serial, image},
                                      chip.environment(), options);
        EXPECT_EQ(run.status, 10) << closed << " (the chip is blank)";
        EXPECT_EQ(e2e::read_text(serial), "41\n") << closed;
        for (const char *name : {"chip.state", "counters.txt", "trace.txt"})
            EXPECT_EQ(e2e::read_text(chip.path(name)).find("Command:"), std::string::npos) << closed << " " << name;
    }
}

TEST(insertions, bytes_into_the_eeprom_and_the_flash)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    std::string image = cfg::hex_file(chip, "code.hex", {{0x100, code}});
    std::string data = cfg::hex_file(chip, "data.hex", {{0x10, {0, 0, 0, 0, 0, 0}}});
    auto run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", "-d*BYTES3=11,0A0B0C", image, "-d", data});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Programming CODE memory\n", " passed\n", "Programming DATA memory\n",
                                   " passed\n"}))
        << run.out;
    cfg::chip_state state = cfg::read_state(chip);
    bytes_t eeprom;
    for (uint32_t a = 0x10; a < 0x16; a++)
        eeprom.push_back(state.eeprom_at(a));
    EXPECT_EQ(eeprom, (bytes_t{0, 0x0A, 0x0B, 0x0C, 0, 0}));
    EXPECT_EQ(state.flash_range(0x100, 6), code);

    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", "-c?BYTES2=102,5AA5", image});
    ASSERT_EQ(run.status, 0) << run.out;
    // the second value byte lands on the filler bytes, which keep their high nibbles
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x100, 6), join({ldi(0, 0), ldi(1, 0x5A), {0xA5, 0xAA}}));

    // outside the image nothing is created
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-c*BYTES2=106,1122", image});
    EXPECT_EQ(run.status, 50) << run.out;
    EXPECT_TRUE(has_line(run.out, "HEX record for BYTES not found\n")) << run.out;
    EXPECT_EQ(run.out.find("Device erased"), std::string::npos) << "refused before the erase";
}

// The erase counter lives in the last two flash bytes, low byte first.
TEST(erase_counter, starts_at_one_counts_up_and_can_be_forced)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    auto counter = [&] { return cfg::read_state(chip).flash_range(0x1FFE, 2); };

    auto run = chip.morvin({"+mega8", "-o16MHz", "-e", "-n"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Chip not locked\n", "Number of erases not initialized\n", "Device erased\n",
                                   "Writing erase counter = 1\n", "Programming CODE memory\n", "Total time "}))
        << run.out;
    EXPECT_EQ(counter(), (bytes_t{0x01, 0x00}));

    std::string image = cfg::hex_file(chip, "code.hex", {{0x100, code}});
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-n", "-w", "-v", image});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Read number of erases 1\n", "Device erased\n", "Writing erase counter = 2\n",
                                   "Verifying CODE memory\n", " passed\n"}))
        << run.out;
    cfg::chip_state state = cfg::read_state(chip);
    EXPECT_EQ(state.flash_range(0x1FFE, 2), (bytes_t{0x02, 0x00}));
    EXPECT_EQ(state.flash_range(0x100, 6), code);

    // reading the counter without an erase writes nothing
    run = chip.morvin({"+mega8", "-o16MHz", "-n"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(has_line(run.out, "Read number of erases 2\n")) << run.out;
    EXPECT_EQ(run.out.find("Writing erase counter"), std::string::npos);

    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-n300"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Read number of erases 2\n", "Number of erases forced to 300\n",
                                   "Device erased\n", "Writing erase counter = 300\n"}))
        << run.out;
    EXPECT_EQ(counter(), (bytes_t{0x2C, 0x01}));
    EXPECT_EQ(cfg::read_state(chip).flash_at(0x100), 0xFF) << "the erase went through";
}

TEST(erase_counter, gives_way_to_code_in_its_place)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    auto run = chip.morvin({"+mega8", "-o16MHz", "-e", "-n5"});
    ASSERT_EQ(run.status, 0) << run.out;
    bytes_t tail = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80};
    std::string image = cfg::hex_file(chip, "tail.hex", {{0x1FF8, tail}});
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-n", "-w", "-v", image});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Read number of erases 5\n", "Device erased\n",
                                   "Can't write number of erases, locations used for code\n",
                                   "Programming CODE memory\n", "Verifying CODE memory\n", " passed\n"}))
        << run.out;
    EXPECT_EQ(run.out.find("Writing erase counter"), std::string::npos);
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x1FF8, 8), tail) << "the image's own last bytes";
}

}  // namespace
