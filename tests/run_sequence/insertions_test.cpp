// Insertion requests: parsing of the -c* / -c? / -d* switches and patching the images.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

#include <memory>

#include "avr/devices.h"
#include "image/image.h"
#include "run/insertions.h"
#include "base/messages.h"
#include "run/run_context.h"
#include "support/capture.h"

namespace {

class Insertions : public ::testing::Test {
protected:
    // A fresh run, as the next process would start it.
    void start_over() { context.reset(new run_context_t); }
    std::string output() { return messages.text(); }
    void use_chip(const char *name)
    {
        context->options.chip_name = name;
        context->target.settings.chip_name = name;
        context->target.set_device(find_device(name));
    }
    // Parses one switch extension and applies it to the images; the exit
    // status, -1 when both went through.
    int insert(const std::string &extension)
    {
        return status_of([&] {
            parse_hex_extension(context->requests, extension.c_str());
            apply_insertions(*context);
        });
    }
    void image_with(PortionList &image, int32_t address, std::initializer_list<uint8_t> bytes)
    {
        std::vector<uint8_t> data(bytes);
        image.append(new CodePortion(address, (int32_t)data.size(), data.data()));
    }
    std::unique_ptr<run_context_t> context{new run_context_t};
    message_capture messages{message_capture::keep_level};
};

TEST_F(Insertions, ParsesTheThreeKindsWithTheirParameters)
{
    parse_hex_extension(context->requests, "c*OSCCAL=1FFE");
    EXPECT_EQ(context->requests.osccal.target, TARGET_CODE);
    EXPECT_EQ(context->requests.osccal.index, 0);
    EXPECT_EQ(context->requests.osccal.correction, 0);
    EXPECT_EQ(context->requests.osccal.address, 0x1FFE);

    parse_hex_extension(context->requests, "d*SERNO4=10,serial.txt");
    EXPECT_EQ(context->requests.serno.target, TARGET_DATA);
    EXPECT_EQ(context->requests.serno.width, 4);
    EXPECT_STREQ(context->requests.serno.file, "serial.txt");
    EXPECT_EQ(context->requests.serno.address, 0x10);

    parse_hex_extension(context->requests, "C*bytes3=100,0A0b0C");
    ASSERT_EQ(context->requests.bytes.values.size(), 3u);
    EXPECT_EQ(context->requests.bytes.address, 0x100);
    EXPECT_EQ(context->requests.bytes.values[0], 0x0A);
    EXPECT_EQ(context->requests.bytes.values[1], 0x0B);
    EXPECT_EQ(context->requests.bytes.values[2], 0x0C);

    // a later BYTES replaces the earlier one
    parse_hex_extension(context->requests, "c?BYTES1=20,FF");
    EXPECT_EQ(context->requests.bytes.target, TARGET_CODE_LDI);
    EXPECT_EQ(context->requests.bytes.values.size(), 1u);
    EXPECT_EQ(context->requests.bytes.values[0], 0xFF);
}

TEST_F(Insertions, OsccalWithIndexAndSignedCorrection)
{
    parse_hex_extension(context->requests, "c?OSCCAL1=3A,-2");
    EXPECT_EQ(context->requests.osccal.target, TARGET_CODE_LDI);
    EXPECT_EQ(context->requests.osccal.index, 1);
    EXPECT_EQ(context->requests.osccal.correction, -2);
    EXPECT_EQ(context->requests.osccal.address, 0x3A);
}

TEST_F(Insertions, RejectsMalformedExtensions)
{
    const char *bad[] = {
        "d?OSCCAL=10",       // no LDI form for the data memory
        "x*OSCCAL=10",       // unknown target
        "c*",                // empty rest
        "c*OSCCAL",          // no '='
        "c*OSCCAL=",         // no address
        "c*OSCCAL=zz",       // not hexadecimal
        "c*OSCCAL=FFFFFFFF", // the reserved address
        "c*OSCCAL=10,x",     // correction not a number
        "c*SERNO2=10",       // no file
        "c*BYTES2=10,ABC",   // odd digit count
        "c*BYTES2=10",       // no parameter
        "c*BYTES2=10,ABCG",  // not hexadecimal
        "c*FOO=10",          // unknown keyword
        // numbers that do not fit are refused, not wrapped
        "c*OSCCAL=100000000",           // an address beyond 32 bits (would patch address 0)
        "c*OSCCAL=-2",                  // a negative address
        "c*OSCCAL=0,2147483647",        // the corrected byte would overflow
        "c*OSCCAL=0,-99999999999",      // a correction beyond 32 bits
        "d*SERNO2=1000000010,sn.txt",   // a SERNO address beyond 32 bits
        "c*SERNO99999999999=0,sn.txt",  // a width beyond 32 bits
    };
    for (const char *text : bad) {
        start_over();
        int status = status_of([&] { parse_hex_extension(context->requests, text); });
        EXPECT_EQ(status, EXIT_USAGE) << text;
    }
    std::string text = output();
    EXPECT_NE(text.find("Invalid HEX file switch extension '-c*BYTES2=10,ABC'\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Invalid HEX file switch extension '-d?OSCCAL=10'\n"), std::string::npos) << text;
}

TEST_F(Insertions, NumbersUpToTheirLimitsAreTaken)
{
    parse_hex_extension(context->requests, "c*OSCCAL=0xFFFFFFFE,2147483392");
    EXPECT_EQ(context->requests.osccal.address, int32_t(0xFFFFFFFE));
    EXPECT_EQ(context->requests.osccal.correction, 2147483392);
    start_over();
    parse_hex_extension(context->requests, "c?OSCCAL2=7fffffff,-2147483648");
    EXPECT_EQ(context->requests.osccal.address, 0x7FFFFFFF);
    EXPECT_EQ(context->requests.osccal.correction, INT32_MIN);
    EXPECT_EQ(context->requests.osccal.index, 2);
}

TEST_F(Insertions, SecondRequestOfOneKindIsRefused)
{
    parse_hex_extension(context->requests, "c*OSCCAL=10");
    EXPECT_EQ(status_of([this] { parse_hex_extension(context->requests, "d*OSCCAL=20"); }), EXIT_USAGE);
    parse_hex_extension(context->requests, "c*SERNO2=10,a.txt");
    EXPECT_EQ(status_of([this] { parse_hex_extension(context->requests, "c*SERNO2=30,b.txt"); }), EXIT_USAGE);
    EXPECT_EQ(output(), "Can't handle two specail code/data commands of one type\n"
                        "Can't handle two specail code/data commands of one type\n");
}

TEST_F(Insertions, OsccalPlainByteAndReport)
{
    use_chip("mega8");
    context->target.osccal[0] = 0x9A;
    image_with(context->code_image, 0x1FF0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x22});
    ASSERT_EQ(insert("c*OSCCAL=1FFE"), -1) << output();
    EXPECT_EQ(context->code_image.first()->byte_at(0x1FFE), 0x9A);
    EXPECT_EQ(context->code_image.first()->byte_at(0x1FFF), 0x22);
    EXPECT_EQ(output(), "OSCCAL0 inserted to CODE memory at 0x1FFE \n");
}

TEST_F(Insertions, OsccalCorrectionIsLimitedToAByte)
{
    use_chip("mega8");
    context->target.osccal[0] = 0xC0;
    image_with(context->code_image, 0, {0x12});
    ASSERT_EQ(insert("c*OSCCAL=0,+100"), -1) << output();
    EXPECT_EQ(context->code_image.first()->byte_at(0), 0xFF);
    EXPECT_EQ(output(), "Warning: corrected osccal value limited by 0xFF\n"
                        "OSCCAL0+100 inserted to CODE memory at 0x0 \n");

    start_over();
    use_chip("mega8");
    context->target.osccal[0] = 0x50;
    image_with(context->code_image, 0, {0x12});
    ASSERT_EQ(insert("c*OSCCAL=0,-200"), -1) << output();
    EXPECT_EQ(context->code_image.first()->byte_at(0), 0x00);
}

TEST_F(Insertions, OsccalIntoLdiInstruction)
{
    use_chip("mega8");
    context->target.osccal[0] = 0xA7;
    image_with(context->code_image, 0x100, {0x00, 0xE0});  // LDI r16,0x00
    ASSERT_EQ(insert("c?OSCCAL=100"), -1) << output();
    EXPECT_EQ(context->code_image.first()->byte_at(0x100), 0x07);
    EXPECT_EQ(context->code_image.first()->byte_at(0x101), 0xEA);
    EXPECT_NE(output().find("as part of LDI command\n"), std::string::npos);
}

TEST_F(Insertions, OsccalIndexMustExistInTheChip)
{
    use_chip("mega8");  // four calibration bytes
    image_with(context->code_image, 0, {0x12});
    EXPECT_EQ(insert("c*OSCCAL4=0"), EXIT_USAGE);
    EXPECT_EQ(output(), "OSCCAL4 not exist in selected chip\n");
}

TEST_F(Insertions, DestinationChecksCountLdiBytesTwiceAndTheErasedCounter)
{
    use_chip("mega8");  // 8192 bytes of flash
    image_with(context->code_image, 0x1FF0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    parse_hex_extension(context->requests, "c?OSCCAL=1FFF");  // an LDI needs two bytes
    EXPECT_EQ(status_of([this] { apply_insertions(*context); }), EXIT_USAGE);
    EXPECT_EQ(output(), "OSCCAL destination address too large\n");

    start_over();
    use_chip("mega8");
    context->erase_counter.enabled = true;  // the last two bytes belong to the counter
    image_with(context->code_image, 0x1FF0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(insert("c*OSCCAL=1FFE"), EXIT_USAGE);
    EXPECT_EQ(context->usable_code_size(), 8190);
}

TEST_F(Insertions, MissingImagesAndRecords)
{
    use_chip("mega8");
    EXPECT_EQ(insert("d*BYTES1=0,55"), EXIT_USAGE);
    image_with(context->data_image, 0x10, {1, 2});
    EXPECT_EQ(status_of([this] { apply_insertions(*context); }), EXIT_BAD_DATA);
    EXPECT_EQ(output(), "No hex records for EEPROM, can't insert BYTES\n"
                        "HEX record for BYTES not found\n");
}

TEST_F(Insertions, BytesSpanConsecutivePortions)
{
    use_chip("mega8");
    image_with(context->code_image, 0x10, {0, 0});
    image_with(context->code_image, 0x12, {0, 0});
    ASSERT_EQ(insert("c*BYTES3=11,AABBCC"), -1) << output();
    EXPECT_EQ(context->code_image.first()->byte_at(0x11), 0xAA);
    EXPECT_EQ(context->code_image.last_portion()->byte_at(0x12), 0xBB);
    EXPECT_EQ(context->code_image.last_portion()->byte_at(0x13), 0xCC);
}

TEST_F(Insertions, SerialNumberIsInsertedAndAdvancesOnlyAfterAWrite)
{
    use_chip("mega8");
    std::string path = ::testing::TempDir() + "morvin_sn_" + std::to_string(getpid()) + ".txt";
    { std::ofstream(path) << "41"; }
    image_with(context->data_image, 0x100, {0xEE, 0xEE, 0xEE});
    std::string ext = "d*SERNO2=100," + path;
    ASSERT_EQ(insert(ext), -1) << output();
    EXPECT_EQ(context->data_image.first()->byte_at(0x100), 0x29);
    EXPECT_EQ(context->data_image.first()->byte_at(0x101), 0x00);
    EXPECT_EQ(context->data_image.first()->byte_at(0x102), 0xEE);
    EXPECT_EQ(output(), "Chip serial number is 41\n");

    // a verification run only closes the file
    context->options.write = 0;
    store_next_serial(*context);
    std::string content;
    { std::ifstream in(path); std::getline(in, content); }
    EXPECT_EQ(content, "41");

    start_over();
    use_chip("mega8");
    image_with(context->data_image, 0x100, {0xEE, 0xEE});
    ASSERT_EQ(insert(ext), -1) << output();
    context->options.write = WRITE_ON;
    store_next_serial(*context);
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all, "42\n");
    std::remove(path.c_str());
}

TEST_F(Insertions, SerialNumberFileProblems)
{
    use_chip("mega8");
    image_with(context->code_image, 0, {0, 0, 0, 0});
    EXPECT_EQ(insert("c*SERNO=0,sn.txt"), EXIT_USAGE);
    EXPECT_EQ(output(), "Invalid SERNO length\n");

    start_over();
    use_chip("mega8");
    image_with(context->code_image, 0, {0, 0, 0, 0});
    std::string path = ::testing::TempDir() + "morvin_sn_bad.txt";
    { std::ofstream(path) << "none"; }
    std::string ext = "c*SERNO2=0," + path;
    EXPECT_EQ(insert(ext), EXIT_BAD_DATA);
    EXPECT_NE(output().find("Can't read " + path + "\n"), std::string::npos);
    std::remove(path.c_str());
}

TEST_F(Insertions, SerialNumberInsideTwoLdiInstructions)
{
    use_chip("mega8");
    std::string path = ::testing::TempDir() + "morvin_sn_ldi.txt";
    { std::ofstream(path) << "4660"; }  // 0x1234
    image_with(context->code_image, 0x200, {0x00, 0xE0, 0x00, 0xE0});
    std::string ext = "c?SERNO2=200," + path;
    ASSERT_EQ(insert(ext), -1) << output();
    const CodePortion *p = context->code_image.first();
    EXPECT_EQ(p->byte_at(0x200), 0x04);
    EXPECT_EQ(p->byte_at(0x201), 0xE3);
    EXPECT_EQ(p->byte_at(0x202), 0x02);
    EXPECT_EQ(p->byte_at(0x203), 0xE1);
    std::remove(path.c_str());
}

}  // namespace
