// Lock bits over whole runs: the order against the fuses, what a locked chip
// refuses, and the erase that unlocks it.
#include "e2e_config/config_support.h"

using cfg::in_order;
using cfg::has_line;

namespace {

// mega8: lock byte with LB1 at bit 0, LB2 at bit 1.
TEST(locks, level_one_after_fuses_then_writes_are_refused_and_reads_allowed)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    std::string first = cfg::hex_file(chip, "first.hex", {{0x40, {1, 2, 3, 4, 5, 6, 7, 8}}});
    std::string second = cfg::hex_file(chip, "second.hex", {{0x40, {0x11, 0x22, 0x33, 0x44}}});

    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-v", "-fCKSEL=3", "-l1", first});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(has_line(run.out, "Chip not locked\n")) << run.out;
    // default order: fuses first, then the lock
    EXPECT_TRUE(in_order(run.out, {"Programming fuses\n", "New fuses value\n", "  CKSEL     \t= 3\n",
                                   "Verifying fuses\n", "passed\n", "Device locked to level 1!\n",
                                   "Total time "}))
        << run.out;
    cfg::chip_state state = cfg::read_state(chip);
    EXPECT_EQ(state.lock & 0x03, 0x02u) << "LB1 programmed, LB2 not";
    EXPECT_EQ(state.fuses[0] & 0x0F, 0x03u) << "the fuse change went in before the lock";
    EXPECT_EQ(state.flash_range(0x40, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));

    // writing the flash of a locked chip
    run = chip.morvin({"+mega8", "-o16MHz", "-w", second});
    EXPECT_EQ(run.status, 10);
    EXPECT_TRUE(in_order(run.body(), {"Chip locked - programming disabled\n", "Can't write to locked chip\n",
                                      "\nReset pin released\n"}))
        << run.out;
    EXPECT_EQ(run.out.find("Programming CODE memory"), std::string::npos);
    // a fuse-only write: mega8 blocks fuse writes under LB1 as well
    run = chip.morvin({"+mega8", "-o16MHz", "-w", "-fCKSEL=2"});
    EXPECT_EQ(run.status, 10);
    EXPECT_TRUE(has_line(run.out, "Can't write to locked chip\n")) << run.out;
    EXPECT_EQ(run.out.find("Programming fuses"), std::string::npos);
    EXPECT_EQ(cfg::read_state(chip).flash_range(0x40, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(cfg::read_state(chip).fuses[0] & 0x0F, 0x03u);

    // level 1 still reads: verify and read-back work
    run = chip.morvin({"+mega8", "-o16MHz", "-v", first});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Verifying CODE memory\n", " passed\n"})) << run.out;
    std::string back = chip.path("back.hex");
    run = chip.morvin({"+mega8", "-o16MHz", "-r", back});
    EXPECT_EQ(run.status, 0) << run.out;
    auto bytes = e2e::hex_bytes(back);
    for (uint32_t a = 0; a < 8; a++)
        EXPECT_EQ(bytes[0x40 + a], a + 1) << "at " << a;
}

TEST(locks, plus_locks_before_fuses_which_a_mega8_then_refuses)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-v", "-fCKSEL=3", "-l+1"});
    // the lock went first, so the fuse write was ignored and its verification fails
    EXPECT_EQ(run.status, 10) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Device locked to level 1!\n", "Programming fuses\n", "New fuses value\n",
                                   "  CKSEL     \t= 1\n", "Verifying fuses\n", "  CKSEL   : expected 3, read 1\n",
                                   "Verifying of fuses failed\n", "\nReset pin released\n"}))
        << run.out;
    EXPECT_EQ(run.out.find("Total time"), std::string::npos);
    cfg::chip_state state = cfg::read_state(chip);
    EXPECT_EQ(state.lock & 0x03, 0x02u);
    EXPECT_EQ(state.fuses[0] & 0x0F, 0x01u);
}

TEST(locks, level_two_blocks_reads_unless_forced_and_erase_unlocks)
{
    e2e::virtual_target chip("mega8", cfg::clocked(16000));
    std::string image = cfg::hex_file(chip, "image.hex", {{0, {0x12, 0x34, 0x56, 0x78}}});
    auto run = chip.morvin({"+mega8", "-o16MHz", "-w", "-l2", image});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Programming CODE memory\n", "Device locked to level 2!\n", "Total time "}))
        << run.out;
    EXPECT_EQ(cfg::read_state(chip).lock & 0x03, 0x00u);

    const std::string refused = "Can't read (blank check, verify) fully locked chip\n";
    std::string read_file = chip.path("read.hex");
    for (auto args : std::vector<std::vector<std::string>>{{"-v", image}, {"-b"}, {"-bc"}, {"-r", read_file}}) {
        std::vector<std::string> all = {"+mega8", "-o16MHz"};
        all.insert(all.end(), args.begin(), args.end());
        run = chip.morvin(all);
        EXPECT_EQ(run.status, 10) << args[0] << "\n" << run.out;
        EXPECT_TRUE(in_order(run.body(),
                             {"Chip locked - reading and programming disabled\n", refused, "\nReset pin released\n"}))
            << args[0] << "\n" << run.out;
        EXPECT_EQ(run.out.find("Reading CODE memory"), std::string::npos);
        EXPECT_EQ(run.out.find("Verifying CODE memory"), std::string::npos);
    }
    EXPECT_FALSE(e2e::file_exists(read_file));

    // forced: the chip answers FF for every byte, and the file says so
    run = chip.morvin({"+mega8", "-o16MHz", "-r", "-!", read_file});
    EXPECT_EQ(run.status, 0) << run.out;
    ASSERT_TRUE(e2e::file_exists(read_file));
    auto bytes = e2e::hex_bytes(read_file);
    EXPECT_EQ(bytes.size(), 8192u);
    EXPECT_EQ(bytes[0], 0xFF);
    EXPECT_EQ(bytes[3], 0xFF);

    // fuses alone may still be verified
    run = chip.morvin({"+mega8", "-o16MHz", "-v", "-fBODEN=1"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Verifying fuses\n", "passed\n"})) << run.out;

    // the erase clears the lock bits; the chip takes a new image
    std::string next = cfg::hex_file(chip, "next.hex", {{0, {0xA1, 0xB2}}});
    run = chip.morvin({"+mega8", "-o16MHz", "-e", "-w", "-v", next});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Chip locked - reading and programming disabled\n", "Device erased\n",
                                   "Device connected, mega8 detected\n", "Programming CODE memory\n", " passed\n"}))
        << run.out;
    cfg::chip_state state = cfg::read_state(chip);
    EXPECT_EQ(state.lock & 0x03, 0x03u);
    EXPECT_EQ(state.flash_range(0, 4), (std::vector<uint8_t>{0xA1, 0xB2, 0xFF, 0xFF}));
    run = chip.morvin({"+mega8", "-o16MHz"});
    EXPECT_TRUE(has_line(run.out, "Chip not locked\n")) << run.out;
}

// 90S2333: classic fuses (read back after a power cycle), fuse writes allowed
// while locked, signature hidden at level 2.
TEST(locks, classic_chip_takes_fuses_while_locked_and_hides_at_level_two)
{
    e2e::virtual_target chip("90S2333", cfg::clocked(8000));
    auto run = chip.morvin({"+90S2333", "-o8MHz", "-w", "-l1", "-fBODEN=ON"});
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Chip not locked\n", "Programming fuses\n", "New fuses value\n",
                                   "Device locked to level 1!\n"}))
        << run.out;
    cfg::chip_state state = cfg::read_state(chip);
    // LB1 is bit 1 and LB2 bit 2 of this chip's lock byte
    EXPECT_EQ(state.lock & 0x06, 0x04u);
    EXPECT_EQ(state.fuses[0] & 0x08, 0x00u) << "BODEN programmed";

    // a file write is refused, a fuse-only write goes on
    std::string image = cfg::hex_file(chip, "image.hex", {{0, {1, 2}}});
    run = chip.morvin({"+90S2333", "-o8MHz", "-w", image});
    EXPECT_EQ(run.status, 10);
    EXPECT_TRUE(in_order(run.out, {"Chip locked - programming disabled\n", "Can't write to locked chip\n"})) << run.out;
    run = chip.morvin({"+90S2333", "-o8MHz", "-w", "-fCKSEL=5"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"Chip locked - programming disabled\n", "Programming fuses\n"})) << run.out;
    run = chip.morvin({"+90S2333", "-o8MHz"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(in_order(run.out, {"Fuses \n", "_LOW = 0xD5\n", "  BODLEVEL  \t= 1\n", "  BODEN     \t= 0\n",
                                   "  CKSEL     \t= 5\n"}))
        << run.out;

    // level 2: the chip no longer shows its signature
    run = chip.morvin({"+90S2333", "-o8MHz", "-w", "-l2", "-fCKSEL=5"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(has_line(run.out, "Device locked to level 2!\n")) << run.out;
    std::string read_file = chip.path("read.hex");
    run = chip.morvin({"+90S2333", "-o8MHz", "-r", read_file});
    EXPECT_EQ(run.status, 30);
    EXPECT_TRUE(in_order(run.out, {"Device connected, but not recognised, ID: 0x000102 (looks as protected)\n",
                                   "Chip locked - reading and programming disabled\n", "Can't continue\n"}))
        << run.out;
    EXPECT_FALSE(e2e::file_exists(read_file));

    // an erase brings the chip back: detected again after it, nothing forced
    run = chip.morvin({"+90S2333", "-o8MHz", "-e", "-!"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_TRUE(in_order(run.out, {"(looks as protected)\n", "Device erased\n",
                                   "Device connected, 90S2333 detected\n", "_LOW = 0xD5\n"}))
        << run.out;
    EXPECT_EQ(run.out.find("Device type forced"), std::string::npos) << run.out;
    EXPECT_EQ(cfg::read_state(chip).lock & 0x06, 0x06u);
}

}  // namespace
