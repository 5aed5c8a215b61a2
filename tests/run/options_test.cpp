// The settings the parser stores. Runs leave out the chip name, so they end
// with "Chip name must be specified" right after the parse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "avr/devices.h"
#include "harness.h"
#include "os/os.h"

namespace {

const run_options_t &parse(const std::vector<std::string> &args)
{
    run_result r = run_morvin(args);
    EXPECT_EQ(r.rest.substr(r.rest.find('\n', r.rest.find('\n') + 1) + 1), "Chip name must be specified\n\n")
        << r.rest;
    EXPECT_EQ(r.status, 70);
    return last_options();
}

TEST(options, grouped_switches_without_values)
{
    const run_options_t &o = parse({"-ERV!"});
    EXPECT_TRUE(o.erase);
    EXPECT_FALSE(o.erase_keep_eeprom);
    EXPECT_TRUE(o.read);
    EXPECT_TRUE(o.verify);
    EXPECT_FALSE(o.verify_all);
    EXPECT_TRUE(o.force);

    parse({"-e-v+r"});
    EXPECT_TRUE(last_options().erase_keep_eeprom);
    EXPECT_TRUE(last_options().verify_all);
    EXPECT_TRUE(last_options().read);
}

// Where '/' separates path parts, an argument that begins with it is a file
// name, whether or not it exists or holds a second '/'; Windows reads it as a
// group of switches (the Windows build's runs show that).
TEST(options, slash_argument_is_an_absolute_path)
{
    ASSERT_EQ(os::path_separator, '/');
    for (const char *path : {"/e-v+r", "/ec.hex", "/r", "/tmp/x.hex"}) {
        const run_options_t &o = parse({path});
        ASSERT_NE(o.code_file, nullptr) << path;
        EXPECT_STREQ(o.code_file, path);
        EXPECT_FALSE(o.erase) << path;
        EXPECT_FALSE(o.read) << path;
    }
}

TEST(options, verify_then_write_in_one_group)
{
    const run_options_t &o = parse({"-vw"});
    EXPECT_TRUE(o.verify);
    EXPECT_EQ(o.write, WRITE_ON);
}

TEST(options, write_modifiers)
{
    EXPECT_EQ(parse({"-w"}).write, WRITE_ON);
    EXPECT_EQ(parse({"-w+"}).write, WRITE_ON | WRITE_FILL_EEPROM);
    EXPECT_EQ(parse({"-wp"}).write, WRITE_ON | WRITE_POLLING);
    EXPECT_EQ(parse({"-Wp+"}).write, WRITE_ON | WRITE_FILL_EEPROM | WRITE_POLLING);
    // a later -w replaces what an earlier one set
    EXPECT_EQ(parse({"-w+p", "-w"}).write, WRITE_ON);
}

TEST(options, blank_check_memories)
{
    EXPECT_EQ(parse({"-b"}).blank_check_mask, 3);
    EXPECT_EQ(parse({"-bc"}).blank_check_mask, 1);
    EXPECT_EQ(parse({"-bD"}).blank_check_mask, 2);
    EXPECT_EQ(parse({"-bcd"}).blank_check_mask, 3);
    // later switches add to earlier ones; a bare -b then changes nothing
    EXPECT_EQ(parse({"-bc", "-bd"}).blank_check_mask, 3);
    EXPECT_EQ(parse({"-bd", "-b"}).blank_check_mask, 2);
    EXPECT_EQ(parse({"-rb"}).blank_check_mask, 3);
}

TEST(options, lock_levels)
{
    const run_options_t &o = parse({"-l1"});
    EXPECT_EQ(o.lock_level, '1');
    EXPECT_FALSE(o.lock_first);
    parse({"-l+2"});
    EXPECT_EQ(last_options().lock_level, '2');
    EXPECT_TRUE(last_options().lock_first);
    // the group goes on after the digit
    parse({"-L2r"});
    EXPECT_EQ(last_options().lock_level, '2');
    EXPECT_TRUE(last_options().read);
}

TEST(options, erase_counter)
{
    const run_options_t &o = parse({"-n"});
    EXPECT_TRUE(o.erase_counter);
    EXPECT_EQ(o.erase_counter_value, 0xFFFF);
    EXPECT_EQ(parse({"-n1"}).erase_counter_value, 1);
    EXPECT_EQ(parse({"-N65534"}).erase_counter_value, 65534);
    EXPECT_EQ(parse({"-n0400"}).erase_counter_value, 400);
}

TEST(options, oscillator_frequency_and_divider)
{
    struct {
        const char *arg;
        int32_t khz;
        int32_t divider;
    } cases[] = {
        {"-o4MHz", 4000, 1},   {"-o4mhz", 4000, 1},  {"-o0,8", 0, 8},      {"-o0", 0, 1},
        {"-o1234", 1234, 1},   {"-o1234kHz", 1234, 1}, {"-o500000Hz", 500, 1}, {"-o3.9", 3, 1},
        {"-o1", 1, 1},         {"-o40000", 40000, 1}, {"-o0.7MHz", 700, 1}, {"-o0,32", 0, 32},
        {"-o0Hz,1", 0, 1},     {"-o1500HZ", 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arg);
        const run_options_t &o = parse({c.arg});
        EXPECT_EQ(o.osc_khz, c.khz);
        EXPECT_EQ(o.sck_divider, c.divider);
    }
}

TEST(options, delay_factors_force_and_debug_level)
{
    const float factors[] = {1.5f, 2.0f, 3.0f, 4.0f, 5.0f};
    for (int i = 0; i < 5; i++) {
        std::string arg = "-" + std::to_string(i + 1);
        EXPECT_EQ(parse({arg}).delay_factor, factors[i]) << arg;
    }
    EXPECT_EQ(parse({"-51"}).delay_factor, 1.5f);

    run_result r = run_morvin({"-%"});
    EXPECT_EQ(msg_out.level, MSG_TRACE);
    EXPECT_EQ(r.status, 70);
    reset_process_state();
    EXPECT_EQ(msg_out.level, MSG_INFO);
}

TEST(options, switches_taking_the_rest_of_the_argument)
{
    const run_options_t &o = parse({"-eaFT2232:x!", "-Pv=0403,s=A1", "-fCKSEL=1,BODEN=ON"});
    EXPECT_TRUE(o.erase);
    EXPECT_FALSE(o.force);
    ASSERT_NE(o.adapter_spec, nullptr);
    EXPECT_STREQ(o.adapter_spec, "FT2232:x!");
    ASSERT_NE(o.port_spec, nullptr);
    EXPECT_STREQ(o.port_spec, "v=0403,s=A1");
    ASSERT_NE(o.fuse_list, nullptr);
    EXPECT_STREQ(o.fuse_list, "CKSEL=1,BODEN=ON");

    // an empty rest is still a value
    parse({"-ra", "-p", "-f"});
    EXPECT_TRUE(last_options().read);
    ASSERT_NE(last_options().adapter_spec, nullptr);
    EXPECT_STREQ(last_options().adapter_spec, "");
    ASSERT_NE(last_options().port_spec, nullptr);
    EXPECT_STREQ(last_options().port_spec, "");
    ASSERT_NE(last_options().fuse_list, nullptr);
    EXPECT_STREQ(last_options().fuse_list, "");
    EXPECT_FALSE(last_options().fuse_lockout_ok);

    // '!' before the list means the lock-out fuses are meant; only there
    parse({"-f!RSTDISBL=ON,CKSEL=0"});
    EXPECT_TRUE(last_options().fuse_lockout_ok);
    EXPECT_STREQ(last_options().fuse_list, "RSTDISBL=ON,CKSEL=0");
    parse({"-fRSTDISBL=ON", "-!"});
    EXPECT_FALSE(last_options().fuse_lockout_ok) << "-! forces a chip type, not a fuse";
}

TEST(options, files_from_names_and_switches)
{
    const run_options_t &o = parse({"x.hex"});
    EXPECT_STREQ(o.code_file, "x.hex");
    EXPECT_EQ(o.data_file, nullptr);
    EXPECT_TRUE(o.single_file);

    parse({"x.hex", "y.hex"});
    EXPECT_STREQ(last_options().code_file, "x.hex");
    EXPECT_STREQ(last_options().data_file, "y.hex");
    EXPECT_FALSE(last_options().single_file);

    parse({"-cx.hex"});
    EXPECT_STREQ(last_options().code_file, "x.hex");
    EXPECT_FALSE(last_options().single_file);

    parse({"-d", "y.hex", "x.hex"});
    EXPECT_STREQ(last_options().data_file, "y.hex");
    EXPECT_STREQ(last_options().code_file, "x.hex");
    EXPECT_FALSE(last_options().single_file);

    parse({"-c", "-e"});
    EXPECT_STREQ(last_options().code_file, "-e");
    EXPECT_FALSE(last_options().erase);
}

TEST(options, chip_names_with_and_without_prefix)
{
    const char *names[] = {"+AT90S2313", "+at90s2313", "+90S2313", "+aT90s2313"};
    int32_t expected = find_device("90S2313");
    ASSERT_GE(expected, 0);
    for (const char *name : names) {
        run_result r = run_morvin({name, "-r"});
        EXPECT_EQ(r.rest, echo(std::string(name) + " -r") + "Can't read without target files\n\n");
        ASSERT_NE(last_options().chip_name, nullptr);
        EXPECT_STREQ(last_options().chip_name, name + 3 - (name[1] == '9' ? 2 : 0));
        EXPECT_EQ(find_device(last_options().chip_name), expected) << name;
    }
    // a later name replaces an earlier one
    run_morvin({"+mega8", "+tiny13", "-r"});
    EXPECT_STREQ(last_options().chip_name, "tiny13");
}

}  // namespace
