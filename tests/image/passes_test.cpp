#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "adapters/spi.h"
#include "support/quiet_adapter.h"
#include "avr/devices.h"
#include "avr/memory_commands.h"
#include "avr/target.h"
#include "image/passes.h"
#include "base/messages.h"
#include "support.h"

namespace {

// A chip behind a block-mode adapter that answers the serial programming
// commands from two memory arrays.
class fake_chip_t : public quiet_adapter {
public:
    fake_chip_t(int32_t code, int32_t data, int32_t page_bytes)
        : flash(size_t(code), 0xFF), eeprom(size_t(data), 0xFF), page(size_t(page_bytes > 0 ? page_bytes : 2), 0xFF)
    {
    }

    std::vector<uint8_t> flash, eeprom, page;
    std::vector<int32_t> eeprom_writes;  // addresses in the order written
    int page_writes = 0;
    uint8_t extended = 0;

    bool is_block_mode() override { return true; }
    uint8_t transfer_byte(uint8_t) override
    {
        ADD_FAILURE() << "byte-wise traffic on a block adapter";
        return 0;
    }
    void transfer_block(const uint8_t *out, uint8_t *in, uint32_t count) override
    {
        for (uint32_t i = 0; i + 4 <= count; i += 4) {
            uint8_t command[4], reply[4];
            std::memcpy(command, out + i, 4);
            execute(command, reply);
            std::memcpy(in + i, reply, 4);
        }
    }
    void write_block(const uint8_t *data, uint32_t count) override
    {
        std::vector<uint8_t> replies(count);
        transfer_block(data, replies.data(), count);
    }

private:
    void execute(const uint8_t *c, uint8_t *r)
    {
        r[0] = 0;
        r[1] = c[0];
        r[2] = c[1];
        r[3] = 0;
        int32_t word = int32_t(extended) << 16 | int32_t(c[1]) << 8 | c[2];
        int32_t code_address = word * 2 + ((c[0] & 0x08) ? 1 : 0);
        int32_t data_address = int32_t(c[1]) << 8 | c[2];
        switch (c[0]) {
        case 0x20:
        case 0x28:
            r[3] = flash.at(size_t(code_address));
            break;
        case 0xA0:
            r[3] = eeprom.at(size_t(data_address));
            break;
        case 0x40:
        case 0x48:
            page.at(size_t(code_address) % page.size()) = c[3];
            break;
        case 0x4C: {
            size_t base = size_t(word * 2) / page.size() * page.size();
            for (size_t i = 0; i < page.size(); i++)
                flash.at(base + i) &= page[i];
            std::fill(page.begin(), page.end(), 0xFF);
            page_writes++;
            break;
        }
        case 0xC0:
            eeprom.at(size_t(data_address)) = c[3];
            eeprom_writes.push_back(data_address);
            break;
        case 0x4D:
            extended = c[2];
            break;
        default:
            break;
        }
    }
};

std::string dots(int n)
{
    return std::string(size_t(n), '.');
}

std::vector<uint8_t> pattern(int32_t address, int32_t length)
{
    std::vector<uint8_t> v(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; i++)
        v[size_t(i)] = uint8_t((address + i) * 37 + ((address + i) >> 8));
    return v;
}

class PassesTest : public ::testing::Test {
protected:
    void use_chip(const char *name)
    {
        int32_t index = find_device(name);
        ASSERT_GE(index, 0) << name;
        use_chip(index);
    }
    void use_chip(int32_t index)
    {
        target = avr_target_t();
        switches = pass_switches_t();
        target.set_device(index);
        setup_timing(target);
        const avr_device_t &d = target.device();
        fake.reset(new fake_chip_t(d.memory[CODE_MEMORY].size, d.memory[DATA_MEMORY].size,
                                   d.memory[CODE_MEMORY].page_size));
        chip = fake.get();
        target.adapter = chip;
    }
    void SetUp() override { use_chip("mega8"); }
    void add(PortionList &image, int32_t address, const std::vector<uint8_t> &bytes)
    {
        image.append(new CodePortion(address, int32_t(bytes.size()), bytes.data()));
    }
    // Puts the image's bytes into the chip's memory directly.
    void load(std::vector<uint8_t> &memory, const PortionList &image)
    {
        for (CodePortion *p = image.first(); p; p = image.next_of(p))
            std::copy(p->data, p->data + p->length, memory.begin() + p->address);
    }

    std::unique_ptr<fake_chip_t> fake;
    fake_chip_t *chip = nullptr;
    avr_target_t target;
    pass_switches_t switches;
    PortionList image;
};

}  // namespace

TEST_F(PassesTest, ReadGivesStepSizedPortionsAndADotPerStep)
{
    chip->flash = pattern(0, 8192);
    chip->eeprom = pattern(0x4000, 512);
    message_capture_t messages;
    read_memory(target, switches, CODE_MEMORY, image);
    EXPECT_EQ(messages.take(), "Reading CODE memory\n" + dots(16) + " done (T)\n");
    PortionList eeprom;
    read_memory(target, switches, DATA_MEMORY, eeprom);
    EXPECT_EQ(messages.take(), "Reading DATA memory\n" + dots(16) + " done (T)\n");
    switches.code_size = 8190;  // the erase counter's two bytes are left alone
    PortionList counted;
    read_memory(target, switches, CODE_MEMORY, counted);
    EXPECT_EQ(messages.take(), "Reading CODE memory\n" + dots(15) + " done (T)\n");

    struct {
        PortionList *list;
        const std::vector<uint8_t> *memory;
        int32_t step, size;
    } reads[] = {{&image, &chip->flash, 512, 8192}, {&eeprom, &chip->eeprom, 32, 512}, {&counted, &chip->flash, 512, 8190}};
    for (auto &r : reads) {
        int32_t address = 0;
        for (CodePortion *p = r.list->first(); p; p = r.list->next_of(p)) {
            EXPECT_EQ(p->address, address);
            EXPECT_EQ(p->length, std::min(r.step, r.size - address));
            EXPECT_TRUE(std::equal(p->data, p->data + p->length, r.memory->begin() + address)) << address;
            address += p->length;
        }
        EXPECT_EQ(address, r.size);
    }
}

TEST_F(PassesTest, ProgramWritesTheImageAndFillsUnmentionedEepromInAddressOrder)
{
    add(image, 0x04, {1, 2, 3, 4, 5, 6, 7, 8});
    add(image, 0x06, {3, 4});  // inside the first: the fill must not go back over it
    add(image, 0x20, {0xA0, 0xA1});
    std::fill(chip->eeprom.begin(), chip->eeprom.end(), 0x00);
    switches.fill_eeprom = true;
    message_capture_t messages;
    program_memory(target, switches, DATA_MEMORY, image);
    EXPECT_EQ(messages.take(), "Programming DATA memory\n" + dots(16) + " done (T)\n");  // 514 writes

    std::vector<int32_t> order;
    for (int32_t a = 0; a < 0x0C; a++)
        order.push_back(a);
    order.push_back(6);
    order.push_back(7);
    for (int32_t a = 0x0C; a < 512; a++)
        order.push_back(a);
    EXPECT_EQ(chip->eeprom_writes, order);
    std::vector<uint8_t> expected(512, 0xFF);
    load(expected, image);
    EXPECT_EQ(chip->eeprom, expected);

    // After an erase nothing is filled.
    chip->eeprom_writes.clear();
    target.memory.chip_erased = true;
    program_memory(target, switches, DATA_MEMORY, image);
    EXPECT_EQ(chip->eeprom_writes, (std::vector<int32_t>{4, 5, 6, 7, 8, 9, 10, 11, 6, 7, 0x20, 0x21}));
}

TEST_F(PassesTest, ProgramOfPagedCodeCommitsTheLastPage)
{
    add(image, 0x0000, pattern(0, 100));
    add(image, 0x1F80, pattern(0x1F80, 0x7F));  // ends on an odd address inside the last page
    message_capture_t messages;
    program_memory(target, switches, CODE_MEMORY, image);
    EXPECT_EQ(messages.take(), "Programming CODE memory\n done (T)\n");  // 227 bytes: no dot yet
    std::vector<uint8_t> expected(8192, 0xFF);
    load(expected, image);
    EXPECT_EQ(chip->flash, expected);
    EXPECT_EQ(chip->page_writes, 2 + 2);  // 100 bytes span two 64-byte pages, the tail two more
}

TEST_F(PassesTest, WritePollingIsChosenByTheMemorysPollKind)
{
    struct expected_t {
        uint8_t method, exclude_1, exclude_2;
    } by_kind[] = {{POLL_TIMED, 0x55, 0x55}, {POLL_DATA, 0x00, 0xFF}, {POLL_DATA, 0x7F, 0x80},
                   {POLL_DATA, 0x7F, 0x7F},  {POLL_DATA, 0xFF, 0xFF}, {POLL_READY, 0x55, 0x55}};
    int tested = 0;
    for (int kind = 0; kind <= 5; kind++) {
        for (int memory : {CODE_MEMORY, DATA_MEMORY}) {
            int32_t index = 0;
            while (index < avr_device_count && avr_devices[index].memory[memory].poll_kind != kind)
                index++;
            if (index == avr_device_count)
                continue;
            use_chip(index);
            target.memory.poll_exclude_1 = target.memory.poll_exclude_2 = 0x55;
            target.memory.poll_address = 0x123;
            switches.polling = true;
            PortionList none;
            message_capture_t messages;
            program_memory(target, switches, memory, none);
            std::string warning = kind == 0 ? std::string("Warning: can't use write polling for ") +
                                                  memory_name(memory) + " of " + avr_devices[index].name + "\n"
                                            : "";
            EXPECT_EQ(messages.take(), "Programming " + std::string(memory_name(memory)) + "\n" + warning + " done (T)\n");
            EXPECT_EQ(target.memory.poll_method, by_kind[kind].method) << "kind " << kind;
            EXPECT_EQ(target.memory.poll_exclude_1, by_kind[kind].exclude_1) << "kind " << kind;
            EXPECT_EQ(target.memory.poll_exclude_2, by_kind[kind].exclude_2) << "kind " << kind;
            EXPECT_EQ(target.memory.poll_address, -1);
            tested++;
        }
    }
    EXPECT_GE(tested, 3);
    // Without 'p' the method is left as it was.
    target.memory.poll_method = POLL_READY;
    switches.polling = false;
    PortionList none;
    message_capture_t messages;
    program_memory(target, switches, CODE_MEMORY, none);
    EXPECT_EQ(target.memory.poll_method, POLL_READY);
    EXPECT_EQ(messages.take(), "Programming CODE memory\n done (T)\n");
}

TEST_F(PassesTest, VerifyVerdictsCountMismatches)
{
    add(image, 0x100, pattern(0x100, 0x300));
    load(chip->flash, image);
    message_capture_t messages;
    EXPECT_TRUE(verify_memory(target, switches, CODE_MEMORY, image));
    EXPECT_EQ(messages.take(),
              "Verifying CODE memory\n\n\t% Verifying from 0x100 to 0x3FF  " + dots(1) + " passed\n done (T)\n");

    chip->flash[0x105] ^= 0xFF;
    EXPECT_FALSE(verify_memory(target, switches, CODE_MEMORY, image));
    char line[64];
    std::snprintf(line, sizeof line, "\t%% 00000105: expected %02X, read %02X\n", image.first()->byte_at(0x105),
                  chip->flash[0x105]);
    EXPECT_EQ(messages.take(), "Verifying CODE memory\n\n\t% Verifying from 0x100 to 0x3FF  " + std::string(line) +
                                   dots(1) + "failed, 1 error \n done (T)\n");

    chip->flash[0x3FF] ^= 0x01;
    EXPECT_FALSE(verify_memory(target, switches, CODE_MEMORY, image));
    EXPECT_NE(messages.take().find("failed, 2 errors\n done (T)\n"), std::string::npos);
}

TEST_F(PassesTest, VerifyTestsFreePositionsWhenAsked)
{
    add(image, 0x0000, pattern(0, 0x100));
    load(chip->flash, image);
    chip->flash[0x100] = 0x00;
    message_capture_t messages;
    EXPECT_TRUE(verify_memory(target, switches, CODE_MEMORY, image));  // free positions not tested
    EXPECT_EQ(messages.take().find("free positions"), std::string::npos);

    switches.verify_all = true;
    EXPECT_FALSE(verify_memory(target, switches, CODE_MEMORY, image));
    std::string text = messages.take();
    EXPECT_NE(text.find("\n\t% IsBlank from 0x100 to 0x1FFF\t"), std::string::npos) << text;
    EXPECT_NE(text.find(" passed\n\tfree positions are NOT blank\n done (T)\n"), std::string::npos) << text;

    // A portion inside a longer one does not pull the covered end back, and a
    // gap before the first portion is tested too.
    std::fill(chip->flash.begin(), chip->flash.end(), 0xFF);
    PortionList nested;
    add(nested, 0x200, pattern(0x200, 0x40));
    add(nested, 0x210, pattern(0x210, 0x08));
    load(chip->flash, nested);
    EXPECT_TRUE(verify_memory(target, switches, CODE_MEMORY, nested));
    text = messages.take();
    EXPECT_NE(text.find("IsBlank from 0x0 to 0x1FF\t"), std::string::npos) << text;
    EXPECT_NE(text.find("IsBlank from 0x240 to 0x1FFF\t"), std::string::npos) << text;
    EXPECT_NE(text.find(" passed\n\tfree positions are blank\n"), std::string::npos) << text;

    // The write switch's '+' makes the data pass test them as well.
    switches.verify_all = false;
    switches.fill_eeprom = true;
    chip->eeprom[0x1FF] = 0x12;
    PortionList eeprom;
    add(eeprom, 0, {0xFF});
    EXPECT_FALSE(verify_memory(target, switches, DATA_MEMORY, eeprom));
    EXPECT_NE(messages.take().find("free positions are NOT blank"), std::string::npos);
}

TEST_F(PassesTest, BlankCheckReportsEachMemory)
{
    message_capture_t messages;
    EXPECT_EQ(blank_check(target, switches, 3), 0);
    EXPECT_EQ(messages.take(), "Blank check\nCode: \n\t% IsBlank from 0x0 to 0x1FFF\t" + dots(16) +
                                   " done (T)\n  blank\nData: \n\t% IsBlank from 0x0 to 0x1FF\t" + dots(16) +
                                   " done (T)\n  blank\n");
    chip->flash[0x1000] = 0x7E;  // the test stops at the first block that isn't blank
    chip->eeprom[0x1FF] = 0x00;
    EXPECT_EQ(blank_check(target, switches, 1), 1);
    EXPECT_EQ(messages.take(), "Blank check\nCode: \n\t% IsBlank from 0x0 to 0x1FFF\t" + dots(8) +
                                   " done (T)\nCode not blank\n");
    EXPECT_EQ(blank_check(target, switches, 2), 2);
    EXPECT_EQ(messages.take(), "Blank check\nData: \n\t% IsBlank from 0x0 to 0x1FF\t" + dots(15) +
                                   " done (T)\n  not blank\n");
    // The erase counter's bytes are not part of the test.
    chip->flash[0x1000] = 0xFF;
    chip->flash[0x1FFE] = 0x05;
    switches.code_size = 8190;
    EXPECT_EQ(blank_check(target, switches, 1), 0);
}

TEST_F(PassesTest, VerifyAcrossA128KiBBoundaryReadsTheRightBytes)
{
    use_chip("mega2560");
    add(image, 0x1FF00, pattern(0x1FF00, 0x300));
    load(chip->flash, image);
    message_capture_t messages;
    EXPECT_TRUE(verify_memory(target, switches, CODE_MEMORY, image)) << messages.take();
    switches.verify_all = true;
    chip->flash[0x20201] = 0;
    EXPECT_FALSE(verify_memory(target, switches, CODE_MEMORY, image));
    EXPECT_NE(messages.take().find("IsBlank from 0x20200 to 0x3FFFF\t passed\n\tfree positions are NOT blank"), std::string::npos);
}
