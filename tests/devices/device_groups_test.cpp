// Chips that share timing and programming behaviour, or a fuse layout, must
// have identical records in those fields, and different groups must differ:
// this catches a record typed with the wrong profile or layout.
#include <string>
#include <vector>

#include "device_test_support.h"

namespace {

typedef std::vector<std::vector<const char *>> groups_t;

// Chips with the same erase time, memory organisation, quirks and
// lock/fuse handling.
const groups_t profile_groups = {
    {"86RF401"},
    {"90S1200"},
    {"90S2313", "90S4414", "90S8515"},
    {"90S4434", "90S8535", "90S2323", "90S2343", "tiny22"},
    {"90S2333"},
    {"90S4433"},
    {"tiny12"},
    {"tiny22L"},
    {"tiny13"},
    {"tiny2313", "tiny25"},
    {"tiny15"},
    {"tiny45", "tiny85"},
    {"tiny43u"},
    {"tiny87", "tiny167"},
    {"tiny26"},
    {"tiny261", "tiny24"},
    {"tiny461", "tiny861", "tiny44", "tiny84", "tiny48", "tiny88", "mega48", "mega48P"},
    {"mega603", "mega103"},
    {"mega161"},
    {"mega163", "mega323"},
    {"mega8515", "mega8535", "mega8"},
    {"mega162", "90usb82", "90usb162", "mega8U2", "mega16U2", "mega32U2", "mega16U4",
     "mega32U4", "mega32U6", "mega164P", "mega324P", "mega324PA", "mega165", "mega325",
     "mega325P", "mega3250", "mega3250P", "mega169", "mega329", "mega329P", "mega3290",
     "mega3290P"},
    {"mega88", "mega88P", "90pwm2", "90pwm1"},
    {"mega168", "mega168P", "mega328P", "90pwm216", "mega16M1", "mega32M1", "mega32C1"},
    {"mega16", "mega32"},
    {"mega64", "mega128"},
    {"90CAN32", "90CAN64", "90CAN128", "90usb646", "90usb1286", "mega644", "mega644P",
     "mega1284P", "mega645", "mega6450", "mega649", "mega6490", "mega640", "mega1280",
     "mega1281", "mega2560", "mega2561"},
    {"mega64M1", "mega64C1"},
    {"mega8HVA", "mega16HVA"},
    {"mega16HVB", "mega32HVB"},
    {"mega8HVD"},
};

// Chips with the same fuse layout (the first group: none).
const groups_t layout_groups = {
    {"86RF401", "90S1200", "90S2313", "90S4414", "90S8515", "tiny22L"},
    {"90S4434", "90S8535", "90S2323"},
    {"90S2333", "90S4433"},
    {"90S2343", "tiny22"},
    {"tiny12"},
    {"tiny13"},
    {"tiny2313"},
    {"tiny15"},
    {"tiny25", "tiny45", "tiny85", "tiny43u", "tiny87", "tiny167", "tiny261", "tiny461",
     "tiny861", "tiny24", "tiny44", "tiny84", "mega48", "mega48P"},
    {"tiny26"},
    {"tiny48", "tiny88"},
    {"mega603", "mega103"},
    {"mega161"},
    {"mega163"},
    {"mega323"},
    {"mega8515"},
    {"mega8535"},
    {"mega162"},
    {"mega8"},
    {"mega88", "mega168", "mega88P", "mega168P"},
    {"mega328P"},
    {"mega16", "mega32"},
    {"mega64", "mega128"},
    {"90CAN32", "90CAN64", "90CAN128", "mega165", "mega169"},
    {"90usb82", "90usb162", "mega8U2", "mega16U2", "mega32U2"},
    {"mega16U4", "mega32U4", "mega32U6", "90usb646", "90usb1286"},
    {"mega644", "mega164P", "mega324P", "mega324PA", "mega644P", "mega1284P", "mega640",
     "mega1280", "mega1281", "mega2560", "mega2561"},
    {"mega325", "mega325P", "mega3250", "mega3250P", "mega645", "mega6450", "mega329",
     "mega329P", "mega3290", "mega3290P", "mega649", "mega6490"},
    {"90pwm2", "90pwm1", "90pwm216"},
    {"mega16M1", "mega32M1", "mega64M1", "mega32C1", "mega64C1"},
    {"mega8HVA", "mega16HVA", "mega8HVD"},
    {"mega16HVB", "mega32HVB"},
};

bool same_profile(const avr_device_t &a, const avr_device_t &b)
{
    for (int m = 0; m < 2; m++) {
        if (a.memory[m].page_size != b.memory[m].page_size ||
            a.memory[m].write_ms != b.memory[m].write_ms ||
            a.memory[m].poll_kind != b.memory[m].poll_kind)
            return false;
    }
    return a.erase_ms == b.erase_ms && a.osccal_count == b.osccal_count &&
           (a.flags & ~flag_list_break) == (b.flags & ~flag_list_break) &&
           a.lock_kind == b.lock_kind && a.fuse_kind == b.fuse_kind &&
           a.fuse_bytes == b.fuse_bytes;
}

// Renders a layout as text so that layouts compare by content.
std::string layout_text(fuse_layout_t layout)
{
    if (layout == nullptr)
        return "-";
    std::string text;
    for (int s = 0; layout[s] != nullptr; s++) {
        text += fuse_byte_name(s);
        text += ":";
        for (const fuse_field_t *f = layout[s]; f->info != nullptr; f++)
            text += std::string(" ") + f->info->name + "/" + std::to_string(f->width) + "@" +
                    std::to_string(f->shift);
        text += ";";
    }
    return text;
}

template <typename Same>
void check_groups(const groups_t &groups, Same same)
{
    std::vector<bool> seen(avr_device_count, false);
    for (size_t g = 0; g < groups.size(); g++) {
        const int32_t first = find_device(groups[g][0]);
        ASSERT_GE(first, 0) << groups[g][0];
        for (const char *name : groups[g]) {
            const int32_t index = find_device(name);
            ASSERT_GE(index, 0) << name;
            EXPECT_FALSE(seen[index]) << name << " in two groups";
            seen[index] = true;
            EXPECT_TRUE(same(avr_devices[first], avr_devices[index]))
                << name << " differs from " << groups[g][0];
        }
        for (size_t h = 0; h < g; h++) {
            EXPECT_FALSE(same(avr_devices[find_device(groups[h][0])], avr_devices[first]))
                << groups[g][0] << " should differ from " << groups[h][0];
        }
    }
    for (int i = 0; i < avr_device_count; i++)
        EXPECT_TRUE(seen[i]) << avr_devices[i].name << " in no group";
}

}  // namespace

TEST(DeviceGroups, ProfilesAreSharedWithinGroupsOnly)
{
    check_groups(profile_groups, same_profile);
}

TEST(DeviceGroups, FuseLayoutsAreSharedWithinGroupsOnly)
{
    check_groups(layout_groups, [](const avr_device_t &a, const avr_device_t &b) {
        return layout_text(a.fuses) == layout_text(b.fuses);
    });
}

namespace {

// Plain numbers, so the coded fields are checked by value, not by enum name.
struct expected_memory_t {
    int32_t size, page_size, write_ms, poll_kind;
};

struct expected_record_t {
    const char *name;
    uint32_t signature;
    int32_t erase_ms;
    expected_memory_t code, data;
    int32_t osccal_count;
    uint32_t flags;
    uint8_t lock_kind, fuse_kind, fuse_bytes;
};

}  // namespace

// One complete record of each programming style, field by field.
TEST(DeviceGroups, RepresentativeRecords)
{
    const expected_record_t expected[] = {
        {"90S1200", 0x1E9001, 30, {1024, 0, 6, 0}, {64, 0, 6, 0}, 0,
         flag_no_sync | flag_sck_2_5 | flag_list_break, 0, 0, 0x0},
        {"90S2333", 0x1E9105, 3, {2048, 0, 6, 4}, {128, 0, 6, 1}, 0,
         flag_resync_sck | flag_fuses_when_locked, 2, 2, 0x2},
        {"tiny12", 0x1E9005, 30, {1024, 0, 6, 4}, {64, 0, 8, 4}, 1,
         flag_resync_sck | flag_fuses_when_locked | flag_erase_fix | flag_list_break, 2, 3, 0x2},
        {"tiny13", 0x1E9007, 20, {1024, 32, 6, 5}, {64, 4, 5, 5}, 2, 0, 3, 3, 0x6},
        {"mega103", 0x1E9701, 70, {131072, 256, 25, 0}, {4096, 0, 10, 2}, 0, flag_resync_sck, 2,
         2, 0x2},
        {"mega161", 0x1E9401, 35, {16384, 128, 16, 4}, {512, 0, 6, 4}, 0, 0, 3, 3, 0x3},
        {"mega8", 0x1E9307, 20, {8192, 64, 6, 4}, {512, 4, 10, 4}, 4, flag_list_break, 3, 3, 0x7},
        {"mega128", 0x1E9702, 20, {131072, 256, 6, 4}, {4096, 8, 12, 4}, 4, 0, 3, 3, 0xF},
        {"mega2560", 0x1E9801, 20, {262144, 256, 6, 5}, {4096, 8, 10, 5}, 1, 0, 3, 3, 0xF},
        {"mega16HVB", 0x1E940D, 10, {16384, 128, 6, 5}, {512, 4, 5, 5}, 1, 0, 3, 3, 0x7},
    };
    for (const expected_record_t &e : expected) {
        SCOPED_TRACE(e.name);
        const int32_t index = find_device(e.name);
        ASSERT_GE(index, 0);
        const avr_device_t &d = avr_devices[index];
        EXPECT_EQ(d.signature, e.signature);
        EXPECT_EQ(d.erase_ms, e.erase_ms);
        const expected_memory_t *memories[2] = {&e.code, &e.data};
        for (int m = 0; m < 2; m++) {
            EXPECT_EQ(d.memory[m].size, memories[m]->size);
            EXPECT_EQ(d.memory[m].page_size, memories[m]->page_size);
            EXPECT_EQ(d.memory[m].write_ms, memories[m]->write_ms);
            EXPECT_EQ(d.memory[m].poll_kind, memories[m]->poll_kind);
        }
        EXPECT_EQ(d.osccal_count, e.osccal_count);
        EXPECT_EQ(d.flags, e.flags);
        EXPECT_EQ(d.lock_kind, e.lock_kind);
        EXPECT_EQ(d.fuse_kind, e.fuse_kind);
        EXPECT_EQ(d.fuse_bytes, e.fuse_bytes);
    }
}
