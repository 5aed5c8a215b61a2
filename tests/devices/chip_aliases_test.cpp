// Chip aliases: each resolves to the table chip whose programming facts are
// those avrdude gives for the alias, no alias hides or doubles a table name,
// and the +? listing shows every alias on its chip's line.
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include "avr/chip_aliases.h"
#include "device_test_support.h"

namespace {

// From avrdude 7.1's parts database (/etc/avrdude.conf): the part, the
// table name it must resolve to, its signature, flash size and page size,
// EEPROM size, and its fuse bytes by slot bit (low 0x2, high 0x4, ext 0x8).
struct avrdude_part_t {
    const char *alias;
    const char *chip;
    uint32_t signature;
    int32_t flash_size, flash_page, eeprom_size;
    uint8_t fuse_bytes;
};

const avrdude_part_t avrdude_parts[] = {
    {"1200", "90S1200", 0x1E9001, 1024, 0, 64, 0x2},
    {"2313", "90S2313", 0x1E9101, 2048, 0, 128, 0x2},
    {"4414", "90S4414", 0x1E9201, 4096, 0, 256, 0x2},
    {"8515", "90S8515", 0x1E9301, 8192, 0, 512, 0x2},
    {"4434", "90S4434", 0x1E9202, 4096, 0, 256, 0x2},
    {"8535", "90S8535", 0x1E9303, 8192, 0, 512, 0x2},
    {"2333", "90S2333", 0x1E9105, 2048, 0, 128, 0x2},
    {"4433", "90S4433", 0x1E9203, 4096, 0, 256, 0x2},
    {"2343", "90S2343", 0x1E9103, 2048, 0, 128, 0x2},
    {"t12", "tiny12", 0x1E9005, 1024, 0, 64, 0x2},
    {"t13", "tiny13", 0x1E9007, 1024, 32, 64, 0x6},
    {"t13a", "tiny13A", 0x1E9007, 1024, 32, 64, 0x6},
    {"t2313", "tiny2313", 0x1E910A, 2048, 32, 128, 0xE},
    {"t2313a", "tiny2313", 0x1E910A, 2048, 32, 128, 0xE},
    {"tiny2313A", "tiny2313", 0x1E910A, 2048, 32, 128, 0xE},
    {"t15", "tiny15", 0x1E9006, 1024, 0, 64, 0x2},
    {"t25", "tiny25", 0x1E9108, 2048, 32, 128, 0xE},
    {"t45", "tiny45", 0x1E9206, 4096, 64, 256, 0xE},
    {"t85", "tiny85", 0x1E930B, 8192, 64, 512, 0xE},
    {"t43u", "tiny43u", 0x1E920C, 4096, 64, 64, 0xE},
    {"t87", "tiny87", 0x1E9387, 8192, 128, 512, 0xE},
    {"t167", "tiny167", 0x1E9487, 16384, 128, 512, 0xE},
    {"t26", "tiny26", 0x1E9109, 2048, 32, 128, 0x6},
    {"t261", "tiny261", 0x1E910C, 2048, 32, 128, 0xE},
    {"t261a", "tiny261", 0x1E910C, 2048, 32, 128, 0xE},
    {"tiny261A", "tiny261", 0x1E910C, 2048, 32, 128, 0xE},
    {"t461", "tiny461", 0x1E9208, 4096, 64, 256, 0xE},
    {"t461a", "tiny461", 0x1E9208, 4096, 64, 256, 0xE},
    {"tiny461A", "tiny461", 0x1E9208, 4096, 64, 256, 0xE},
    {"t861", "tiny861", 0x1E930D, 8192, 64, 512, 0xE},
    {"t861a", "tiny861", 0x1E930D, 8192, 64, 512, 0xE},
    {"tiny861A", "tiny861", 0x1E930D, 8192, 64, 512, 0xE},
    {"t24", "tiny24", 0x1E910B, 2048, 32, 128, 0xE},
    {"t24a", "tiny24", 0x1E910B, 2048, 32, 128, 0xE},
    {"tiny24A", "tiny24", 0x1E910B, 2048, 32, 128, 0xE},
    {"t44", "tiny44", 0x1E9207, 4096, 64, 256, 0xE},
    {"t44a", "tiny44", 0x1E9207, 4096, 64, 256, 0xE},
    {"tiny44A", "tiny44", 0x1E9207, 4096, 64, 256, 0xE},
    {"t84", "tiny84", 0x1E930C, 8192, 64, 512, 0xE},
    {"t84a", "tiny84", 0x1E930C, 8192, 64, 512, 0xE},
    {"tiny84A", "tiny84", 0x1E930C, 8192, 64, 512, 0xE},
    {"t48", "tiny48", 0x1E9209, 4096, 64, 64, 0xE},
    {"t88", "tiny88", 0x1E9311, 8192, 64, 64, 0xE},
    {"m103", "mega103", 0x1E9701, 131072, 256, 4096, 0x2},
    {"m161", "mega161", 0x1E9401, 16384, 128, 512, 0x2},
    {"m163", "mega163", 0x1E9402, 16384, 128, 512, 0x6},
    {"m8515", "mega8515", 0x1E9306, 8192, 64, 512, 0x6},
    {"m8535", "mega8535", 0x1E9308, 8192, 64, 512, 0x6},
    {"m162", "mega162", 0x1E9404, 16384, 128, 512, 0xE},
    {"m8", "mega8", 0x1E9307, 8192, 64, 512, 0x6},
    {"m8a", "mega8", 0x1E9307, 8192, 64, 512, 0x6},
    {"mega8A", "mega8", 0x1E9307, 8192, 64, 512, 0x6},
    {"m48", "mega48", 0x1E9205, 4096, 64, 256, 0xE},
    {"m48a", "mega48", 0x1E9205, 4096, 64, 256, 0xE},
    {"mega48A", "mega48", 0x1E9205, 4096, 64, 256, 0xE},
    {"m88", "mega88", 0x1E930A, 8192, 64, 512, 0xE},
    {"m88a", "mega88", 0x1E930A, 8192, 64, 512, 0xE},
    {"mega88A", "mega88", 0x1E930A, 8192, 64, 512, 0xE},
    {"m168", "mega168", 0x1E9406, 16384, 128, 512, 0xE},
    {"m168a", "mega168", 0x1E9406, 16384, 128, 512, 0xE},
    {"mega168A", "mega168", 0x1E9406, 16384, 128, 512, 0xE},
    {"m48p", "mega48P", 0x1E920A, 4096, 64, 256, 0xE},
    {"m48pa", "mega48P", 0x1E920A, 4096, 64, 256, 0xE},
    {"mega48PA", "mega48P", 0x1E920A, 4096, 64, 256, 0xE},
    {"m88p", "mega88P", 0x1E930F, 8192, 64, 512, 0xE},
    {"m88pa", "mega88P", 0x1E930F, 8192, 64, 512, 0xE},
    {"mega88PA", "mega88P", 0x1E930F, 8192, 64, 512, 0xE},
    {"m168p", "mega168P", 0x1E940B, 16384, 128, 512, 0xE},
    {"m168pa", "mega168P", 0x1E940B, 16384, 128, 512, 0xE},
    {"mega168PA", "mega168P", 0x1E940B, 16384, 128, 512, 0xE},
    {"m328p", "mega328P", 0x1E950F, 32768, 128, 1024, 0xE},
    {"m16", "mega16", 0x1E9403, 16384, 128, 512, 0x6},
    {"m16a", "mega16", 0x1E9403, 16384, 128, 512, 0x6},
    {"mega16A", "mega16", 0x1E9403, 16384, 128, 512, 0x6},
    {"m32", "mega32", 0x1E9502, 32768, 128, 1024, 0x6},
    {"m32a", "mega32", 0x1E9502, 32768, 128, 1024, 0x6},
    {"mega32A", "mega32", 0x1E9502, 32768, 128, 1024, 0x6},
    {"m64", "mega64", 0x1E9602, 65536, 256, 2048, 0xE},
    {"m64a", "mega64", 0x1E9602, 65536, 256, 2048, 0xE},
    {"mega64A", "mega64", 0x1E9602, 65536, 256, 2048, 0xE},
    {"m128", "mega128", 0x1E9702, 131072, 256, 4096, 0xE},
    {"m128a", "mega128", 0x1E9702, 131072, 256, 4096, 0xE},
    {"mega128A", "mega128", 0x1E9702, 131072, 256, 4096, 0xE},
    {"c32", "90CAN32", 0x1E9581, 32768, 256, 1024, 0xE},
    {"c64", "90CAN64", 0x1E9681, 65536, 256, 2048, 0xE},
    {"c128", "90CAN128", 0x1E9781, 131072, 256, 4096, 0xE},
    {"usb82", "90usb82", 0x1E9382, 8192, 128, 512, 0xE},
    {"usb162", "90usb162", 0x1E9482, 16384, 128, 512, 0xE},
    {"m8u2", "mega8U2", 0x1E9389, 8192, 128, 512, 0xE},
    {"m16u2", "mega16U2", 0x1E9489, 16384, 128, 512, 0xE},
    {"m32u2", "mega32U2", 0x1E958A, 32768, 128, 1024, 0xE},
    {"m16u4", "mega16U4", 0x1E9488, 16384, 128, 512, 0xE},
    {"m32u4", "mega32U4", 0x1E9587, 32768, 128, 1024, 0xE},
    {"usb646", "90usb646", 0x1E9682, 65536, 256, 2048, 0xE},
    {"usb647", "90usb647", 0x1E9682, 65536, 256, 2048, 0xE},
    {"usb1286", "90usb1286", 0x1E9782, 131072, 256, 4096, 0xE},
    {"usb1287", "90usb1287", 0x1E9782, 131072, 256, 4096, 0xE},
    {"m644", "mega644", 0x1E9609, 65536, 256, 2048, 0xE},
    {"m644a", "mega644", 0x1E9609, 65536, 256, 2048, 0xE},
    {"mega644A", "mega644", 0x1E9609, 65536, 256, 2048, 0xE},
    {"m164p", "mega164P", 0x1E940A, 16384, 128, 512, 0xE},
    {"m164pa", "mega164PA", 0x1E940A, 16384, 128, 512, 0xE},
    {"m324p", "mega324P", 0x1E9508, 32768, 128, 1024, 0xE},
    {"m324pa", "mega324PA", 0x1E9511, 32768, 128, 1024, 0xE},
    {"m644p", "mega644P", 0x1E960A, 65536, 256, 2048, 0xE},
    {"m644pa", "mega644PA", 0x1E960A, 65536, 256, 2048, 0xE},
    {"m1284p", "mega1284P", 0x1E9705, 131072, 256, 4096, 0xE},
    {"m165p", "mega165P", 0x1E9407, 16384, 128, 512, 0xE},
    {"m165pa", "mega165P", 0x1E9407, 16384, 128, 512, 0xE},
    {"mega165PA", "mega165P", 0x1E9407, 16384, 128, 512, 0xE},
    {"m325", "mega325", 0x1E9505, 32768, 128, 1024, 0xE},
    {"m325a", "mega325", 0x1E9505, 32768, 128, 1024, 0xE},
    {"mega325A", "mega325", 0x1E9505, 32768, 128, 1024, 0xE},
    {"m325p", "mega325P", 0x1E950D, 32768, 128, 1024, 0xE},
    {"m325pa", "mega325P", 0x1E950D, 32768, 128, 1024, 0xE},
    {"mega325PA", "mega325P", 0x1E950D, 32768, 128, 1024, 0xE},
    {"m3250", "mega3250", 0x1E9506, 32768, 128, 1024, 0xE},
    {"m3250a", "mega3250", 0x1E9506, 32768, 128, 1024, 0xE},
    {"mega3250A", "mega3250", 0x1E9506, 32768, 128, 1024, 0xE},
    {"m3250p", "mega3250P", 0x1E950E, 32768, 128, 1024, 0xE},
    {"m3250pa", "mega3250P", 0x1E950E, 32768, 128, 1024, 0xE},
    {"mega3250PA", "mega3250P", 0x1E950E, 32768, 128, 1024, 0xE},
    {"m645", "mega645", 0x1E9605, 65536, 256, 2048, 0xE},
    {"m645a", "mega645", 0x1E9605, 65536, 256, 2048, 0xE},
    {"mega645A", "mega645", 0x1E9605, 65536, 256, 2048, 0xE},
    {"m6450", "mega6450", 0x1E9606, 65536, 256, 2048, 0xE},
    {"m6450a", "mega6450", 0x1E9606, 65536, 256, 2048, 0xE},
    {"mega6450A", "mega6450", 0x1E9606, 65536, 256, 2048, 0xE},
    {"m169", "mega169", 0x1E9405, 16384, 128, 512, 0xE},
    {"m169p", "mega169P", 0x1E9405, 16384, 128, 512, 0xE},
    {"m169pa", "mega169P", 0x1E9405, 16384, 128, 512, 0xE},
    {"mega169PA", "mega169P", 0x1E9405, 16384, 128, 512, 0xE},
    {"m329", "mega329", 0x1E9503, 32768, 128, 1024, 0xE},
    {"m329a", "mega329", 0x1E9503, 32768, 128, 1024, 0xE},
    {"mega329A", "mega329", 0x1E9503, 32768, 128, 1024, 0xE},
    {"m329p", "mega329P", 0x1E950B, 32768, 128, 1024, 0xE},
    {"m329pa", "mega329P", 0x1E950B, 32768, 128, 1024, 0xE},
    {"mega329PA", "mega329P", 0x1E950B, 32768, 128, 1024, 0xE},
    {"m3290", "mega3290", 0x1E9504, 32768, 128, 1024, 0xE},
    {"m3290a", "mega3290", 0x1E9504, 32768, 128, 1024, 0xE},
    {"mega3290A", "mega3290", 0x1E9504, 32768, 128, 1024, 0xE},
    {"m3290p", "mega3290P", 0x1E950C, 32768, 128, 1024, 0xE},
    {"m3290pa", "mega3290P", 0x1E950C, 32768, 128, 1024, 0xE},
    {"mega3290PA", "mega3290P", 0x1E950C, 32768, 128, 1024, 0xE},
    {"m649", "mega649", 0x1E9603, 65536, 256, 2048, 0xE},
    {"m649a", "mega649", 0x1E9603, 65536, 256, 2048, 0xE},
    {"mega649A", "mega649", 0x1E9603, 65536, 256, 2048, 0xE},
    {"m6490", "mega6490", 0x1E9604, 65536, 256, 2048, 0xE},
    {"m6490a", "mega6490", 0x1E9604, 65536, 256, 2048, 0xE},
    {"mega6490A", "mega6490", 0x1E9604, 65536, 256, 2048, 0xE},
    {"m640", "mega640", 0x1E9608, 65536, 256, 4096, 0xE},
    {"m1280", "mega1280", 0x1E9703, 131072, 256, 4096, 0xE},
    {"m1281", "mega1281", 0x1E9704, 131072, 256, 4096, 0xE},
    {"m2560", "mega2560", 0x1E9801, 262144, 256, 4096, 0xE},
    {"m2561", "mega2561", 0x1E9802, 262144, 256, 4096, 0xE},
    {"pwm2", "90pwm2", 0x1E9381, 8192, 64, 512, 0xE},
    {"pwm3", "90pwm3", 0x1E9381, 8192, 64, 512, 0xE},
    {"pwm2b", "90pwm2B", 0x1E9383, 8192, 64, 512, 0xE},
    {"pwm3b", "90pwm3B", 0x1E9383, 8192, 64, 512, 0xE},
    {"pwm216", "90pwm216", 0x1E9483, 16384, 128, 512, 0xE},
    {"pwm316", "90pwm316", 0x1E9483, 16384, 128, 512, 0xE},
    {"m32m1", "mega32M1", 0x1E9584, 32768, 128, 1024, 0xE},
    {"m64m1", "mega64M1", 0x1E9684, 65536, 256, 2048, 0xE},
};

std::string upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

TEST(ChipAliases, ResolveToTheChipWithAvrdudesFacts)
{
    for (const avrdude_part_t &p : avrdude_parts) {
        SCOPED_TRACE(p.alias);
        const char *chip = resolve_chip_alias(p.alias);
        EXPECT_STREQ(chip, p.chip);
        EXPECT_STREQ(resolve_chip_alias(upper(p.alias).c_str()), p.chip);
        const int32_t index = find_device(chip);
        ASSERT_GE(index, 0);
        const avr_device_t &d = avr_devices[index];
        EXPECT_EQ(d.signature, p.signature);
        EXPECT_EQ(d.memory[CODE_MEMORY].size, p.flash_size);
        EXPECT_EQ(d.memory[CODE_MEMORY].page_size, p.flash_page);
        EXPECT_EQ(d.memory[DATA_MEMORY].size, p.eeprom_size);
        if (d.fuse_kind == fuses_by_byte) {
            EXPECT_EQ(d.fuse_bytes & (has_low_byte | has_high_byte | has_ext_byte), p.fuse_bytes);
        }
    }
}

TEST(ChipAliases, AreUniqueListedHereAndNeverATableName)
{
    std::set<std::string> checked;
    for (const avrdude_part_t &p : avrdude_parts)
        checked.insert(p.alias);
    std::set<std::string> seen;
    int count = 0;
    for (int i = 0; i < chip_alias_count; i++) {
        const chip_alias_t &a = chip_aliases[i];
        SCOPED_TRACE(a.chip);
        // the chip is one alternative of a record, spelled as the table spells it
        const int32_t index = find_device(a.chip);
        ASSERT_GE(index, 0);
        std::stringstream names(avr_devices[index].name);
        std::string name;
        bool spelled = false;
        while (std::getline(names, name, '|'))
            spelled |= name == a.chip;
        EXPECT_TRUE(spelled);
        std::stringstream aliases(a.aliases);
        while (std::getline(aliases, name, '|')) {
            count++;
            EXPECT_EQ(find_device(name.c_str()), -1) << name << " is a table name";
            EXPECT_TRUE(seen.insert(upper(name)).second) << "duplicate alias " << name;
            EXPECT_EQ(checked.count(name), 1u) << name << " has no avrdude facts above";
        }
    }
    EXPECT_EQ(count, static_cast<int>(sizeof avrdude_parts / sizeof avrdude_parts[0]));
}

TEST(ChipAliases, OtherNamesPassThroughUnchanged)
{
    // table names, variants whose facts differ (ATmega165/165A: signature 1E9410;
    // 328/328PB, 4313: other chips), other makers' clones and near misses
    for (const char *name : {"mega8", "tiny13A", "m165", "mega165A", "m328", "m328pb", "t4313",
                             "lgt8f328p", "m8 ", "m8|m8a", "", "?"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(resolve_chip_alias(name), name);
    }
    EXPECT_EQ(find_device(resolve_chip_alias("m165")), -1);
    EXPECT_EQ(find_device(resolve_chip_alias("lgt8f328p")), -1);
}

class AliasList : public device_test {};

TEST_F(AliasList, OneLinePerChipWithItsAliases)
{
    print_alias_list();
    const std::string text = output();
    const std::string head = "\nSupported devices and their aliases\n";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    EXPECT_NE(text.find("\n 86RF401\n 90S1200                1200\n"), std::string::npos);
    EXPECT_NE(text.find("\n tiny13|tiny13A         t13 t13a\n"), std::string::npos);
    EXPECT_NE(text.find("\n mega8                  m8 m8a mega8A\n"), std::string::npos);
    EXPECT_NE(text.find("\n mega169|mega169P       m169 m169p m169pa mega169PA\n"), std::string::npos);

    // every record once in table order, every alias once on its chip's line
    std::stringstream lines(text.substr(head.size()));
    std::string line, word;
    int index = 0, aliases = 0;
    while (std::getline(lines, line)) {
        std::stringstream words(line);
        ASSERT_TRUE(words >> word) << "empty line";
        ASSERT_LT(index, avr_device_count);
        EXPECT_EQ(word, avr_devices[index].name);
        while (words >> word) {
            EXPECT_EQ(find_device(resolve_chip_alias(word.c_str())), index) << word;
            aliases++;
        }
        index++;
    }
    EXPECT_EQ(index, avr_device_count);
    EXPECT_EQ(aliases, static_cast<int>(sizeof avrdude_parts / sizeof avrdude_parts[0]));
}
