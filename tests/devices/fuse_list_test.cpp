// Parsing of the user's fuse list against the named chip, and the fuse list
// printed for "+name -?".
#include <string>

#include "device_test_support.h"

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
    EXPECT_EQ(parse("tiny13", ""), -1);
    EXPECT_EQ(target.fuses[FUSE_LOCK].valid_mask, 0x00);
    EXPECT_EQ(target.fuses[FUSE_LOW].valid_mask, 0x7F);
    EXPECT_EQ(target.fuses[FUSE_HIGH].valid_mask, 0x1F);
    EXPECT_EQ(target.fuses[FUSE_EXT].valid_mask, 0x00);
    EXPECT_EQ(parse("mega8", "CKSEL=1"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOCK].valid_mask, 0x3C);
    EXPECT_EQ(target.fuses[FUSE_LOW].valid_mask, 0xFF);
    EXPECT_EQ(target.fuses[FUSE_HIGH].valid_mask, 0xDF);
    EXPECT_EQ(target.fuses[FUSE_EXT].valid_mask, 0x00);
    // a new list starts from scratch
    EXPECT_EQ(parse("mega8", "SUT=1"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0x30);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_value, 0x10);
}

TEST_F(FuseList, FieldsAreSetOneByOne)
{
    EXPECT_EQ(parse("tiny13", "CKSEL=0,SUT=2,EESAVE=ON"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0x4F);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_value, 0x08);
    EXPECT_EQ(target.fuses[FUSE_HIGH].request_mask, 0x00);

    EXPECT_EQ(parse("tiny13", "EESV=on"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0x40);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_value, 0x00);

    EXPECT_EQ(parse("tiny13", "eesave=Off,blev=3,RSTDSBL=1"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0x40);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_value, 0x40);
    EXPECT_EQ(target.fuses[FUSE_HIGH].request_mask, 0x07);
    EXPECT_EQ(target.fuses[FUSE_HIGH].request_value, 0x07);

    EXPECT_EQ(parse("mega8", "BLB1=2,BOOTSZ=0x1,cksel=Ag"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOCK].request_mask, 0x30);
    EXPECT_EQ(target.fuses[FUSE_LOCK].request_value, 0x20);
    EXPECT_EQ(target.fuses[FUSE_HIGH].request_mask, 0x06);
    EXPECT_EQ(target.fuses[FUSE_HIGH].request_value, 0x02);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0x0F);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_value, 0x0A);
}

TEST_F(FuseList, WholeBytesAndTheLockByteMask)
{
    EXPECT_EQ(parse("mega8", "_HIGH=D9,_low=0xe1"), -1);
    EXPECT_EQ(target.fuses[FUSE_HIGH].request_mask, 0xFF);
    EXPECT_EQ(target.fuses[FUSE_HIGH].request_value, 0xD9);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0xFF);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_value, 0xE1);

    // LB1 and LB2 stay as read: never part of the request
    EXPECT_EQ(parse("mega8", "_LOCK=0F"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOCK].request_mask, 0xFC);
    EXPECT_EQ(target.fuses[FUSE_LOCK].request_value, 0x0F);

    EXPECT_EQ(parse("mega88", "_EXT=F9,_HIGH=0"), -1);
    EXPECT_EQ(target.fuses[FUSE_EXT].request_mask, 0xFF);
    EXPECT_EQ(target.fuses[FUSE_EXT].request_value, 0xF9);
    EXPECT_EQ(target.fuses[FUSE_HIGH].request_value, 0x00);
}

TEST_F(FuseList, EmptyItemsAreSkipped)
{
    EXPECT_EQ(parse("mega8", ",,CKSEL=1,,"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0x0F);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_value, 0x01);
    EXPECT_EQ(parse("mega8", ",,,"), -1);
    EXPECT_EQ(target.fuses[FUSE_LOW].request_mask, 0x00);
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
