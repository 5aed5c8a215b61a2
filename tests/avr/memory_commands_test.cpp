// Memory access commands: command encodings, block and byte-wise reads,
// byte and page writes, write-end polling, extended address, Chip Erase.
#include <chrono>

#include "fake_chip.h"

namespace {

class memory_test : public avr_test {
protected:
    // Runs `body` in block mode and in byte mode, each on a freshly readied chip.
    template <class Body>
    void in_both_modes(const char *name, Body body)
    {
        for (bool block : {true, false}) {
            SCOPED_TRACE(block ? "block mode" : "byte mode");
            ready_chip(name);
            chip->block_mode = block;
            body(block);
        }
    }

    // A readied chip, writes going to `memory`, no page collected yet.
    void ready_writes(const char *name, int memory, float factor = 1.0f)
    {
        ready_chip(name, factor);
        target.memory.current_memory = memory;
        target.memory.last_address = -1;
    }

    // Write-end polling that reads the written value back, timed for the two
    // values the chip cannot show while busy; no page load to poll yet.
    void poll_data_except(uint8_t exclude_1, uint8_t exclude_2)
    {
        target.memory.poll_method = POLL_DATA;
        target.memory.poll_exclude_1 = exclude_1;
        target.memory.poll_exclude_2 = exclude_2;
        target.memory.poll_address = -1;
    }
};

typedef avr_test timing_test;

TEST_F(timing_test, DelaysAndWritersFollowTheDeviceAndFactor)
{
    EXPECT_EQ(target.memory.erase_delay, 50.0f);  // until a device is known
    ready_chip("mega8", 2.0f);
    EXPECT_TRUE(target.memory.code_paged);
    EXPECT_EQ(target.memory.page_mask, 63);
    EXPECT_EQ(target.memory.code_write_delay, 12.0f);
    EXPECT_EQ(target.memory.data_write_delay, 20.0f);
    EXPECT_EQ(target.memory.erase_delay, 40.0f);

    ready_chip("90S2313", 1.5f);  // a later call recomputes everything
    EXPECT_FALSE(target.memory.code_paged);
    EXPECT_EQ(target.memory.code_write_delay, 9.0f);
    EXPECT_EQ(target.memory.data_write_delay, 9.0f);
    EXPECT_EQ(target.memory.erase_delay, 45.0f);
}

typedef memory_test read_test;

TEST_F(read_test, SingleReadsInBothModes)
{
    in_both_modes("mega8", [&](bool block) {
        chip->flash[0x1235] = 0xA5;
        chip->flash[0x1234] = 0x5A;
        chip->eeprom[0x102] = 0x3C;

        target.memory.current_memory = CODE_MEMORY;
        EXPECT_EQ(read_memory_byte(target, 0x1235), 0xA5);
        EXPECT_EQ(read_memory_byte(target, 0x1234), 0x5A);
        target.memory.current_memory = DATA_MEMORY;
        EXPECT_EQ(read_memory_byte(target, 0x102), 0x3C);
        EXPECT_EQ(chip->commands,
                  (std::vector<command_t>{cmd(0x28, 0x09, 0x1A, 0x00), cmd(0x20, 0x09, 0x1A, 0x00),
                                          cmd(0xA0, 0x01, 0x02, 0x00)}));
        if (block) {
            EXPECT_EQ(chip->transfer_blocks, (std::vector<uint32_t>{4, 4, 4}));
            EXPECT_EQ(chip->byte_calls, "");
        } else {
            EXPECT_TRUE(chip->transfer_blocks.empty());
            EXPECT_EQ(chip->byte_calls, "WTWRWTWRWTWR");
        }
    });
}

TEST_F(read_test, BlocksAreOneTransferInBlockModeAndBytewiseOtherwise)
{
    in_both_modes("mega8", [&](bool block) {
        for (int i = 0; i < 512; i++) {
            chip->flash[0x200 + i] = static_cast<uint8_t>(i * 7 + 1);
            chip->eeprom[i] = static_cast<uint8_t>(i ^ 0x5A);
        }
        uint8_t code[512] = {};
        uint8_t data[32] = {};
        read_code_block(target, code, 0x200, 512);
        read_data_block(target, data, 0x20, 32);
        for (int i = 0; i < 512; i++)
            ASSERT_EQ(code[i], static_cast<uint8_t>(i * 7 + 1)) << i;
        for (int i = 0; i < 32; i++)
            ASSERT_EQ(data[i], static_cast<uint8_t>((0x20 + i) ^ 0x5A)) << i;
        ASSERT_EQ(chip->commands.size(), 512u + 32u);
        EXPECT_EQ(chip->commands[0], cmd(0x20, 0x01, 0x00, 0x00));
        EXPECT_EQ(chip->commands[511], cmd(0x28, 0x01, 0xFF, 0x00));
        EXPECT_EQ(chip->commands[512], cmd(0xA0, 0x00, 0x20, 0x00));
        EXPECT_EQ(chip->commands[543], cmd(0xA0, 0x00, 0x3F, 0x00));
        if (block) {
            EXPECT_EQ(chip->transfer_blocks, (std::vector<uint32_t>{512 * 4, 32 * 4}));
        } else {
            EXPECT_TRUE(chip->transfer_blocks.empty());
            std::string expected;
            for (int i = 0; i < 544; i++)
                expected += "WTWR";
            EXPECT_EQ(chip->byte_calls, expected);
        }
        clear_records();
        read_code_block(target, code, 0, 0);
        read_data_block(target, data, 0, -1);
        EXPECT_TRUE(chip->events.empty());
    });
}

TEST_F(read_test, EveryEchoInABlockIsChecked)
{
    struct echo_case {
        bool block;
        bool code;
    };
    for (echo_case c : {echo_case{true, true}, echo_case{true, false}, echo_case{false, true},
                        echo_case{false, false}}) {
        SCOPED_TRACE(std::string(c.block ? "block " : "byte ") + (c.code ? "code" : "data"));
        start_over();
        ready_chip("mega8");
        chip->block_mode = c.block;
        chip->corrupt_echo_at = 29;  // the last read of the block
        uint8_t buffer[30];
        int status = exit_status_of([&] {
            if (c.code)
                read_code_block(target, buffer, 0x100, 30);
            else
                read_data_block(target, buffer, 0x10, 30);
        });
        EXPECT_EQ(status, EXIT_SYNC_LOST);
        EXPECT_EQ(output(), "\nSynchronisation lost\n");
    }
    // single reads too
    TearDown();
    SetUp();
    ready_chip("mega8");
    chip->corrupt_echo_at = 0;
    EXPECT_EQ(exit_status_of([this] { read_memory_byte(target, 3); }), EXIT_SYNC_LOST);
}

typedef memory_test extended_test;

TEST_F(extended_test, ReadsLoadTheExtendedAddressWhenItChanges)
{
    in_both_modes("mega2560", [&](bool block) {
        chip->flash[0x00001] = 0x11;
        chip->flash[0x20001] = 0x22;
        chip->flash[0x20003] = 0x33;
        uint8_t buffer[4] = {};
        target.memory.last_address = -1;

        read_code_block(target, buffer, 0, 4);
        EXPECT_EQ(buffer[1], 0x11);
        read_code_block(target, buffer, 0x20000, 2);
        EXPECT_EQ(buffer[1], 0x22);
        EXPECT_EQ(target.memory.last_address, 0x20000);
        read_code_block(target, buffer, 0x20002, 2);  // same extended address: not sent again
        EXPECT_EQ(buffer[1], 0x33);

        std::vector<command_t> extended = chip->with_op(0x4D);
        EXPECT_EQ(extended,
                  (std::vector<command_t>{cmd(0x4D, 0x00, 0x00, 0x00), cmd(0x4D, 0x00, 0x01, 0x00)}));
        ASSERT_EQ(chip->commands.size(), 2u + 8u);
        EXPECT_EQ(chip->commands[0][0], 0x4D);
        EXPECT_EQ(chip->commands[5][0], 0x4D);
        // the word address inside the 128 KiB bank
        EXPECT_EQ(chip->commands[6], cmd(0x20, 0x00, 0x00, 0x00));
        if (block)
            EXPECT_EQ(chip->transfer_blocks, (std::vector<uint32_t>{4 + 16, 4 + 8, 8}));
        else
            EXPECT_EQ(chip->byte_calls.size(), 8u * 4u);
    });
}

TEST_F(extended_test, BlockReadAcrossTheBankBoundaryIsSplit)
{
    ready_chip("mega2560");
    chip->block_mode = true;
    chip->flash[0x1FFFF] = 0x44;
    chip->flash[0x20000] = 0x55;
    uint8_t buffer[4] = {};
    read_code_block(target, buffer, 0x1FFFE, 4);
    EXPECT_EQ(buffer[1], 0x44);
    EXPECT_EQ(buffer[2], 0x55);
    EXPECT_EQ(chip->with_op(0x4D),
              (std::vector<command_t>{cmd(0x4D, 0x00, 0x00, 0x00), cmd(0x4D, 0x00, 0x01, 0x00)}));
}

TEST_F(extended_test, EveryPageCommitCarriesTheExtendedAddress)
{
    ready_writes("mega2560", CODE_MEMORY);
    write_memory_byte(target, 0x100, 0xAB);
    write_memory_byte(target, 0x20100, 0xCD);  // another page: commits the first
    commit_page(target, target.memory.last_address);

    ASSERT_EQ(chip->write_blocks, (std::vector<uint32_t>{12, 12}));
    EXPECT_EQ(chip->commands,
              (std::vector<command_t>{cmd(0x40, 0x00, 0x80, 0xAB), cmd(0x48, 0x00, 0x80, 0xFF),
                                      cmd(0x4D, 0x00, 0x00, 0x00), cmd(0x4C, 0x00, 0x80, 0x00),
                                      cmd(0x40, 0x00, 0x80, 0xCD), cmd(0x48, 0x00, 0x80, 0xFF),
                                      cmd(0x4D, 0x00, 0x01, 0x00), cmd(0x4C, 0x00, 0x80, 0x00)}));
    EXPECT_EQ(chip->flash[0x100], 0xAB);
    EXPECT_EQ(chip->flash[0x20100], 0xCD);
}

TEST_F(extended_test, ChipsUpTo128KiBNeverSendIt)
{
    ready_chip("mega128");
    chip->block_mode = true;
    uint8_t buffer[8];
    target.memory.last_address = -1;
    read_code_block(target, buffer, 0x1FFF8, 8);
    target.memory.current_memory = CODE_MEMORY;
    write_memory_byte(target, 0x1FF00, 0x01);
    commit_page(target, target.memory.last_address);
    EXPECT_TRUE(chip->with_op(0x4D).empty());
    EXPECT_EQ(chip->flash[0x1FF00], 0x01);
}

typedef memory_test byte_write_test;

TEST_F(byte_write_test, EepromAndBytewiseFlashWrites)
{
    ready_writes("90S2313", DATA_MEMORY);
    write_memory_byte(target, 0x0102, 0x55);
    target.memory.current_memory = CODE_MEMORY;
    write_memory_byte(target, 0x0005, 0x12);
    write_memory_byte(target, 0x0004, 0x34);
    EXPECT_EQ(chip->commands,
              (std::vector<command_t>{cmd(0xC0, 0x01, 0x02, 0x55), cmd(0x48, 0x00, 0x02, 0x12),
                                      cmd(0x40, 0x00, 0x02, 0x34)}));
    EXPECT_EQ(chip->delays, (std::vector<float>{6.0f, 6.0f, 6.0f}));
    EXPECT_EQ(chip->eeprom[0x102], 0x55);
    EXPECT_EQ(chip->flash[5], 0x12);
    EXPECT_TRUE(chip->write_blocks.empty());
}

TEST_F(byte_write_test, ErasedChipSkipsFFUnlessEepromIsWrittenBack)
{
    struct skip_case {
        bool erased;
        bool keep_eeprom;
        bool data;
        bool sent;
    };
    const skip_case cases[] = {
        {false, false, true, true},  {true, false, true, false}, {true, true, true, true},
        {false, false, false, true}, {true, false, false, false}, {true, true, false, false},
    };
    for (const skip_case &c : cases) {
        SCOPED_TRACE(testing::Message() << "erased " << c.erased << " keep " << c.keep_eeprom
                                        << " data " << c.data);
        ready_chip("90S2313");
        target.memory.chip_erased = c.erased;
        target.settings.keep_eeprom = c.keep_eeprom;
        target.memory.current_memory = c.data ? DATA_MEMORY : CODE_MEMORY;
        write_memory_byte(target, 0x10, 0xFF);
        EXPECT_EQ(chip->commands.size(), c.sent ? 1u : 0u);
        EXPECT_EQ(chip->delays.size(), c.sent ? 1u : 0u);
        // other values always go out
        write_memory_byte(target, 0x11, 0xFE);
        EXPECT_EQ(chip->commands.size(), c.sent ? 2u : 1u);
    }
}

TEST_F(byte_write_test, BrokenEchoOnWrite)
{
    ready_writes("90S2313", DATA_MEMORY);
    chip->corrupt_echo_at = 0;
    EXPECT_EQ(exit_status_of([this] { write_memory_byte(target, 1, 2); }), EXIT_SYNC_LOST);
    EXPECT_TRUE(chip->delays.empty());
}

typedef memory_test page_write_test;

TEST_F(page_write_test, WordsAreCompletedAndCommittedWhenTheNextPageStarts)
{
    ready_writes("mega8", CODE_MEMORY);
    target.memory.chip_erased = true;
    write_memory_byte(target, 0, 0x12);
    write_memory_byte(target, 3, 0x34);
    EXPECT_TRUE(chip->commands.empty());  // only collected so far
    write_memory_byte(target, 64, 0x56);
    EXPECT_EQ(chip->write_blocks, (std::vector<uint32_t>{16}));
    EXPECT_EQ(chip->commands,
              (std::vector<command_t>{cmd(0x40, 0x00, 0x00, 0x12), cmd(0x48, 0x00, 0x00, 0xFF),
                                      cmd(0x40, 0x00, 0x01, 0xFF), cmd(0x48, 0x00, 0x01, 0x34),
                                      cmd(0x4C, 0x00, 0x01, 0x00)}));
    EXPECT_EQ(chip->delays, (std::vector<float>{6.0f}));
    EXPECT_EQ(target.memory.last_address, 64);

    commit_page(target, target.memory.last_address);  // end of the pass: low byte gets its partner
    ASSERT_EQ(chip->commands.size(), 8u);
    EXPECT_EQ(chip->commands[5], cmd(0x40, 0x00, 0x20, 0x56));
    EXPECT_EQ(chip->commands[6], cmd(0x48, 0x00, 0x20, 0xFF));
    EXPECT_EQ(chip->commands[7], cmd(0x4C, 0x00, 0x20, 0x00));
    EXPECT_EQ(chip->flash[0], 0x12);
    EXPECT_EQ(chip->flash[3], 0x34);
    EXPECT_EQ(chip->flash[64], 0x56);
}

TEST_F(page_write_test, AllFFPageIsLoadedOnlyWithoutErase)
{
    for (bool erased : {false, true}) {
        SCOPED_TRACE(erased ? "erased" : "not erased");
        ready_writes("mega8", CODE_MEMORY);
        target.memory.chip_erased = erased;
        reset_command_buffer(target);
        for (int a = 0x40; a < 0x80; a++)
            write_memory_byte(target, a, 0xFF);
        if (target.memory.last_address != -1)
            commit_page(target, target.memory.last_address);
        if (erased) {
            EXPECT_TRUE(chip->commands.empty());
            EXPECT_EQ(target.memory.last_address, -1);
        } else {
            ASSERT_EQ(chip->commands.size(), 65u);
            EXPECT_EQ(chip->write_blocks, (std::vector<uint32_t>{64 * 4}));
            EXPECT_EQ(chip->commands[64], cmd(0x4C, 0x00, 0x3F, 0x00));
        }
    }
}

TEST_F(page_write_test, ErasedWordsWithFFAreLeftOutInsideAPage)
{
    ready_writes("mega8", CODE_MEMORY);
    target.memory.chip_erased = true;
    const uint8_t bytes[8] = {0xFF, 0x01, 0xFF, 0xFF, 0x02, 0xFF, 0xFF, 0xFF};
    for (int a = 0; a < 8; a++)
        write_memory_byte(target, a, bytes[a]);
    commit_page(target, target.memory.last_address);
    EXPECT_EQ(chip->commands,
              (std::vector<command_t>{cmd(0x40, 0x00, 0x00, 0xFF), cmd(0x48, 0x00, 0x00, 0x01),
                                      cmd(0x40, 0x00, 0x02, 0x02), cmd(0x48, 0x00, 0x02, 0xFF),
                                      cmd(0x4C, 0x00, 0x02, 0x00)}));
}

TEST_F(page_write_test, RepeatedBytesInsideALoadedPageKeepTheirData)
{
    // an image may hold a portion inside an earlier one with equal data
    ready_writes("mega8", CODE_MEMORY);
    for (int a = 0; a < 16; a++)
        write_memory_byte(target, a, static_cast<uint8_t>(0xA0 + a));
    write_memory_byte(target, 3, 0xA3);
    write_memory_byte(target, 4, 0xA4);
    commit_page(target, target.memory.last_address);
    for (int a = 0; a < 16; a++)
        EXPECT_EQ(chip->flash[a], 0xA0 + a) << a;
    for (const command_t &c : chip->with_op(0x40))
        EXPECT_NE(c[3], 0xFF);
    for (const command_t &c : chip->with_op(0x48))
        EXPECT_NE(c[3], 0xFF);
}

TEST_F(page_write_test, ManyLoadsOfOnePageNeverOverrunTheBuffer)
{
    ready_writes("mega2560", CODE_MEMORY);
    for (int round = 0; round < 10; round++)
        for (int a = 0; a < 256; a++)
            write_memory_byte(target, a, static_cast<uint8_t>(a + round));
    commit_page(target, target.memory.last_address);
    uint32_t sent = 0;
    for (uint32_t n : chip->write_blocks) {
        EXPECT_LE(n, 256u * 4 + 4);
        sent += n;
    }
    EXPECT_EQ(sent, 10u * 256 * 4 + 4);
    EXPECT_EQ(chip->with_op(0x4C).size(), 1u);
    for (int a = 0; a < 256; a++)
        ASSERT_EQ(chip->flash[a], static_cast<uint8_t>(a + 9)) << a;
}

TEST_F(page_write_test, FullPageGoesOutInOneBlockWithItsExtendedAddress)
{
    ready_writes("mega2560", CODE_MEMORY);
    for (int a = 0x20000; a < 0x20100; a++)
        write_memory_byte(target, a, static_cast<uint8_t>(a));
    commit_page(target, target.memory.last_address);
    EXPECT_EQ(chip->write_blocks, (std::vector<uint32_t>{256 * 4 + 4}));
    ASSERT_EQ(chip->commands.size(), 258u);
    EXPECT_EQ(chip->commands[256], cmd(0x4D, 0x00, 0x01, 0x00));
    EXPECT_EQ(chip->commands[257], cmd(0x4C, 0x00, 0x7F, 0x00));
}

typedef memory_test polling_test;

TEST_F(polling_test, DataPollingWaitsOnlyForPollableValues)
{
    ready_writes("90S2313", DATA_MEMORY);
    poll_data_except(0x7F, 0x80);

    write_memory_byte(target, 0x10, 0x7F);
    write_memory_byte(target, 0x11, 0x80);
    EXPECT_EQ(chip->delays, (std::vector<float>{6.0f, 6.0f}));
    EXPECT_TRUE(chip->with_op(0xA0).empty());

    chip->delays.clear();
    chip->stale_reads = 3;
    write_memory_byte(target, 0x12, 0x12);
    EXPECT_TRUE(chip->delays.empty());
    std::vector<command_t> reads = chip->with_op(0xA0);
    ASSERT_EQ(reads.size(), 4u);
    EXPECT_EQ(reads.back(), cmd(0xA0, 0x00, 0x12, 0x00));
}

TEST_F(polling_test, DataPollingTimesOutAfterFourDelays)
{
    ready_writes("90S2313", DATA_MEMORY, 2.0f);  // 12 ms data write delay
    poll_data_except(0x7F, 0x80);
    chip->stale_reads = -1;
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(exit_status_of([this] { write_memory_byte(target, 0x1AB, 0x12); }), EXIT_CHIP_REFUSED);
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, std::chrono::milliseconds(47));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
    EXPECT_GT(chip->with_op(0xA0).size(), 1u);
    EXPECT_EQ(output(), "Poll: can't write byte to DATA memory at 0x1AB\n");
}

TEST_F(polling_test, PagePollingReadsTheLastPollableLoad)
{
    ready_writes("mega8", CODE_MEMORY);
    poll_data_except(0xFF, 0xFF);
    write_memory_byte(target, 0x40, 0x21);
    write_memory_byte(target, 0x42, 0x43);
    write_memory_byte(target, 0x43, 0xFF);
    chip->stale_reads = 2;
    commit_page(target, target.memory.last_address);
    EXPECT_TRUE(chip->delays.empty());
    std::vector<command_t> reads = chip->with_op(0x20);
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0], cmd(0x20, 0x00, 0x21, 0x00));
    EXPECT_EQ(target.memory.poll_address, -1);
}

TEST_F(polling_test, PageOfExcludedValuesGetsATimedWait)
{
    ready_writes("mega8", CODE_MEMORY);
    poll_data_except(0x00, 0xFF);
    write_memory_byte(target, 0x80, 0x00);
    write_memory_byte(target, 0x81, 0xFF);
    commit_page(target, target.memory.last_address);
    EXPECT_EQ(chip->delays, (std::vector<float>{6.0f}));
    EXPECT_TRUE(chip->with_op(0x20).empty());
}

TEST_F(polling_test, PagePollingTimeOutNamesThePageStart)
{
    ready_writes("mega8", CODE_MEMORY);
    poll_data_except(0xFF, 0xFF);
    write_memory_byte(target, 0x85, 0x42);
    chip->stale_reads = -1;
    EXPECT_EQ(exit_status_of([this] { commit_page(target, target.memory.last_address); }), EXIT_CHIP_REFUSED);
    EXPECT_EQ(output(), "Poll: can't write page at 0x80\n");
}

TEST_F(polling_test, ReadyBusyPollsUntilReady)
{
    ready_writes("tiny13", DATA_MEMORY);
    target.memory.poll_method = POLL_READY;
    chip->busy_polls = 2;
    write_memory_byte(target, 0x07, 0x7F);
    EXPECT_TRUE(chip->delays.empty());
    EXPECT_EQ(chip->with_op(0xF0), (std::vector<command_t>(3, cmd(0xF0, 0x00, 0xFF, 0x00))));

    chip->busy_polls = -1;
    EXPECT_EQ(exit_status_of([this] { write_memory_byte(target, 0x08, 0x01); }), EXIT_CHIP_REFUSED);
    EXPECT_EQ(output(), "Poll: can't write byte to DATA memory at 0x8\n");

    chip->busy_polls = 0;
    chip->corrupt_echo_at = static_cast<int>(chip->commands.size()) + 1;
    EXPECT_EQ(exit_status_of([this] { write_memory_byte(target, 0x09, 0x01); }), EXIT_SYNC_LOST);
}

// In block mode Write Program Memory Page and the ready polls covering the page's write
// time share one transfer: the table's time for the first page, then what the previous
// page took. Every echo is checked; without a "ready" the polls go on one at a time.
TEST_F(polling_test, ReadyPollsTravelWithThePageWriteInBlockMode)
{
    ready_writes("mega8", CODE_MEMORY);  // 6 ms per page; the fake clocks 1 MHz: 32 us per poll
    chip->block_mode = true;
    target.memory.poll_method = POLL_READY;
    auto page = [&](int start) {
        for (int a = start; a < start + 64; a++)
            write_memory_byte(target, a, static_cast<uint8_t>(a));
        commit_page(target, target.memory.last_address);
        target.memory.last_address = -1;
    };

    chip->busy_polls = 3;
    page(0x000);
    // 6 ms / 32 us = 187.5 -> 188 polls, and 2 more
    EXPECT_EQ(chip->transfer_blocks, (std::vector<uint32_t>{4 + 190 * 4}));
    ASSERT_EQ(chip->commands.size(), 64u + 1 + 190);
    EXPECT_EQ(chip->commands[64], cmd(0x4C, 0x00, 0x1F, 0x00));
    EXPECT_EQ(chip->with_op(0xF0).size(), 190u);

    // ready at the 4th poll: the next page gets 4 polls and 2 more
    chip->busy_polls = 3;
    page(0x040);
    EXPECT_EQ(chip->transfer_blocks.back(), 4u + 6 * 4);

    // the chip got slower: the batch ends busy, single polls follow until ready
    chip->busy_polls = 8;
    page(0x080);
    EXPECT_EQ(chip->transfer_blocks, (std::vector<uint32_t>{4 + 190 * 4, 4 + 6 * 4, 4 + 6 * 4, 4, 4, 4}));
    EXPECT_TRUE(chip->delays.empty());

    // never ready: the usual time-out and message
    chip->busy_polls = -1;
    EXPECT_EQ(exit_status_of([&] { page(0x0C0); }), EXIT_CHIP_REFUSED);
    EXPECT_EQ(output(), "Poll: can't write page at 0xC0\n");

    // a broken echo of a poll after the one that answered ready still counts
    chip->busy_polls = 0;
    chip->corrupt_echo_at = static_cast<int>(chip->commands.size()) + 64 + 1 + 2;
    EXPECT_EQ(exit_status_of([&] { page(0x100); }), EXIT_SYNC_LOST);
}

TEST_F(polling_test, AWriteThatEndedWhileTheHostWasHeldUpIsNotAFailure)
{
    // the first poll answers busy but takes longer than the whole time-out; the write
    // has ended by then, and one more look finds it done
    ready_writes("tiny13", DATA_MEMORY);
    target.memory.poll_method = POLL_READY;
    chip->busy_polls = 1;
    chip->slow_polls_ms = static_cast<int>(4 * target.memory.data_write_delay) + 5;
    write_memory_byte(target, 0x07, 0x55);
    EXPECT_EQ(chip->with_op(0xF0).size(), 2u);
    EXPECT_EQ(output(), "");

    ready_writes("90S2313", DATA_MEMORY);
    poll_data_except(0x7F, 0x80);
    chip->stale_reads = 1;
    chip->slow_polls_ms = static_cast<int>(4 * target.memory.data_write_delay) + 5;
    write_memory_byte(target, 0x12, 0x12);
    EXPECT_EQ(chip->with_op(0xA0).size(), 2u);
    EXPECT_EQ(output(), "");

    // still busy at that last look: the write failed
    chip->stale_reads = 2;
    EXPECT_EQ(exit_status_of([this] { write_memory_byte(target, 0x13, 0x13); }), EXIT_CHIP_REFUSED);
    EXPECT_EQ(chip->with_op(0xA0).size(), 4u);
}

typedef memory_test erase_test;

TEST_F(erase_test, EraseCommandReleasesResetForTheInactiveTime)
{
    ready_chip("mega8", 1.5f);
    target.settings.inactive_reset_ms = 7.0f;
    chip_erase_command(target);
    EXPECT_EQ(chip->commands, (std::vector<command_t>{cmd(0xAC, 0x80, 0x00, 0x00)}));
    EXPECT_EQ(chip->events, (std::vector<std::string>{"transfer_block", "delay", "reset off",
                                                      "delay", "reset on"}));
    EXPECT_EQ(chip->delays, (std::vector<float>{30.0f, 7.0f}));
    EXPECT_EQ(output(), "\t% Erase reply  00 AC 80 00\n");

    chip->corrupt_echo_at = 1;
    EXPECT_EQ(exit_status_of([this] { chip_erase_command(target); }), EXIT_SYNC_LOST);
}

TEST_F(erase_test, OrdinaryChipIsErasedOnceAndReconnected)
{
    ready_chip("mega8");
    msg_out.level = MSG_INFO;
    erase_chip(target);
    EXPECT_EQ(chip->erases, 1);
    EXPECT_TRUE(target.memory.chip_erased);
    EXPECT_EQ(chip->commands.front(), cmd(0xAC, 0x80, 0x00, 0x00));
    EXPECT_EQ(chip->commands.back(), cmd(0x58, 0x00, 0x00, 0x00));  // lock state read
    EXPECT_EQ(output(), "Device erased\nDevice connected, mega8 detected\n");
}

TEST_F(erase_test, EraseFixChipIsErasedTwiceWithAByteWriteBetween)
{
    ready_chip("tiny12");
    chip->flash[0] = 0x00;
    erase_chip(target);
    EXPECT_EQ(chip->erases, 2);
    std::vector<command_t> sequence;
    for (const command_t &c : chip->commands)
        if (c[0] == 0xAC || c[0] == 0x40 || c[0] == 0x48)
            sequence.push_back(c);
    EXPECT_EQ(sequence, (std::vector<command_t>{cmd(0xAC, 0x80, 0x00, 0x00), cmd(0xAC, 0x53, 0x00, 0x00),
                                                cmd(0x40, 0x00, 0x00, 0xFF), cmd(0xAC, 0x80, 0x00, 0x00),
                                                cmd(0xAC, 0x53, 0x00, 0x00)}));
    std::string text = output();
    size_t fix = text.find("tiny12 erase bug correction\n");
    size_t erased = text.find("Device erased\n");
    ASSERT_NE(fix, std::string::npos);
    ASSERT_NE(erased, std::string::npos);
    EXPECT_LT(fix, erased);
    EXPECT_TRUE(target.memory.chip_erased);
    EXPECT_EQ(target.memory.current_memory, CODE_MEMORY);
}

TEST_F(erase_test, ResetsDropPendingLoadsAndState)
{
    for (bool whole : {false, true}) {
        SCOPED_TRACE(whole ? "fresh target" : "reset_command_buffer");
        ready_writes("mega8", CODE_MEMORY);
        target.memory.chip_erased = true;
        write_memory_byte(target, 0, 0x01);
        write_memory_byte(target, 1, 0x02);
        if (whole) {
            target = avr_target_t(target.settings, chip);
            target.set_device(find_device("mega8"));
            EXPECT_FALSE(target.memory.chip_erased);
            EXPECT_FALSE(target.memory.code_paged);
            EXPECT_EQ(target.memory.poll_method, POLL_TIMED);
            EXPECT_EQ(target.memory.erase_delay, 50.0f);
            setup_timing(target);
            target.memory.current_memory = CODE_MEMORY;
        } else {
            reset_command_buffer(target);
        }
        target.memory.last_address = -1;
        write_memory_byte(target, 2, 0x33);
        commit_page(target, target.memory.last_address);
        EXPECT_EQ(chip->commands,
                  (std::vector<command_t>{cmd(0x40, 0x00, 0x01, 0x33), cmd(0x48, 0x00, 0x01, 0xFF),
                                          cmd(0x4C, 0x00, 0x01, 0x00)}));
    }
}

}  // namespace
