// Fuse, lock and calibration commands sent to a scripted fake chip.
#include <string>
#include <vector>

#include "device_test_support.h"

namespace {

typedef std::vector<command_t> commands_t;

class FuseOps : public device_test {
protected:
    // Names the chip, installs the fake and parses the fuse list (if any).
    fake_chip_t &start(const char *chip_name, const char *list = nullptr)
    {
        select_chip(chip_name);
        fake_chip_t &fake = install_chip();
        if (list != nullptr)
            parse_fuse_list(target, list);
        return fake;
    }

    static command_t cmd(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
    {
        return command_t{a, b, c, d};
    }

    // Reads the bytes as a run does first, then programs the request at the
    // given message level; returns the commands of the programming alone.
    commands_t program_after_read(uint8_t level = MSG_INFO)
    {
        read_fuses(target);
        fake.commands.clear();
        msg_out.level = level;
        program_fuses(target);
        return fake.commands;
    }
};

}  // namespace

TEST_F(FuseOps, ReadFusesByKind)
{
    fake_chip_t &fake = start("mega8");
    fake.fuse[FUSE_LOW] = 0xE1;
    fake.fuse[FUSE_HIGH] = 0xD9;
    fake.lock_read = 0xEF;
    fake.fuse[FUSE_EXT] = 0x12;   // mega8 has none: never asked for
    read_fuses(target);
    EXPECT_EQ(fake.commands,
              commands_t({cmd(0x50, 0, 0, 0), cmd(0x58, 0, 0, 0), cmd(0x58, 0x08, 0, 0)}));
    EXPECT_EQ(target.fuses[FUSE_LOW].read_value, 0xE1);
    EXPECT_EQ(target.fuses[FUSE_LOCK].read_value, 0xEF);
    EXPECT_EQ(target.fuses[FUSE_HIGH].read_value, 0xD9);
    EXPECT_EQ(target.fuses[FUSE_EXT].read_value, 0x00);
}

TEST_F(FuseOps, ReadFusesOfExtendedAndClassicChips)
{
    fake_chip_t &mega88 = start("mega88");
    mega88.fuse[FUSE_EXT] = 0xF9;
    read_fuses(target);
    EXPECT_EQ(mega88.commands, commands_t({cmd(0x50, 0, 0, 0), cmd(0x58, 0, 0, 0),
                                           cmd(0x58, 0x08, 0, 0), cmd(0x50, 0x08, 0, 0)}));
    EXPECT_EQ(target.fuses[FUSE_EXT].read_value, 0xF9);

    target = avr_target_t();
    fake_chip_t &tiny13 = start("tiny13");   // no lock byte
    read_fuses(target);
    EXPECT_EQ(tiny13.commands, commands_t({cmd(0x50, 0, 0, 0), cmd(0x58, 0x08, 0, 0)}));

    // fuse kind 1: lock and fuse bits in one byte, kept in the low slot
    fake_chip_t &s4434 = start("90S4434");
    s4434.lock_read = 0x5A;
    read_fuses(target);
    EXPECT_EQ(s4434.commands, commands_t({cmd(0x58, 0, 0, 0)}));
    EXPECT_EQ(target.fuses[FUSE_LOW].read_value, 0x5A);

    fake_chip_t &s2333 = start("90S2333");
    s2333.fuse[FUSE_LOW] = 0x3C;
    read_fuses(target);
    EXPECT_EQ(s2333.commands, commands_t({cmd(0x50, 0, 0, 0)}));
    EXPECT_EQ(target.fuses[FUSE_LOW].read_value, 0x3C);

    fake_chip_t &s8515 = start("90S8515");
    read_fuses(target);
    EXPECT_TRUE(s8515.commands.empty());
}

TEST_F(FuseOps, ReadsAreTraced)
{
    fake_chip_t &fake = start("tiny13");
    fake.fuse[FUSE_LOW] = 0x6A;
    fake.fuse[FUSE_HIGH] = 0xFF;
    msg_out.level = MSG_TRACE;
    read_fuses(target);
    EXPECT_EQ(output(), "\t% Read Fuses\tcommand 50 00 00 00,  reply 00 50 00 6A\n"
                        "\t% Read Fuses\tcommand 58 08 00 00,  reply 00 58 08 FF\n");
}

TEST_F(FuseOps, LostEchoEndsTheRun)
{
    fake_chip_t &fake = start("mega8", "CKSEL=1");
    fake.break_echo = true;
    EXPECT_EQ(status_of([this] { read_fuses(target); }), EXIT_SYNC_LOST);
    EXPECT_EQ(fake.commands.size(), 1u);
    EXPECT_EQ(output(), "\nSynchronisation lost\n");
    EXPECT_EQ(status_of([this] { program_fuses(target); }), EXIT_SYNC_LOST);
    EXPECT_EQ(status_of([this] { read_osccal(target); }), EXIT_SYNC_LOST);
    EXPECT_EQ(status_of([this] { read_lock_state(target); }), EXIT_SYNC_LOST);
    EXPECT_EQ(status_of([this] { lock_chip(target, '1'); }), EXIT_SYNC_LOST);
}

TEST_F(FuseOps, PrintFusesFieldByField)
{
    fake_chip_t &fake = start("mega8");
    fake.fuse[FUSE_LOW] = 0xE1;
    fake.fuse[FUSE_HIGH] = 0xD9;
    fake.lock_read = 0xEF;
    fake.osccal[0] = 0xA1;
    fake.osccal[1] = 0x02;
    fake.osccal[2] = 0xB3;
    fake.osccal[3] = 0x04;
    read_osccal(target);
    read_fuses(target);
    print_fuses(target, "Fuses ");
    EXPECT_EQ(output(), "Fuses \n"
                        "  OSCCALs\t= A1 02 B3 04\n"
                        "_LOCK = 0xEF\n"
                        "  BLB1      \t= 2\n"
                        "  BLB0      \t= 3\n"
                        "_LOW = 0xE1\n"
                        "  BODLEVEL  \t= 1\n"
                        "  BODEN     \t= 1\n"
                        "  SUT       \t= 2\n"
                        "  CKSEL     \t= 1\n"
                        "_HIGH = 0xD9\n"
                        "  RSTDISBL  \t= 1\n"
                        "  WDTON     \t= 1\n"
                        "  CKOPT     \t= 1\n"
                        "  EESAVE    \t= 1\n"
                        "  BOOTSZ    \t= 0\n"
                        "  BOOTRST   \t= 1\n");
}

TEST_F(FuseOps, PrintFusesWithoutLockByteOrFuses)
{
    fake_chip_t &fake = start("tiny15");   // one calibration byte, low byte only
    fake.osccal[0] = 0x5C;
    fake.fuse[FUSE_LOW] = 0x50;
    read_osccal(target);
    read_fuses(target);
    print_fuses(target, "New fuses value");
    EXPECT_EQ(output(), "New fuses value\n"
                        "  OSCCAL \t= 5C\n"
                        "_LOW = 0x50\n"
                        "  BODLEVEL  \t= 0\n"
                        "  BODEN     \t= 1\n"
                        "  SPIEN     \t= 0\n"
                        "  RSTDISBL  \t= 1\n"
                        "  CKSEL     \t= 0\n");

    start("90S8515");
    print_fuses(target, "Fuses ");
    EXPECT_EQ(output(), "Fuses \n");
}

TEST_F(FuseOps, CalibrationBytesByIndex)
{
    fake_chip_t &fake = start("tiny13");
    fake.osccal[0] = 0x41;
    fake.osccal[1] = 0x42;
    fake.osccal[2] = 0x43;
    read_osccal(target);
    EXPECT_EQ(fake.commands, commands_t({cmd(0x38, 0, 0, 0), cmd(0x38, 0, 1, 0)}));
    EXPECT_EQ(target.osccal[0], 0x41);
    EXPECT_EQ(target.osccal[1], 0x42);
    EXPECT_EQ(target.osccal[2], 0x00);

    fake_chip_t &mega8 = start("mega8");
    read_osccal(target);
    ASSERT_EQ(mega8.commands.size(), 4u);
    EXPECT_EQ(mega8.commands[3], cmd(0x38, 0, 3, 0));

    fake_chip_t &s8515 = start("90S8515");
    read_osccal(target);
    EXPECT_TRUE(s8515.commands.empty());
}

TEST_F(FuseOps, WholeFieldWriteKeepsTheOtherBits)
{
    fake_chip_t &fake = start("mega8", "CKSEL=F");
    fake.fuse[FUSE_LOW] = 0xE1;
    fake.fuse[FUSE_HIGH] = 0xD9;
    fake.lock_read = 0xFF;
    target.memory.data_write_delay = 2.5f;
    EXPECT_EQ(program_after_read(), commands_t({cmd(0xAC, 0xA0, 0x00, 0xEF)}));
    EXPECT_EQ(fake.delays, std::vector<float>({10.0f}));
    EXPECT_EQ(target.fuses[FUSE_LOW].request_value, 0xEF);
    EXPECT_EQ(output(), "Programming fuses\n");
}

TEST_F(FuseOps, UndescribedBitsAreWrittenAsOne)
{
    // tiny13 describes bits 6..0 of the low byte only
    fake_chip_t &fake = start("tiny13", "CKSEL=1");
    fake.fuse[FUSE_LOW] = 0x6A;
    EXPECT_EQ(program_after_read(), commands_t({cmd(0xAC, 0xA0, 0x00, 0xE9)}));
}

TEST_F(FuseOps, BytesAreWrittenLowHighExtendedLock)
{
    // high byte: DWEN cleared, bit 5 (no field) written as 1
    fake_chip_t &fake = start("mega88", "_LOCK=0F,DWEN=0,_EXT=F9,SUT=1");
    fake.fuse[FUSE_LOW] = 0x62;
    fake.fuse[FUSE_HIGH] = 0xDF;
    fake.fuse[FUSE_EXT] = 0xFF;
    fake.lock_read = 0x3F;
    EXPECT_EQ(program_after_read(MSG_TRACE),
              commands_t({cmd(0xAC, 0xA0, 0x00, 0x52), cmd(0xAC, 0xA8, 0x00, 0xBF),
                          cmd(0xAC, 0xA4, 0x00, 0xF9), cmd(0xAC, 0xE0, 0x00, 0x0F)}));
    EXPECT_EQ(output(), "Programming fuses\n"
                        "\t% Write Fuses\tcommand AC A0 00 52,  reply 00 AC A0 52\n"
                        "\t% Write Fuses\tcommand AC A8 00 BF,  reply 00 AC A8 BF\n"
                        "\t% Write Fuses\tcommand AC A4 00 F9,  reply 00 AC A4 F9\n"
                        "\t% Write Fuses\tcommand AC E0 00 0F,  reply 00 AC E0 0F\n");
    EXPECT_EQ(fake.delays.size(), 4u);
}

TEST_F(FuseOps, ClassicChipsWriteInTheCommandByte)
{
    fake_chip_t &s2333 = start("90S2333", "BODEN=0");
    s2333.fuse[FUSE_LOW] = 0xFF;
    EXPECT_EQ(program_after_read(), commands_t({cmd(0xAC, 0xB7, 0x00, 0x00)}));

    // 90S4434 describes bit 0 only: the other four command bits are ones
    fake_chip_t &s4434 = start("90S4434", "FSTRT=0");
    s4434.lock_read = 0x00;
    EXPECT_EQ(program_after_read(), commands_t({cmd(0xAC, 0xBE, 0x00, 0x00)}));
}

TEST_F(FuseOps, LockByteWritableOnlyWithoutUnprogramming)
{
    start("mega8", "_LOCK=3C");
    target.fuses[FUSE_LOCK].read_value = 0x0F;   // boot lock bits programmed
    EXPECT_FALSE(lock_byte_writable(target));
    target.fuses[FUSE_LOCK].read_value = 0x3C;
    EXPECT_TRUE(lock_byte_writable(target));
    target.fuses[FUSE_LOCK].read_value = 0xFC;   // LB bits are not asked for
    EXPECT_TRUE(lock_byte_writable(target));

    start("mega8", "BLB1=3");
    target.fuses[FUSE_LOCK].read_value = 0xEF;
    EXPECT_FALSE(lock_byte_writable(target));
    start("mega8", "BLB0=0");
    target.fuses[FUSE_LOCK].read_value = 0x00;
    EXPECT_TRUE(lock_byte_writable(target));

    // no lock byte, or not a per-byte fuse chip
    start("mega48", "CKSEL=1");
    target.fuses[FUSE_LOCK].request_value = 0xFF;
    target.fuses[FUSE_LOCK].request_mask = 0xFF;
    target.fuses[FUSE_LOCK].read_value = 0x00;
    EXPECT_TRUE(lock_byte_writable(target));
    start("90S2333", "BODEN=0");
    target.fuses[FUSE_LOCK].request_mask = 0xFF;
    EXPECT_TRUE(lock_byte_writable(target));
}

TEST_F(FuseOps, VerifyComparesRequestedFieldsOnly)
{
    fake_chip_t &fake = start("mega8", "CKSEL=F,SUT=2,EESAVE=0");
    fake.fuse[FUSE_LOW] = 0xE1;
    fake.fuse[FUSE_HIGH] = 0xD9;
    read_fuses(target);
    program_fuses(target);
    output();
    // the chip took the high byte but SUT and CKSEL differ; BODEN differs unasked
    fake.fuse[FUSE_LOW] = 0x9E;
    fake.fuse[FUSE_HIGH] = 0xD1;
    EXPECT_FALSE(verify_fuses(target));
    EXPECT_EQ(output(), "Verifying fuses\n"
                        "  SUT     : expected 2, read 1\n"
                        "  CKSEL   : expected F, read E\n"
                        "Verifying of fuses failed\n");

    fake.fuse[FUSE_LOW] = 0x2F;   // BODLEVEL/BODEN differ but were not requested
    EXPECT_TRUE(verify_fuses(target));
    EXPECT_EQ(output(), "Verifying fuses\npassed\n");
}

TEST_F(FuseOps, VerifyWholeBytes)
{
    fake_chip_t &fake = start("mega88", "_EXT=F9");
    fake.fuse[FUSE_EXT] = 0xF9;
    read_fuses(target);
    program_fuses(target);
    output();
    fake.fuse[FUSE_EXT] = 0xFB;   // BOOTSZ
    EXPECT_FALSE(verify_fuses(target));
    EXPECT_EQ(output(), "Verifying fuses\n"
                        "  BOOTSZ  : expected 0, read 1\n"
                        "Verifying of fuses failed\n");
    fake.fuse[FUSE_EXT] = 0x09;   // bits outside every field are not compared
    EXPECT_TRUE(verify_fuses(target));
}

TEST_F(FuseOps, LockStateFromTheBitsOfEachLockKind)
{
    struct case_t {
        const char *chip;
        uint8_t read;
        int32_t state;
    };
    const case_t cases[] = {
        {"90S4434", 0xFF, 0}, {"90S4434", 0x7F, 1}, {"90S4434", 0x3F, 2}, {"90S4434", 0xBF, -1},
        {"90S2333", 0xFF, 0}, {"90S2333", 0xFD, 1}, {"90S2333", 0xF9, 2}, {"90S2333", 0xFB, -1},
        {"mega8", 0xFF, 0},   {"mega8", 0xFE, 1},   {"mega8", 0xFC, 2},   {"mega8", 0x01, -1},
        {"tiny22L", 0x3F, 2},
    };
    for (const case_t &c : cases) {
        SCOPED_TRACE(std::string(c.chip) + " " + std::to_string(c.read));
        fake_chip_t &fake = start(c.chip);
        fake.lock_read = c.read;
        target.lock_state = 7;
        read_lock_state(target);
        EXPECT_EQ(target.lock_state, c.state);
        EXPECT_EQ(fake.commands, commands_t({cmd(0x58, 0, 0, 0)}));
    }
    fake_chip_t &s8515 = start("90S8515");   // lock bits cannot be read
    target.lock_state = 0;
    read_lock_state(target);
    EXPECT_EQ(target.lock_state, -1);
    EXPECT_TRUE(s8515.commands.empty());
}

TEST_F(FuseOps, LockStateLines)
{
    const std::pair<int32_t, const char *> cases[] = {
        {0, "Chip not locked\n"},
        {1, "Chip locked - programming disabled\n"},
        {2, "Chip locked - reading and programming disabled\n"},
        {-1, "Lock state unknown\n"},
        {3, "Lock state unknown\n"},
    };
    for (const auto &c : cases) {
        target.lock_state = c.first;
        print_lock_state(target);
        EXPECT_EQ(output(), c.second);
    }
}

TEST_F(FuseOps, LockKeepsTheBootLockBits)
{
    fake_chip_t &fake = start("mega8");
    fake.lock_read = 0xEF;
    target.memory.erase_delay = 20.0f;
    msg_out.level = MSG_TRACE;
    EXPECT_EQ(lock_chip(target, '1'), '1');
    EXPECT_EQ(fake.commands, commands_t({cmd(0x58, 0, 0, 0), cmd(0xAC, 0xE0, 0x00, 0xEE)}));
    EXPECT_EQ(fake.delays, std::vector<float>({20.0f}));
    EXPECT_EQ(output(), "\t% BLB* read\tcommand 58 00 00 00,  reply 00 58 00 EF\n"
                        "\t% Lock chip\tcommand AC E0 00 EE,  reply 00 AC E0 EE\n");

    fake.commands.clear();
    fake.lock_read = 0x00;
    EXPECT_EQ(lock_chip(target, '2'), '2');
    EXPECT_EQ(fake.commands, commands_t({cmd(0x58, 0, 0, 0), cmd(0xAC, 0xE0, 0x00, 0xC0)}));

    // the boot lock read is a debug line, the lock command a trace line
    msg_out.level = MSG_DEBUG;
    output();
    fake.lock_read = 0xFF;
    lock_chip(target, '2');
    EXPECT_EQ(output(), "\t% BLB* read\tcommand 58 00 00 00,  reply 00 58 00 FF\n");
}

TEST_F(FuseOps, LockEncodingsOfOtherChips)
{
    fake_chip_t &mega48 = start("mega48");   // no boot lock bits: no read
    mega48.lock_read = 0x00;
    EXPECT_EQ(lock_chip(target, '1'), '1');
    EXPECT_EQ(lock_chip(target, '2'), '2');
    EXPECT_EQ(mega48.commands,
              commands_t({cmd(0xAC, 0xE0, 0x00, 0xFE), cmd(0xAC, 0xE0, 0x00, 0xFC)}));

    fake_chip_t &s8515 = start("90S8515");
    EXPECT_EQ(lock_chip(target, '1'), '1');
    EXPECT_EQ(lock_chip(target, '2'), '2');
    EXPECT_EQ(lock_chip(target, '3'), '2');
    EXPECT_EQ(s8515.commands, commands_t({cmd(0xAC, 0xFD, 0, 0), cmd(0xAC, 0xF9, 0, 0),
                                          cmd(0xAC, 0xF9, 0, 0)}));
    EXPECT_EQ(s8515.delays, std::vector<float>({50.0f, 50.0f, 50.0f}));

    fake_chip_t &s2333 = start("90S2333");   // lock kind 2 writes like kind 0
    EXPECT_EQ(lock_chip(target, '3'), '2');
    EXPECT_EQ(s2333.commands, commands_t({cmd(0xAC, 0xF9, 0, 0)}));
}
