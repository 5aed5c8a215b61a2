// The built-in device table against the virtual chip's facts (avrdude's parts
// database, the avr-libc device headers and datasheet values): sizes, pages,
// signatures, fuse and lock encodings, calibration bytes, polling and waits.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "chip_facts_support.h"

namespace facts_check {

namespace {

// The serial programming commands the program sends for each lock and fuse kind.
const uint8_t read_lock[4] = {0x58, 0x00, 0x00, 0x00};
const uint8_t lock_level_1[4] = {0xAC, 0xFD, 0x00, 0x00};
const uint8_t lock_level_2[4] = {0xAC, 0xF9, 0x00, 0x00};
const uint8_t write_lock_byte[4] = {0xAC, 0xE0, 0x00, 0xFF};
const uint8_t read_fuse_byte[4][4] = {
    {}, {0x50, 0x00, 0x00, 0x00}, {0x58, 0x08, 0x00, 0x00}, {0x50, 0x08, 0x00, 0x00}};
const uint8_t write_fuse_byte[4][4] = {
    {}, {0xAC, 0xA0, 0x00, 0xFF}, {0xAC, 0xA8, 0x00, 0xFF}, {0xAC, 0xA4, 0x00, 0xFF}};

// Values a data-polled write cannot detect, by poll kind.
std::set<uint8_t> unpollable(int poll_kind)
{
    switch (poll_kind) {
    case 1:
        return {0x00, 0xFF};
    case 2:
        return {0x7F, 0x80};
    case 3:
        return {0x7F};
    case 4:
        return {0xFF};
    default:
        return {};
    }
}

std::string hex(unsigned value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// The field of the layout that covers bit `bit` of fuse byte `index` (0 low, 1 high,
// 2 extended), or null.
const fuse_field_t *field_at(fuse_layout_t layout, int index, int bit)
{
    int slot = index + 1;
    if (layout == nullptr || index < 0 || slot_mask(layout, slot) == 0)
        return nullptr;
    for (const fuse_field_t *f = layout[slot]; f->info != nullptr; f++)
        if (bit >= f->shift && bit < f->shift + f->width)
            return f;
    return nullptr;
}

// The lock-out marks of the layout against the chip: a field on the chip's RSTDISBL or
// DWEN bit warns when programmed, and no other field does; the chip's CKSEL field
// warns at least for every value that runs the chip from XTAL1.
void check_lockout_fields(const avr_device_t &d, const vt::chip_facts &f,
                          const std::function<void(const char *, const std::string &)> &add)
{
    std::set<std::pair<int, int>> reset_bits;
    for (auto pin : {std::make_pair(f.rstdisbl_fuse, f.rstdisbl_bit), std::make_pair(f.dwen_fuse, f.dwen_bit)}) {
        if (pin.first < 0)
            continue;
        reset_bits.insert({pin.first, pin.second});
        const fuse_field_t *field = field_at(d.fuses, pin.first, pin.second);
        if (field != nullptr && field->info->lockout != lockout_if_programmed)
            add("lock-out", std::string(field->info->name) + " sits on the chip's RESET fuse without a warning");
    }
    for (int index = 0; index < 3; index++)
        for (int bit = 0; bit < 8; bit++) {
            const fuse_field_t *field = field_at(d.fuses, index, bit);
            if (field != nullptr && field->info->lockout == lockout_if_programmed && !reset_bits.count({index, bit}))
                add("lock-out", std::string(field->info->name) + " warns but the chip's RESET fuses are elsewhere");
        }
    if (f.cksel_fuse < 0)
        return;
    int low = 0;
    while (!((f.cksel_mask >> low) & 1))
        low++;
    const fuse_field_t *cksel = field_at(d.fuses, f.cksel_fuse, low);
    const unsigned values = cksel ? (1u << cksel->width) - 1 : 0;
    if (cksel == nullptr || cksel->info->lockout != lockout_clock_values || cksel->shift != low ||
        (uint8_t(values << low) & ~f.cksel_mask) != 0) {
        add("lock-out", "no clock selection field where the chip's CKSEL bits are");
        return;
    }
    // a field narrower than the chip's CKSEL (tiny48: the two bits the datasheet
    // names) is judged on its own bits
    for (unsigned v = 0; v < 16; v++)
        if (((f.cksel_external >> v) & 1) && !((cksel->external_clock >> (v & values)) & 1))
            add("lock-out", "CKSEL=" + hex(v) + " runs the chip from XTAL1 but is not warned about");
}

}  // namespace

std::vector<std::string> disagreements(const avr_device_t &d, const vt::chip_facts &f)
{
    std::vector<std::string> out;
    auto add = [&](const char *key, const std::string &detail) {
        out.push_back(std::string(d.name) + ": " + key + ": " + detail);
    };
    std::map<std::string, format_t> cmd = formats(f);
    auto has = [&](const char *op) { return cmd.count(op) != 0; };
    const avr_memory_t &code = d.memory[CODE_MEMORY];
    const avr_memory_t &data = d.memory[DATA_MEMORY];

    if (std::strcmp(d.name, f.names) != 0)
        add("names", std::string("chip knows ") + f.names);
    uint32_t signature = (uint32_t(f.signature[0]) << 16) | (uint32_t(f.signature[1]) << 8) | f.signature[2];
    if (d.signature != signature)
        add("signature", hex(d.signature) + " vs chip " + hex(signature));

    // memories
    if (uint32_t(code.size) != f.flash_size)
        add("code size", std::to_string(code.size) + " vs chip " + std::to_string(f.flash_size));
    if (uint32_t(code.page_size) != f.flash_page)
        add("code page", std::to_string(code.page_size) + " vs chip " + std::to_string(f.flash_page));
    if (code.page_size > 0 && !(has("flash_load_lo") && has("flash_write_page")))
        add("code page", "paged writes but the chip has no page commands");
    if (code.page_size == 0 && !has("flash_write_lo"))
        add("code page", "byte writes but the chip has no byte write command");
    if (uint32_t(data.size) != f.eeprom_size)
        add("data size", std::to_string(data.size) + " vs chip " + std::to_string(f.eeprom_size));
    if (!has("eeprom_write"))
        add("data writes", "the chip has no byte-wise EEPROM write");
    if ((code.size > 0x20000) != has("load_ext_addr"))
        add("extended address", std::string("chip ") + (has("load_ext_addr") ? "needs" : "lacks") +
                                    " Load Extended Address");

    // waits: a wait shorter than the chip's worst case corrupts timed writes
    // (the longest delay switch, x5, must cover it; the default x1 is checked too)
    auto too_short = [&](const char *key, int program_ms, uint32_t chip_us) {
        if (program_ms * 5000.0 < chip_us)
            add(key, std::to_string(program_ms) + " ms x5 < chip " + std::to_string(chip_us) + " us");
        else if (program_ms * 1000.0 < chip_us)
            add(key, std::to_string(program_ms) + " ms < chip " + std::to_string(chip_us) + " us");
    };
    too_short("erase wait", d.erase_ms, f.erase_us);
    too_short("code write wait", code.write_ms, f.flash_write_us);
    too_short("data write wait", data.write_ms, f.eeprom_write_us);
    too_short("lock write wait", d.erase_ms, f.lock_write_us);
    if (d.fuse_kind != 0)
        too_short("fuse write wait", 4 * data.write_ms, f.fuse_write_us);

    // polling: busy read-back values must be ones the poll kind never waits for
    struct {
        const char *key;
        const avr_memory_t &memory;
        const uint8_t *readback;
    } polled[] = {{"code poll", code, f.flash_readback}, {"data poll", data, f.eeprom_readback}};
    for (auto &p : polled) {
        if (p.memory.poll_kind == 5 && !has("poll_busy"))
            add(p.key, "Poll RDY/BSY but the chip has no such command");
        if (p.memory.poll_kind >= 1 && p.memory.poll_kind <= 4) {
            std::set<uint8_t> skip = unpollable(p.memory.poll_kind);
            for (int half = 0; half < 2; half++)
                if (!skip.count(p.readback[half]))
                    add(p.key, "kind " + std::to_string(p.memory.poll_kind) + " polls for " +
                                   hex(p.readback[half]) + ", which the busy chip returns");
        }
    }

    if (d.osccal_count != f.calibration_count)
        add("osccal", std::to_string(d.osccal_count) + " vs chip " + std::to_string(f.calibration_count));

    // sync behaviour
    if (bool(d.flags & flag_no_sync) == f.enable_echo)
        add("enable echo", f.enable_echo ? "chip echoes 0x53" : "chip gives no echo");
    if (bool(d.flags & flag_resync_sck) != f.resync_by_sck)
        add("resync", f.resync_by_sck ? "chip slips by SCK pulses" : "chip needs a RESET pulse");
    if (bool(d.flags & flag_sck_2_5) != (f.sck_low_clocks == 2 && f.sck_high_clocks == 5))
        add("sck phases", "chip needs " + std::to_string(f.sck_low_clocks) + "/" +
                              std::to_string(f.sck_high_clocks) + " clocks");

    // lock bits
    if (d.lock_kind == 0) {
        if (has("lock_read"))
            add("lock kind", "0 but the chip can read its lock bits");
    } else if (!has("lock_read")) {
        add("lock kind", std::to_string(d.lock_kind) + " but the chip has no lock read");
    } else {
        static const int lb1_reply[4] = {-1, 7, 1, 0}, lb2_reply[4] = {-1, 6, 2, 1};
        const format_t &read = cmd["lock_read"];
        if (d.lock_kind > 3 || !fixed_bits_match(read, read_lock, 3) ||
            data_bit_at(read, 3, lb1_reply[d.lock_kind], 'o') != f.lb1_bit ||
            data_bit_at(read, 3, lb2_reply[d.lock_kind], 'o') != f.lb2_bit)
            add("lock kind", std::to_string(d.lock_kind) + " reads LB1/LB2 at other bits than the chip");
    }
    if (has("lock_write")) {
        const format_t &write = cmd["lock_write"];
        bool ok;
        if (d.lock_kind == 3)
            ok = fixed_bits_match(write, write_lock_byte) && data_bit_at(write, 3, f.lb1_bit, 'i') == f.lb1_bit &&
                 data_bit_at(write, 3, f.lb2_bit, 'i') == f.lb2_bit;
        else
            ok = fixed_bits_match(write, lock_level_1) && fixed_bits_match(write, lock_level_2) &&
                 data_bit_at(write, 1, 1, 'i') == f.lb1_bit && data_bit_at(write, 1, 2, 'i') == f.lb2_bit;
        if (!ok)
            add("lock write", "lock kind " + std::to_string(d.lock_kind) + " command differs from the chip's");
    } else {
        add("lock write", "the chip has no lock write");
    }

    // fuses: bytes present, commands, and every field bit readable and writable
    uint8_t chip_bytes = static_cast<uint8_t>(((1u << f.fuse_count) - 1) << 1);
    if (d.fuse_kind != 0 && (d.fuse_bytes & 0xE) != chip_bytes)
        add("fuse bytes", hex(d.fuse_bytes & 0xE) + " vs chip " + hex(chip_bytes));
    if (d.fuse_kind == 0 && f.fuse_count != 0)
        add("fuse kind", "0 but the chip has " + std::to_string(f.fuse_count) + " fuse byte(s)");
    if (d.fuse_kind != 0 && d.fuses == nullptr)
        add("fuse layout", "fuse kind without a layout");
    for (int slot = 1; slot <= 3 && d.fuse_kind != 0; slot++) {
        if (!(d.fuse_bytes & (1u << slot)))
            continue;
        std::string index = std::to_string(slot - 1);
        if (!has(("fuse" + index + "_read").c_str()) || !has(("fuse" + index + "_write").c_str())) {
            add("fuse commands", std::string(fuse_byte_name(slot)) + " has no chip commands");
            continue;
        }
        const format_t &read = cmd["fuse" + index + "_read"];
        const format_t &write = cmd["fuse" + index + "_write"];
        uint8_t fields = slot_mask(d.fuses, slot);
        bool ok = true;
        if (d.fuse_kind == 3) {
            ok = fixed_bits_match(read, read_fuse_byte[slot], 3) && fixed_bits_match(write, write_fuse_byte[slot]);
            for (int bit = 0; bit < 8; bit++)
                if ((fields >> bit) & 1)
                    ok = ok && data_bit_at(read, 3, bit, 'o') == bit && data_bit_at(write, 3, bit, 'i') == bit;
        } else {
            // one classic fuse set: read with Read Lock (1) or 0x50 (2); written as
            // 0xAC, 0xA0 | the low five bits of the byte, unused bits sent as 1
            const uint8_t classic_read[4] = {uint8_t(d.fuse_kind == 1 ? 0x58 : 0x50), 0, 0, 0};
            uint8_t command[4] = {0xAC, uint8_t(0xA0 | (0x1F & ~fields)), 0x00, 0x00};
            ok = slot == FUSE_LOW && fixed_bits_match(read, classic_read, 3) && fixed_bits_match(write, command) &&
                 (fields & ~0x1F) == 0;
            for (int bit = 0; bit < 8; bit++)
                if ((fields >> bit) & 1)
                    ok = ok && data_bit_at(read, 3, bit, 'o') == bit && data_bit_at(write, 1, bit, 'i') == bit;
        }
        if (!ok)
            add("fuse commands", std::string(fuse_byte_name(slot)) + " commands or bit positions differ");
        uint8_t writable = f.fuse_writable[slot - 1];
        if (fields & ~writable)
            add("fuse fields", std::string(fuse_byte_name(slot)) + " fields " + hex(fields) +
                                   ", chip writes " + hex(writable));
    }
    // boot lock bits live in the lock byte, written by 0xAC 0xE0
    uint8_t boot_lock = slot_mask(d.fuses, FUSE_LOCK);
    if (bool(d.fuse_bytes & 1) != (boot_lock != 0))
        add("fuse bytes", "_LOCK present without boot lock fields, or the reverse");
    if (boot_lock && has("lock_write")) {
        const format_t &write = cmd["lock_write"];
        bool ok = fixed_bits_match(write, write_lock_byte);
        for (int bit = 0; bit < 8; bit++)
            if ((boot_lock >> bit) & 1)
                ok = ok && data_bit_at(write, 3, bit, 'i') == bit;
        if (!ok)
            add("boot lock", "fields " + hex(boot_lock) + " not written by the chip's lock command");
    }
    if (d.fuse_kind != 0)
        check_lockout_fields(d, f, add);
    if (!(d.flags & flag_fuses_when_locked) != f.fuses_locked && d.fuse_kind != 0)
        add("fuses when locked", f.fuses_locked ? "chip locks its fuses with LB1" : "chip keeps fuses writable");
    return out;
}

}  // namespace facts_check

namespace {

using facts_check::disagreements;

// Disagreements the table keeps on purpose, with the hardware reason. Each
// names the records and the kind of disagreement ("chip: key").
struct known_exception {
    std::vector<const char *> chips;
    const char *key;
    const char *reason;
};

const std::vector<const char *> at90s_era = {"90S1200", "90S2313", "90S4414", "90S8515", "90S4434",
                                             "90S8535", "90S2333", "90S4433", "90S2323", "90S2343",
                                             "tiny12",  "tiny22L", "tiny22"};
const std::vector<const char *> mega644_family = {"mega644",  "mega164P|mega164PA", "mega324P",
                                                  "mega324PA", "mega644P|mega644PA", "mega1284P"};

const known_exception known[] = {
    {at90s_era, "code write wait",
     "the default waits are the 5 V figures of the datasheets (4 ms); the chip model takes the "
     "worst case over the whole supply range, which the delay switches (-2..-4) cover"},
    {at90s_era, "data write wait", "as the code write wait"},
    {{"mega603", "mega103"}, "code write wait", "5 V page write time; -3 covers the 2.7 V worst case"},
    {{"mega603", "mega103"}, "erase wait", "5 V erase time; -2 covers the 2.7 V worst case"},
    {{"mega323"}, "data write wait", "the model takes the ATmega32's 9 ms; -2 covers it"},
    {{"mega48", "mega48P"}, "erase wait",
     "the datasheet's chip erase wait is 9 ms; the model takes avrdude's 45 ms, -3 covers it"},
    {mega644_family, "erase wait",
     "the datasheet's chip erase wait is 9 ms; the model takes avrdude's 55 ms, -3 covers it"},
    {{"90S2333"}, "erase wait",
     "3 ms is kept as it stands; the reconnect after Chip Erase (RESET pulse, 20 ms before "
     "Programming Enable) outlasts the erase"},
    {{"90S2333"}, "lock write wait", "3 ms is kept as it stands (erase time of the record)"},
    {{"tiny22L"}, "fuse kind", "tiny22L is kept without fuses (its RC oscillator fuse is left alone)"},
    {{"mega603", "mega103"}, "fuses when locked", "refusing fuse writes to a locked chip is only cautious"},
    {{"mega161"}, "resync", "resynchronising by RESET pulses works on every AVR"},
    {{"mega8HVD"}, "code page",
     "half pages of 64 bytes: each Write Page programs only the loaded half, the other half of the "
     "chip's page buffer is FF and leaves the flash as it is"},
};

TEST(DeviceFacts, EveryRecordHasAModelledChip)
{
    ASSERT_EQ(103, avr_device_count);
    ASSERT_EQ(size_t(avr_device_count), vt::chip_facts_count);
    std::set<const vt::chip_facts *> seen;
    for (int i = 0; i < avr_device_count; i++) {
        const vt::chip_facts *facts = vt::find_chip_facts(facts_check::first_name(avr_devices[i].name).c_str());
        ASSERT_NE(nullptr, facts) << avr_devices[i].name;
        EXPECT_TRUE(seen.insert(facts).second) << avr_devices[i].name << " shares its chip with another record";
    }
}

TEST(DeviceFacts, RecordsAgreeWithTheChipsOrAreKnownExceptions)
{
    std::set<std::string> expected;
    for (const known_exception &k : known)
        for (const char *chip : k.chips)
            expected.insert(std::string(chip) + ": " + k.key);
    std::set<std::string> found;
    for (int i = 0; i < avr_device_count; i++) {
        const avr_device_t &d = avr_devices[i];
        const vt::chip_facts *facts = vt::find_chip_facts(facts_check::first_name(d.name).c_str());
        ASSERT_NE(nullptr, facts) << d.name;
        for (const std::string &line : disagreements(d, *facts)) {
            std::string key = line.substr(0, line.find(": ", line.find(": ") + 2));
            found.insert(key);
            EXPECT_TRUE(expected.count(key)) << "unexpected disagreement: " << line;
        }
    }
    for (const std::string &key : expected)
        EXPECT_TRUE(found.count(key)) << "known exception no longer seen (drop it): " << key;
}

}  // namespace
