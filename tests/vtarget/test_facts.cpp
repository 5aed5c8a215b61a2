// The chip facts: complete and self-consistent for every chip, and each chip answers its own
// signature and keeps what is written to it when driven over the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "spi_driver.h"
#include "vtarget/chip_facts.h"

using namespace vttest;

namespace {

bool has_op(const vt::chip_facts &f, const std::string &op)
{
    std::string c = std::string(";") + f.commands;
    return c.find(";" + op + "=") != std::string::npos;
}

bool power_of_two(uint32_t v) { return v && !(v & (v - 1)); }

}  // namespace

TEST(ChipFacts, TableCoversEveryChipOnceWithConsistentValues)
{
    ASSERT_EQ(vt::chip_facts_count, 103u);
    std::set<std::string> names;
    std::map<uint32_t, int> signatures;
    for (size_t i = 0; i < vt::chip_facts_count; i++) {
        const vt::chip_facts &f = vt::chip_facts_table[i];
        SCOPED_TRACE(f.names);
        EXPECT_TRUE(names.insert(f.names).second);
        EXPECT_EQ(f.signature[0], 0x1E);
        signatures[f.signature[1] << 8 | f.signature[2]]++;
        EXPECT_TRUE(power_of_two(f.flash_size));
        EXPECT_TRUE(power_of_two(f.eeprom_size));
        if (f.flash_page) {
            EXPECT_TRUE(power_of_two(f.flash_page));
            EXPECT_EQ(f.flash_size % f.flash_page, 0u);
            EXPECT_TRUE(has_op(f, "flash_load_lo") && has_op(f, "flash_load_hi") &&
                        has_op(f, "flash_write_page"));
            EXPECT_FALSE(has_op(f, "flash_write_lo"));
        } else {
            EXPECT_TRUE(has_op(f, "flash_write_lo") && has_op(f, "flash_write_hi"));
            EXPECT_FALSE(has_op(f, "flash_write_page"));
        }
        EXPECT_EQ(has_op(f, "load_ext_addr"), f.flash_size > 131072);
        if (f.eeprom_page) {
            EXPECT_TRUE(has_op(f, "eeprom_load") && has_op(f, "eeprom_write_page"));
        }
        for (const char *op : {"pgm_enable", "chip_erase", "flash_read_lo", "flash_read_hi",
                               "eeprom_read", "eeprom_write", "signature_read", "lock_write"})
            EXPECT_TRUE(has_op(f, op)) << op;
        EXPECT_EQ(has_op(f, "calibration_read"), f.calibration_count > 0);
        EXPECT_LE(f.calibration_count, 4);
        EXPECT_LE(f.fuse_count, 3);
        for (int b = 0; b < 3; b++) {
            std::string n = "fuse" + std::to_string(b);
            EXPECT_EQ(has_op(f, n + "_write"), b < f.fuse_count) << n;
            EXPECT_EQ(f.fuse_writable[b] != 0, b < f.fuse_count) << n;
        }
        if (f.eesave_fuse >= 0) {
            EXPECT_LT(f.eesave_fuse, f.fuse_count);
            EXPECT_TRUE(f.fuse_writable[f.eesave_fuse] >> f.eesave_bit & 1);
        }
        EXPECT_NE(f.lb1_bit, f.lb2_bit);
        EXPECT_LT(f.lb1_bit, 8);
        EXPECT_LT(f.lb2_bit, 8);
        EXPECT_GT(f.erase_us, 0u);
        EXPECT_GT(f.flash_write_us, 0u);
        EXPECT_GT(f.eeprom_write_us, 0u);
        EXPECT_GT(f.lock_write_us, 0u);
        EXPECT_EQ(f.fuse_write_us > 0, f.fuse_count > 0);
        EXPECT_NE(f.source[0], 0);
        EXPECT_EQ(vt::find_chip_facts(f.names) == &f, std::strchr(f.names, '|') == nullptr);
    }
    // one silicon, two names on the list: the ATtiny22 and its low-voltage grade
    for (auto &s : signatures)
        EXPECT_EQ(s.second, s.first == 0x9106 ? 2 : 1) << std::hex << s.first;
}

TEST(ChipFacts, LookupByAnyNameIgnoringCase)
{
    const vt::chip_facts *f = vt::find_chip_facts("TINY13a");
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->names, "tiny13|tiny13A");
    EXPECT_EQ(vt::find_chip_facts("90pwm3b"), vt::find_chip_facts("90PWM1"));
    EXPECT_EQ(vt::find_chip_facts("mega"), nullptr);
    EXPECT_EQ(vt::find_chip_facts("mega16")->flash_size, 16384u);  // not mega16U2 or mega16M1
}

// Values read off the datasheets, independent of both generator sources.
TEST(ChipFacts, SpotChecksAgainstDatasheets)
{
    struct known {
        const char *name;
        uint8_t sig1, sig2;
        uint32_t flash, page, eeprom;
    } table[] = {
        {"mega8", 0x93, 0x07, 8192, 64, 512},
        {"mega328P", 0x95, 0x0F, 32768, 128, 1024},
        {"mega2560", 0x98, 0x01, 262144, 256, 4096},
        {"tiny13", 0x90, 0x07, 1024, 32, 64},
        {"90S2313", 0x91, 0x01, 2048, 0, 128},
        {"90S4434", 0x92, 0x02, 4096, 0, 256},
    };
    for (const known &k : table) {
        SCOPED_TRACE(k.name);
        const vt::chip_facts *f = vt::find_chip_facts(k.name);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->signature[1], k.sig1);
        EXPECT_EQ(f->signature[2], k.sig2);
        EXPECT_EQ(f->flash_size, k.flash);
        EXPECT_EQ(f->flash_page, k.page);
        EXPECT_EQ(f->eeprom_size, k.eeprom);
    }
    EXPECT_FALSE(vt::find_chip_facts("90S1200")->enable_echo);
    EXPECT_TRUE(vt::find_chip_facts("90S8515")->resync_by_sck);
    EXPECT_FALSE(vt::find_chip_facts("mega8")->resync_by_sck);
}

// Every chip, over the wire: in step at once, its own signature, a flash word and an EEPROM byte
// written and read back at the far end of each memory.
TEST(ChipFacts, EveryChipAnswersItsCommandSet)
{
    for (size_t i = 0; i < vt::chip_facts_count; i++) {
        const vt::chip_facts &f = vt::chip_facts_table[i];
        std::string name(f.names, std::strcspn(f.names, "|"));
        SCOPED_TRACE(name);
        spi_driver d(vt::make_chip(config(name.c_str())));
        d.low_ns = d.high_ns = 2000;
        d.start();
        EXPECT_EQ(d.enable(), f.enable_echo);
        ASSERT_TRUE(d.chip->programming_enabled());
        for (uint8_t s = 0; s < 3; s++)
            EXPECT_EQ(d.signature(s), f.signature[s]);

        uint32_t a = f.flash_size - 2;  // last word
        bool ext = f.flash_size > 131072;
        if (ext)
            d.cmd(0x4D, 0, (uint8_t)(a >> 17), 0);
        d.load_flash(a, 0x12);
        if (!f.flash_page)
            d.wait_ms(f.flash_write_us / 1000.0 + 1);  // byte-wise: each byte is a write
        d.load_flash(a + 1, 0x34);
        if (f.flash_page)
            d.write_page(a);
        d.wait_ms(f.flash_write_us / 1000.0 + 1);
        EXPECT_EQ(d.read_flash(a), 0x12);
        EXPECT_EQ(d.read_flash(a + 1), 0x34);
        EXPECT_EQ(d.chip->flash(a + 1), 0x34);

        uint32_t e = f.eeprom_size - 1;
        d.write_eeprom(e, 0x5A);
        d.wait_ms(f.eeprom_write_us / 1000.0 + 1);
        EXPECT_EQ(d.read_eeprom(e), 0x5A);
        EXPECT_EQ(d.chip->counters().missed_edges, 0u);
    }
}
