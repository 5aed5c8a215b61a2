// The device table: structural invariants, lookups by name and signature,
// the current device and the supported-device list.
#include <cctype>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "device_test_support.h"

namespace {

std::vector<std::string> alternatives(const char *name_list)
{
    std::vector<std::string> names;
    std::stringstream stream(name_list);
    std::string name;
    while (std::getline(stream, name, '|'))
        names.push_back(name);
    return names;
}

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool power_of_two(int32_t value)
{
    return value > 0 && (value & (value - 1)) == 0;
}

int slot_count(fuse_layout_t layout)
{
    int count = 0;
    while (layout[count] != nullptr)
        count++;
    return count;
}

const avr_device_t &record(const char *name)
{
    int32_t index = find_device(name);
    EXPECT_GE(index, 0) << name;
    return avr_devices[index < 0 ? 0 : index];
}

}  // namespace

TEST(DeviceTable, RecordsHaveUniqueNamesAndWellFormedSignatures)
{
    ASSERT_EQ(avr_device_count, 103);
    std::set<std::string> names;
    std::set<uint32_t> signatures;
    int shared = 0;
    for (int i = 0; i < avr_device_count; i++) {
        const avr_device_t &d = avr_devices[i];
        ASSERT_NE(d.name, nullptr);
        for (const std::string &name : alternatives(d.name)) {
            EXPECT_FALSE(name.empty()) << d.name;
            EXPECT_TRUE(names.insert(lower(name)).second) << "duplicate name " << name;
            // every alternative leads back to its own record
            EXPECT_EQ(find_device(name.c_str()), i) << name;
        }
        EXPECT_EQ(d.signature >> 16, 0x1Eu) << d.name;
        if (!signatures.insert(d.signature).second) {
            shared++;
            EXPECT_EQ(d.signature, 0x1E9106u) << d.name << " repeats a signature";
        }
    }
    EXPECT_EQ(shared, 1);
}

TEST(DeviceTable, MemoriesAndTimingsAreConsistent)
{
    for (int i = 0; i < avr_device_count; i++) {
        const avr_device_t &d = avr_devices[i];
        SCOPED_TRACE(d.name);
        EXPECT_GT(d.erase_ms, 0);
        EXPECT_GE(d.osccal_count, 0);
        EXPECT_LE(d.osccal_count, 4);
        for (const avr_memory_t &m : d.memory) {
            EXPECT_TRUE(power_of_two(m.size)) << m.size;
            if (m.page_size != 0) {
                EXPECT_TRUE(power_of_two(m.page_size)) << m.page_size;
                EXPECT_EQ(m.size % m.page_size, 0);
                EXPECT_LT(m.page_size, m.size);
            }
            EXPECT_GT(m.write_ms, 0);
            EXPECT_GE(m.poll_kind, 0);
            EXPECT_LE(m.poll_kind, 5);
        }
        EXPECT_GT(d.memory[CODE_MEMORY].size, d.memory[DATA_MEMORY].size);
        EXPECT_LE(d.lock_kind, 3);
        EXPECT_LE(d.fuse_kind, 3);
        const uint32_t known = flag_no_sync | flag_resync_sck | flag_sck_2_5 | flag_sck_5_17 |
                               flag_fuses_when_locked | flag_erase_fix | flag_list_break;
        EXPECT_EQ(d.flags & ~known, 0u) << std::hex << d.flags;
        EXPECT_FALSE((d.flags & flag_sck_2_5) && (d.flags & flag_sck_5_17));
        // only chips with flash of more than 128 KiB use the extended address
        if (d.memory[CODE_MEMORY].size > 131072) {
            EXPECT_EQ(d.memory[CODE_MEMORY].size, 262144);
        }
    }
}

TEST(DeviceTable, FuseInfosAreUniqueUpperCaseNames)
{
    ASSERT_EQ(fuse_info_count, 35);
    std::set<std::string> names;
    for (int i = 0; i < fuse_info_count; i++) {
        const fuse_info_t &info = fuse_infos[i];
        ASSERT_NE(info.name, nullptr);
        ASSERT_NE(info.description, nullptr);
        EXPECT_GT(std::strlen(info.description), 0u);
        for (const char *c = info.name; *c; c++)
            EXPECT_FALSE(std::islower(static_cast<unsigned char>(*c))) << info.name;
        EXPECT_TRUE(names.insert(info.name).second) << info.name;
        if (info.alias != nullptr) {
            EXPECT_TRUE(names.insert(info.alias).second) << info.alias;
        }
        // a fuse name must never be taken for a whole-byte name
        for (int slot = 0; slot < 4; slot++)
            EXPECT_STRNE(info.name, fuse_byte_name(slot));
    }
}

TEST(DeviceTable, FuseLayoutsFitTheirBytesAndMatchTheFuseBytes)
{
    for (int i = 0; i < avr_device_count; i++) {
        const avr_device_t &d = avr_devices[i];
        SCOPED_TRACE(d.name);
        if (d.fuse_kind == 0) {
            EXPECT_EQ(d.fuses, nullptr);
            EXPECT_EQ(d.fuse_bytes, 0);
            continue;
        }
        ASSERT_NE(d.fuses, nullptr);
        const int slots = slot_count(d.fuses);
        ASSERT_LE(slots, 4);
        std::set<std::string> field_names;
        for (int s = 0; s < 4; s++) {
            uint8_t used = 0;
            int fields = 0;
            if (s < slots) {
                for (const fuse_field_t *f = d.fuses[s]; f->info != nullptr; f++, fields++) {
                    EXPECT_GE(f->info, fuse_infos);
                    EXPECT_LT(f->info, fuse_infos + fuse_info_count);
                    EXPECT_GE(f->width, 1);
                    EXPECT_LE(f->width, 4);
                    EXPECT_GE(f->shift, 0);
                    EXPECT_LE(f->shift + f->width, 8) << f->info->name;
                    const uint8_t mask = static_cast<uint8_t>(((1 << f->width) - 1) << f->shift);
                    EXPECT_EQ(used & mask, 0) << f->info->name << " overlaps";
                    used |= mask;
                    // a repeated name could never be reached by the search
                    EXPECT_TRUE(field_names.insert(f->info->name).second) << f->info->name;
                }
            }
            if (s == FUSE_LOCK) {  // LB1 and LB2 are no fuse fields
                EXPECT_EQ(used & 0x03, 0);
            }
            if (d.fuse_kind == 3) {
                EXPECT_EQ(fields > 0, (d.fuse_bytes >> s & 1) != 0) << "slot " << s;
            } else if (s == FUSE_LOW) {
                // classic chips carry the fuse bits in the low 5 bits of one command byte
                EXPECT_GT(fields, 0);
                EXPECT_EQ(used & 0xE0, 0);
            } else {
                EXPECT_EQ(fields, 0) << "slot " << s;
            }
        }
        if (d.fuse_kind != 3) {
            EXPECT_EQ(d.fuse_bytes, 1 << FUSE_LOW);
        }
        // the layout has as many slots as its highest fuse byte needs
        EXPECT_EQ(d.fuse_bytes >> slots, 0);
        EXPECT_NE(d.fuse_bytes >> (slots - 1), 0);
    }
}

TEST(DeviceTable, ValuesCorrectedToTheHardware)
{
    EXPECT_EQ(record("tiny48").memory[DATA_MEMORY].size, 64);
    EXPECT_EQ(record("tiny88").memory[DATA_MEMORY].size, 64);
    EXPECT_EQ(record("mega328P").memory[DATA_MEMORY].size, 1024);
    for (const char *name : {"mega16M1", "mega32M1", "mega64M1", "mega32C1", "mega64C1"})
        EXPECT_EQ(record(name).fuse_bytes, 0xF) << name;
    EXPECT_EQ(record("mega8U2").memory[CODE_MEMORY].page_size, 128);
    EXPECT_EQ(record("90pwm216").memory[CODE_MEMORY].page_size, 128);
    // chips that shared the original profile keep 64-byte pages
    EXPECT_EQ(record("mega88").memory[CODE_MEMORY].page_size, 64);
    EXPECT_EQ(record("90pwm2").memory[CODE_MEMORY].page_size, 64);
    EXPECT_EQ(record("90pwm1").memory[CODE_MEMORY].page_size, 64);
    // and the rest of the corrected records is untouched
    const avr_device_t &u2 = record("mega8U2");
    EXPECT_EQ(u2.memory[DATA_MEMORY].write_ms, 10);
    EXPECT_EQ(u2.fuse_bytes, 0xF);
    const avr_device_t &m1 = record("mega64M1");
    EXPECT_EQ(m1.memory[CODE_MEMORY].page_size, 256);
    EXPECT_EQ(m1.memory[DATA_MEMORY].page_size, 8);
}

TEST(DeviceTable, IrregularValuesAreKept)
{
    EXPECT_EQ(record("90S2333").erase_ms, 3);
    EXPECT_EQ(record("90S4433").erase_ms, 30);
    EXPECT_EQ(record("tiny43u").memory[DATA_MEMORY].size, 64);
    EXPECT_EQ(record("tiny43u").memory[CODE_MEMORY].size, 4096);
    const avr_device_t &tiny22l = record("tiny22L");
    EXPECT_EQ(tiny22l.fuses, nullptr);
    EXPECT_EQ(tiny22l.lock_kind, 1);
    EXPECT_EQ(tiny22l.signature, record("tiny22").signature);
    int big = 0;
    for (int i = 0; i < avr_device_count; i++)
        big += avr_devices[i].memory[CODE_MEMORY].size > 131072;
    EXPECT_EQ(big, 2);
    EXPECT_EQ(record("mega2560").memory[CODE_MEMORY].size, 262144);
    EXPECT_EQ(record("mega2561").memory[CODE_MEMORY].size, 262144);
}

TEST(DeviceNames, MatchWholeAlternativesIgnoringCase)
{
    EXPECT_TRUE(device_name_matches("tiny13|tiny13A", "tiny13"));
    EXPECT_TRUE(device_name_matches("tiny13|tiny13A", "TINY13a"));
    EXPECT_TRUE(device_name_matches("90pwm1|90pwm2B|90pwm3B", "90pwm2b"));
    EXPECT_TRUE(device_name_matches("mega8", "MEGA8"));
    EXPECT_FALSE(device_name_matches("tiny13|tiny13A", "tiny1"));
    EXPECT_FALSE(device_name_matches("tiny13|tiny13A", "tiny13A|"));
    EXPECT_FALSE(device_name_matches("tiny13|tiny13A", "tiny13|tiny13A"));
    EXPECT_FALSE(device_name_matches("mega16U2", "mega16"));
    EXPECT_FALSE(device_name_matches("mega16", "mega16U2"));
    EXPECT_FALSE(device_name_matches("mega8", ""));
    EXPECT_FALSE(device_name_matches("mega8", nullptr));
}

TEST(DeviceNames, FindDeviceReturnsTheFirstMatchingRecord)
{
    const int32_t tiny13 = find_device("tiny13");
    ASSERT_GE(tiny13, 0);
    EXPECT_STREQ(avr_devices[tiny13].name, "tiny13|tiny13A");
    EXPECT_EQ(find_device("tiny13a"), tiny13);
    EXPECT_EQ(find_device("TINY13A"), tiny13);
    EXPECT_STREQ(device_name(find_device("90usb647")), "90usb646|90usb647");
    EXPECT_STREQ(device_name(find_device("90pwm216")), "90pwm216|90pwm316");
    EXPECT_STREQ(device_name(find_device("90pwm2")), "90pwm2|90pwm3");
    EXPECT_STREQ(device_name(find_device("90pwm2B")), "90pwm1|90pwm2B|90pwm3B");
    EXPECT_STREQ(device_name(find_device("mega16")), "mega16");
    EXPECT_STREQ(device_name(find_device("mega644PA")), "mega644P|mega644PA");
    EXPECT_STREQ(device_name(find_device("tiny22l")), "tiny22L");
    EXPECT_EQ(find_device("mega"), -1);
    EXPECT_EQ(find_device("mega8 "), -1);
    EXPECT_EQ(find_device(""), -1);
    EXPECT_EQ(find_device(nullptr), -1);
    EXPECT_EQ(find_device("tiny13|tiny13A"), -1);
}

TEST(DeviceSignatures, DetectionPrefersTheLastRecordUnlessNamed)
{
    EXPECT_STREQ(device_name(find_device_by_signature(0x1E9307, nullptr)), "mega8");
    EXPECT_STREQ(device_name(find_device_by_signature(0x1E9307, "tiny13")), "mega8");
    EXPECT_STREQ(device_name(find_device_by_signature(0x1E9106, nullptr)), "tiny22");
    EXPECT_STREQ(device_name(find_device_by_signature(0x1E9106, "tiny22")), "tiny22");
    EXPECT_STREQ(device_name(find_device_by_signature(0x1E9106, "tiny22l")), "tiny22L");
    EXPECT_STREQ(device_name(find_device_by_signature(0x1E9106, "TINY22L")), "tiny22L");
    EXPECT_STREQ(device_name(find_device_by_signature(0x1E9106, "mega8")), "tiny22");
    EXPECT_STREQ(device_name(find_device_by_signature(0x1E9007, "tiny13a")), "tiny13|tiny13A");
    EXPECT_EQ(find_device_by_signature(0x000102, nullptr), -1);
    EXPECT_EQ(find_device_by_signature(0xFFFFFF, "mega8"), -1);
    EXPECT_EQ(find_device_by_signature(0x1E9999, nullptr), -1);
    // every record but the shadowed tiny22L is found by its signature alone
    for (int i = 0; i < avr_device_count; i++) {
        int32_t found = find_device_by_signature(avr_devices[i].signature, nullptr);
        if (std::strcmp(avr_devices[i].name, "tiny22L") == 0)
            EXPECT_NE(found, i);
        else
            EXPECT_EQ(found, i) << avr_devices[i].name;
        EXPECT_EQ(find_device_by_signature(avr_devices[i].signature, avr_devices[i].name), i);
    }
}

TEST(TargetDevice, FallsBackToTheNamedChipUntilDetected)
{
    avr_target_t target;
    EXPECT_EQ(target.device_index(), -1);
    EXPECT_EQ(target.detected_index(), -1);
    EXPECT_STREQ(target.device().name, "unknown");
    EXPECT_EQ(target.device().fuses, nullptr);
    EXPECT_EQ(target.code_size(), 0);

    target.settings.chip_name = "mega8";
    EXPECT_EQ(target.device_index(), find_device("mega8"));
    EXPECT_EQ(target.detected_index(), -1);
    EXPECT_EQ(target.code_size(), 8192);
    EXPECT_EQ(target.data_size(), 512);

    target.set_device(find_device("mega2560"));
    EXPECT_EQ(target.device_index(), find_device("mega2560"));
    EXPECT_EQ(target.detected_index(), find_device("mega2560"));
    EXPECT_EQ(target.code_size(), 262144);
    EXPECT_EQ(target.data_size(), 4096);

    // an unrecognised chip falls back to the named one
    target.set_device(-1);
    EXPECT_EQ(target.device_index(), find_device("mega8"));
    target.set_device(avr_device_count);
    EXPECT_EQ(target.detected_index(), -1);
}

TEST(DeviceTexts, NamesOfDevicesSlotsMemoriesAndLockStates)
{
    EXPECT_STREQ(device_name(-1), "unknown");
    EXPECT_STREQ(device_name(avr_device_count), "unknown");
    EXPECT_STREQ(device_name(0), "86RF401");
    EXPECT_STREQ(fuse_byte_name(0), "_LOCK");
    EXPECT_STREQ(fuse_byte_name(1), "_LOW");
    EXPECT_STREQ(fuse_byte_name(2), "_HIGH");
    EXPECT_STREQ(fuse_byte_name(3), "_EXT");
    EXPECT_STREQ(fuse_byte_name(4), "???");
    EXPECT_STREQ(fuse_byte_name(-1), "???");
    EXPECT_STREQ(memory_name(CODE_MEMORY), "CODE memory");
    EXPECT_STREQ(memory_name(DATA_MEMORY), "DATA memory");
    EXPECT_STREQ(lock_state_text(0), "not locked");
    EXPECT_STREQ(lock_state_text(1), "locked - programming disabled");
    EXPECT_STREQ(lock_state_text(2), "locked - reading and programming disabled");
    EXPECT_EQ(lock_state_text(-1), nullptr);
    EXPECT_EQ(lock_state_text(3), nullptr);
}

class DeviceList : public device_test {};

TEST_F(DeviceList, GroupsNamesFiveToALine)
{
    print_device_list();
    const std::string text = output();
    const std::string head = "\nSupported devices\n 86RF401   \n"
                             " 90S1200    90S2313    90S4414    90S8515    90S4434   \n"
                             " 90S8535    90S2333    90S4433    90S2323    90S2343   \n"
                             " tiny12     tiny22L    tiny22     tiny13|tiny13A tiny2313  \n"
                             " tiny15     tiny25     tiny45     tiny85     tiny43u   \n"
                             " tiny87     tiny167   \n"
                             " tiny26     tiny261    tiny461    tiny861   \n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    EXPECT_NE(text.find("\n mega32U6   90usb646|90usb647 90usb1286|90usb1287\n"), std::string::npos);
    const std::string tail = "\n mega8HVA   mega16HVA  mega16HVB  mega32HVB  mega8HVD  ";
    ASSERT_GE(text.size(), tail.size());
    EXPECT_EQ(text.substr(text.size() - tail.size()), tail);

    // every record once, in table order, never more than five to a line
    std::stringstream lines(text.substr(std::strlen("\nSupported devices\n")));
    std::string line;
    int index = 0, line_number = 0;
    while (std::getline(lines, line)) {
        std::stringstream words(line);
        std::string word;
        int on_line = 0;
        while (words >> word) {
            ASSERT_LT(index, avr_device_count);
            EXPECT_EQ(word, avr_devices[index].name);
            if (avr_devices[index].flags & flag_list_break) {
                EXPECT_EQ(on_line, 0) << word << " does not start a line";
            }
            index++;
            on_line++;
        }
        EXPECT_LE(on_line, line_number == 0 ? 4 : 5);
        line_number++;
    }
    EXPECT_EQ(index, avr_device_count);
}

TEST_F(DeviceList, PrintedAtInfoLevel)
{
    msg_out.level = MSG_WARNING;
    print_device_list();
    EXPECT_EQ(output(), "");
}
