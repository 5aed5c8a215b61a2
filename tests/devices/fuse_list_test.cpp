// Parsing of the user's fuse list against the named chip, and the fuse list
// printed for "+name -?".
#include <string>
#include <vector>

#include "device_test_support.h"

#include "avr/fuse_lockout.h"

namespace {

class FuseList : public device_test {
protected:
    // Parses `list` for `chip_name`; returns the exit status (-1: accepted)
    // and leaves the printed text in `message`.
    int parse(const char *chip_name, const char *list)
    {
        select_chip(chip_name);
        int status = status_of([&] { parse_fuse_list(target, list); });
        message = output();
        return status;
    }

    void expect_error(const char *chip_name, const char *list, const std::string &text)
    {
        SCOPED_TRACE(list);
        EXPECT_EQ(parse(chip_name, list), EXIT_USAGE);
        EXPECT_EQ(message, text);
    }

    // One byte of a slot's state after a list was accepted.
    struct slot_field {
        const char *name;
        uint8_t fuse_state_t::*member;
    };
    static constexpr slot_field valid{"valid_mask", &fuse_state_t::valid_mask};
    static constexpr slot_field mask{"request_mask", &fuse_state_t::request_mask};
    static constexpr slot_field value{"request_value", &fuse_state_t::request_value};
    struct slot_check {
        int slot;
        slot_field field;
        uint8_t expected;
    };
    struct accepted_list {
        const char *chip;
        const char *list;
        std::vector<slot_check> slots;
    };

    // Parses each list in turn and checks the slots it names.
    void expect_accepted(const std::vector<accepted_list> &cases)
    {
        for (const accepted_list &c : cases) {
            SCOPED_TRACE(std::string(c.chip) + " \"" + c.list + "\"");
            EXPECT_EQ(parse(c.chip, c.list), -1) << message;
            for (const slot_check &check : c.slots)
                EXPECT_EQ(int(target.fuses[check.slot].*check.field.member), int(check.expected))
                    << "slot " << check.slot << " " << check.field.name;
        }
    }

    std::string message;
};

}  // namespace

TEST_F(FuseList, NothingToParseLeavesTheStateAlone)
{
    target.fuses[FUSE_LOW].request_mask = 0x12;
    EXPECT_EQ(parse("90S1200", nullptr), -1);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0x12);
    EXPECT_EQ(message, "");
}

TEST_F(FuseList, ChipsWithoutFusesRefuseAnyList)
{
    expect_error("90S1200", "CKSEL=1", "Fuses not supported for 90S1200\n");
    expect_error("tiny22L", "RCEN=1", "Fuses not supported for tiny22L\n");
    target.settings.chip_name = nullptr;
    EXPECT_EQ(status_of([this] { parse_fuse_list(target, ""); }), EXIT_USAGE);
    EXPECT_EQ(output(), "Fuses not supported for unknown\n");
}

TEST_F(FuseList, ValidMasksCoverTheLayoutFields)
{
    expect_accepted({
        {"tiny13", "", {{FUSE_LOCK, valid, 0x00}, {FUSE_LOW, valid, 0x7F}, {FUSE_HIGH, valid, 0x1F},
                        {FUSE_EXT, valid, 0x00}}},
        {"mega8", "CKSEL=1", {{FUSE_LOCK, valid, 0x3C}, {FUSE_LOW, valid, 0xFF}, {FUSE_HIGH, valid, 0xDF},
                              {FUSE_EXT, valid, 0x00}}},
        // a new list starts from scratch
        {"mega8", "SUT=1", {{FUSE_LOW, mask, 0x30}, {FUSE_LOW, value, 0x10}}},
    });
}

TEST_F(FuseList, FieldsAreSetOneByOne)
{
    expect_accepted({
        {"tiny13", "CKSEL=0,SUT=2,EESAVE=ON", {{FUSE_LOW, mask, 0x4F}, {FUSE_LOW, value, 0x08},
                                              {FUSE_HIGH, mask, 0x00}}},
        {"tiny13", "EESV=on", {{FUSE_LOW, mask, 0x40}, {FUSE_LOW, value, 0x00}}},
        {"tiny13", "eesave=Off,blev=3,RSTDSBL=1", {{FUSE_LOW, mask, 0x40}, {FUSE_LOW, value, 0x40},
                                                  {FUSE_HIGH, mask, 0x07}, {FUSE_HIGH, value, 0x07}}},
        {"mega8", "BLB1=2,BOOTSZ=0x1,cksel=Ag", {{FUSE_LOCK, mask, 0x30}, {FUSE_LOCK, value, 0x20},
                                                {FUSE_HIGH, mask, 0x06}, {FUSE_HIGH, value, 0x02},
                                                {FUSE_LOW, mask, 0x0F}, {FUSE_LOW, value, 0x0A}}},
    });
}

TEST_F(FuseList, WholeBytesAndTheLockByteMask)
{
    expect_accepted({
        {"mega8", "_HIGH=D9,_low=0xe1", {{FUSE_HIGH, mask, 0xFF}, {FUSE_HIGH, value, 0xD9},
                                        {FUSE_LOW, mask, 0xFF}, {FUSE_LOW, value, 0xE1}}},
        // LB1 and LB2 stay as read: never part of the request
        {"mega8", "_LOCK=0F", {{FUSE_LOCK, mask, 0xFC}, {FUSE_LOCK, value, 0x0F}}},
        {"mega88", "_EXT=F9,_HIGH=0", {{FUSE_EXT, mask, 0xFF}, {FUSE_EXT, value, 0xF9},
                                      {FUSE_HIGH, value, 0x00}}},
    });
}

TEST_F(FuseList, EmptyItemsAreSkipped)
{
    expect_accepted({
        {"mega8", ",,CKSEL=1,,", {{FUSE_LOW, mask, 0x0F}, {FUSE_LOW, value, 0x01}}},
        {"mega8", ",,,", {{FUSE_LOW, mask, 0x00}}},
    });
}

TEST_F(FuseList, ItemLengthLimit)
{
    // 64 characters pass the length check and fail on the unknown name
    const std::string name62(62, 'Q');
    expect_error("mega8", (name62 + "=1").c_str(), "Invalid fuse name " + name62 + "\n");
    expect_error("mega8", ("CKSEL=1," + name62 + "=12").c_str(), "Fuse command too long\n");
    expect_error("mega8", ("SUT=1," + std::string(70, 'A')).c_str(), "Fuse command too long\n");
}

TEST_F(FuseList, FieldErrorsInTheirOrder)
{
    expect_error("tiny13", "CKSEL=ON", "ON/OFF mnemonics can't be used with 2-bit fuse 'CKSEL'\n");
    expect_error("tiny13", "cksel=off",
                 "ON/OFF mnemonics can't be used with 2-bit fuse 'cksel'\n");
    expect_error("tiny13", "SUT=4", "Value 4 too large for fuse SUT\n");
    expect_error("mega8", "CKSEL=10", "Value 10 too large for fuse CKSEL\n");
    expect_error("tiny13", "SUT=2,SUT=1", "Duplicate fuse SUT in command line\n");
    expect_error("tiny13", "SUT=2,sut=ON",
                 "ON/OFF mnemonics can't be used with 2-bit fuse 'sut'\n");
    expect_error("tiny13", "SUT=2,SUT=5", "Value 5 too large for fuse SUT\n");
    expect_error("tiny13", "SUT=2,SUT", "Value required for fuse SUT\n");
    expect_error("tiny13", "EESAVE=1,EESV=0", "Duplicate fuse EESV in command line\n");
    expect_error("mega8", "_LOW=6A,CKSEL=1", "Duplicate fuse CKSEL in command line\n");
    expect_error("mega8", "BODLEVEL", "Value required for fuse BODLEVEL\n");
    expect_error("mega8", "BODLEVEL=", "Value required for fuse BODLEVEL\n");
    expect_error("mega8", "BODLEVEL=x", "Invalid value 'x' for fuse 'BODLEVEL'\n");
    // the value is read before the name is looked up
    expect_error("mega8", "NOSUCH=zz", "Invalid value 'zz' for fuse 'NOSUCH'\n");
    expect_error("mega8", "NOSUCH=1", "Invalid fuse name NOSUCH\n");
    expect_error("mega8", "=1", "Invalid fuse name \n");
    // a field of another chip's layout is unknown here
    expect_error("tiny13", "BOOTRST=0", "Invalid fuse name BOOTRST\n");
    EXPECT_EQ(parse("mega8", "CKSEL=123456789"), EXIT_USAGE);
    EXPECT_NE(message.find("too large for fuse CKSEL"), std::string::npos) << message;
}

TEST_F(FuseList, WholeByteErrorsInTheirOrder)
{
    expect_error("tiny13", "_EXT=FF", "Fuse byte '_EXT' not exist in tiny13|tiny13A\n");
    expect_error("tiny13", "_lock=ON", "Fuse byte '_lock' not exist in tiny13|tiny13A\n");
    expect_error("mega8", "_LOW=ON", "ON/OFF mnemonics can't be used fuse byte name '_LOW'\n");
    expect_error("mega8", "CKSEL=1,_LOW=6A", "Duplicate fuse _LOW in command line\n");
    expect_error("mega8", "_LOW=1,_LOW=OFF",
                 "ON/OFF mnemonics can't be used fuse byte name '_LOW'\n");
    expect_error("mega8", "_LOW=1,_LOW", "Duplicate fuse _LOW in command line\n");
    expect_error("mega8", "_LOW=1,_LOW=100", "Duplicate fuse _LOW in command line\n");
    expect_error("mega8", "_HIGH", "Value required for fuse _HIGH\n");
    expect_error("mega8", "_HIGH=", "Value required for fuse _HIGH\n");
    expect_error("mega8", "_HIGH=100", "Value 100 too large for fuse byte _HIGH\n");
    expect_error("mega8", "_HIGH=g", "Invalid value 'g' for fuse '_HIGH'\n");
    // classic chips have the low byte only
    expect_error("90S2333", "_HIGH=1", "Fuse byte '_HIGH' not exist in 90S2333\n");
    EXPECT_EQ(parse("90S2333", "_LOW=FF"), -1);
}

TEST_F(FuseList, TraceLinesShowEveryItem)
{
    msg_out.level = MSG_TRACE;
    EXPECT_EQ(parse("mega8", "cksel=a,_High=D9"), -1);
    EXPECT_EQ(message, "\t% Fuse added: cksel=A\n"
                       "\t% Fuse byte added: _High=D9\n");
    EXPECT_EQ(parse("mega8", "cksel=a,EESAVE=on"), -1);
    EXPECT_EQ(message, "\t% Fuse added: cksel=A\n"
                       "\t% Fuse added: EESAVE=0\n");
}

class FuseHelp : public device_test {};

TEST_F(FuseHelp, ListsTheFieldsOfEachFuseByte)
{
    print_fuse_list("tiny13");
    EXPECT_EQ(output(),
              "\ntiny13|tiny13A signature 1E9007\n"
              "Fuse list\n"
              "  fuse programmed state is 0\n"
              "  use ON or OFF aliases for 1-bit fuses if you not shure\n"
              "\n_LOW fuse byte:\n"
              "  EESAVE     = 0 or  1 - Keep EEPROM @ erase\n"
              "   (EESV)\n"
              "  WDTON      = 0 or  1 - WDT enable\n"
              "  CKDIV      = 0 or  1 - clock prescaler selection\n"
              "   (CKDIV8)\n"
              "  SUT        = 0 to  3 - Start-up timer\n"
              "  CKSEL      = 0 to  3 - Clock selection\n"
              "\n_HIGH fuse byte:\n"
              "  SELFPRGEN  = 0 or  1 - Self programming enable\n"
              "   (SPMEN)\n"
              "  DWEN       = 0 or  1 - DebugWire enable\n"
              "  BODLEVEL   = 0 to  3 - Brown-out level\n"
              "   (BLEV)\n"
              "  RSTDISBL   = 0 or  1 - Reset pin disable\n"
              "   (RSTDSBL)\n");
}

TEST_F(FuseHelp, LockByteAndWideFieldsOfMega8)
{
    print_fuse_list("MEGA8");
    const std::string text = output();
    EXPECT_EQ(text.rfind("\nmega8 signature 1E9307\n", 0), 0u);
    EXPECT_NE(text.find("\n_LOCK fuse byte:\n"
                        "  BLB1       = 0 to  3 - Disable SPM/LPM in boot section (BLB12,BLB11)\n"
                        "  BLB0       = 0 to  3 - Disable SPM/LPM in application section "
                        "(BLB02,BLB01)\n"
                        "\n_LOW fuse byte:\n"),
              std::string::npos);
    EXPECT_NE(text.find("  CKSEL      = 0 to  F - Clock selection\n\n_HIGH fuse byte:\n"),
              std::string::npos);
    EXPECT_EQ(text.find("_EXT"), std::string::npos);
}

TEST_F(FuseHelp, UnknownChipsAndChipsWithoutFuses)
{
    print_fuse_list("mega");
    EXPECT_EQ(output(), "mega unsupported\n");
    print_fuse_list("90S8515");
    EXPECT_EQ(output(), "\n90S8515 signature 1E9301\n  has no ISP-writable fuses\n");
}

// The lock-out marks of the device table as the warning sees them: which fields of
// a request would leave the chip unable to enter serial programming, given the
// bytes the chip holds now (factory-like values, by slot _LOCK, _LOW, _HIGH, _EXT).
TEST_F(FuseList, LockOutWritesAreFoundFromTheTable)
{
    struct lockout_case {
        const char *chip;
        const char *list;
        std::array<uint8_t, 4> read;
        const char *found;   // "NAME=value" of each field found, in layout order
    };
    const lockout_case cases[] = {
        {"mega328P", "RSTDISBL=ON", {0xFF, 0x62, 0xD9, 0xFF}, "RSTDISBL=0"},
        {"mega328P", "_HIGH=19", {0xFF, 0x62, 0xD9, 0xFF}, "RSTDISBL=0 DWEN=0"},
        {"mega328P", "_HIGH=D8", {0xFF, 0x62, 0xD9, 0xFF}, ""},
        // a field that keeps the chip's value is no change
        {"mega328P", "CKSEL=0", {0xFF, 0x60, 0xD9, 0xFF}, ""},
        {"mega328P", "CKSEL=0", {0xFF, 0x62, 0xD9, 0xFF}, "CKSEL=0"},
        {"mega328P", "CKSEL=F,SUT=3", {0xFF, 0x62, 0xD9, 0xFF}, "CKSEL=F"},
        {"mega328P", "CKSEL=3", {0xFF, 0x62, 0xD9, 0xFF}, ""},
        // mega8: 1..4 calibrated RC, 5..8 external RC, 9..F crystals
        {"mega8", "CKSEL=4", {0xFF, 0xE1, 0xD9, 0xFF}, ""},
        {"mega8", "CKSEL=5", {0xFF, 0xE1, 0xD9, 0xFF}, "CKSEL=5"},
        {"mega8", "_LOW=E0", {0xFF, 0xE1, 0xD9, 0xFF}, "CKSEL=0"},
        {"tiny13", "CKSEL=0,DWEN=ON", {0xFF, 0x6A, 0xFF, 0xFF}, "CKSEL=0 DWEN=0"},
        {"tiny13", "CKSEL=3", {0xFF, 0x6A, 0xFF, 0xFF}, ""},
        // SPIEN where the serial interface writes it: unprogramming it is the danger
        {"tiny12", "SPIEN=OFF,RSTDISBL=ON", {0xFF, 0x52, 0xFF, 0xFF}, "SPIEN=1 RSTDISBL=0"},
        {"tiny12", "SPIEN=ON", {0xFF, 0x72, 0xFF, 0xFF}, ""},
        // CKSEL only picks a start-up time on these
        {"tiny15", "CKSEL=0", {0xFF, 0xDC, 0xFF, 0xFF}, ""},
        {"90S2333", "CKSEL=0", {0xFF, 0xDF, 0xFF, 0xFF}, ""},
        {"mega161", "CKSEL=0", {0xFF, 0xDA, 0xFF, 0xFF}, ""},
        {"mega16HVB", "DWEN=ON", {0xFF, 0xDE, 0xE9, 0xFF}, "DWEN=0"},
    };
    for (const lockout_case &c : cases) {
        SCOPED_TRACE(std::string(c.chip) + " " + c.list);
        ASSERT_EQ(parse(c.chip, c.list), -1) << message;
        uint8_t value[4], mask[4];
        for (int slot = 0; slot < 4; slot++) {
            value[slot] = target.fuses[slot].request_value;
            mask[slot] = target.fuses[slot].request_mask;
        }
        std::string found;
        for (const lockout_write_t &w : find_lockout_writes(target.device(), value, mask, c.read.data())) {
            char item[32];
            snprintf(item, sizeof item, "%s%s=%X", found.empty() ? "" : " ", w.field->info->name,
                     unsigned(w.value));
            found += item;
        }
        EXPECT_EQ(found, c.found);
    }
}
