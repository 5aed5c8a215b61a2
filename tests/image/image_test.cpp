#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/image.h"

namespace {

int destroyed = 0;

// A portion that counts its destruction.
class counted_portion : public CodePortion {
public:
    counted_portion(int32_t address, int32_t length) : CodePortion(address, length, nullptr) {}
    ~counted_portion() override { destroyed++; }
};

std::vector<int32_t> addresses(const PortionList &list)
{
    std::vector<int32_t> out;
    for (CodePortion *p = list.first(); p; p = list.next_of(p))
        out.push_back(p->address);
    return out;
}

// A portion whose bytes are address + i (low 8 bits).
CodePortion *patterned(int32_t address, int32_t length)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; i++)
        bytes[size_t(i)] = uint8_t(address + i);
    return new CodePortion(address, length, bytes.data());
}

void expect_patterned(const CodePortion *p, int32_t address, int32_t length, int32_t source_address)
{
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, address);
    ASSERT_EQ(p->length, length);
    for (int32_t i = 0; i < length; i++)
        ASSERT_EQ(p->data[i], uint8_t(source_address + i)) << "byte " << i;
}

}  // namespace

TEST(PortionTest, OwnsACopyOfItsBytesAndAddressesThemAbsolutely)
{
    uint8_t source[3] = {1, 2, 3};
    CodePortion p(0x100, 3, source);
    source[0] = 9;
    EXPECT_EQ(p.byte_at(0x100), 1);
    EXPECT_EQ(p.byte_at(0x102), 3);
    p.set_byte_at(0x101, 0x55);
    EXPECT_EQ(p.data[1], 0x55);
    EXPECT_EQ(p.end(), 0x103);
    EXPECT_EQ(p.next, nullptr);
}

TEST(PortionListTest, EmptyListHasNothingToWalkOrFind)
{
    PortionList list;
    int calls = 0;
    int32_t a = 0;
    list.for_each([](CodePortion *, void *user) { ++*static_cast<int *>(user); }, &calls);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(list.count(), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.first(), nullptr);
    EXPECT_EQ(list.find_first(contains_address, &a), nullptr);
    EXPECT_EQ(list.end(), 0);
    CodePortion stranger(0, 1, nullptr);
    EXPECT_EQ(list.unlink(&stranger), nullptr);
}

TEST(PortionListTest, OneElementRingPointsToItselfAndUnlinksToEmpty)
{
    PortionList list;
    CodePortion *p = patterned(5, 2);
    list.append(p);
    EXPECT_EQ(p->next, p);
    EXPECT_EQ(list.first(), p);
    EXPECT_EQ(list.last_portion(), p);
    EXPECT_EQ(list.next_of(p), nullptr);
    EXPECT_EQ(list.count(), 1);
    EXPECT_EQ(list.unlink(p), p);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(p->next, nullptr);
    delete p;
}

TEST(PortionListTest, AppendInsertAndUnlinkKeepTheRingAndItsLastElement)
{
    PortionList list;
    CodePortion *a = patterned(0, 1), *b = patterned(10, 1), *c = patterned(20, 1);
    list.append(a);
    list.append(c);
    list.insert_after(a, b);
    EXPECT_EQ(addresses(list), (std::vector<int32_t>{0, 10, 20}));
    CodePortion *d = patterned(30, 1);
    list.insert_after(c, d);  // after the last: becomes the last
    EXPECT_EQ(list.last_portion(), d);
    EXPECT_EQ(d->next, a);
    EXPECT_EQ(list.end(), 31);

    // Unlinking the last makes its predecessor the last, linked to the first.
    EXPECT_EQ(list.unlink(d), d);
    EXPECT_EQ(list.last_portion(), c);
    EXPECT_EQ(c->next, a);
    EXPECT_EQ(list.unlink(a), a);  // the first
    EXPECT_EQ(list.first(), b);
    EXPECT_EQ(addresses(list), (std::vector<int32_t>{10, 20}));

    // An element of another list, or one already unlinked, is not found.
    PortionList other;
    other.append(d);
    EXPECT_EQ(list.unlink(d), nullptr);
    EXPECT_EQ(list.unlink(a), nullptr);
    EXPECT_EQ(list.count(), 2);
    EXPECT_EQ(other.count(), 1);
    delete a;
}

TEST(PortionListTest, RemoveAndClearDestroyOnlyTheirOwnElements)
{
    destroyed = 0;
    {
        PortionList list;
        for (int i = 0; i < 4; i++)
            list.append(new counted_portion(i * 8, 8));
        counted_portion outsider(100, 1);
        list.remove(&outsider);
        EXPECT_EQ(destroyed, 0);
        list.remove(list.next_of(list.first()));
        EXPECT_EQ(destroyed, 1);
        EXPECT_EQ(addresses(list), (std::vector<int32_t>{0, 16, 24}));
        list.clear();
        EXPECT_EQ(destroyed, 4);
        EXPECT_TRUE(list.empty());
        list.append(new counted_portion(0, 1));
    }  // the list's destructor clears it; then the outsider goes
    EXPECT_EQ(destroyed, 6);
}

TEST(PortionListTest, ForEachWalksInOrderAndSurvivesUnlinkingTheCurrentElement)
{
    struct walk_t {
        PortionList *list;
        std::vector<int32_t> seen;
        int32_t drop_below;
    };
    auto visit = [](CodePortion *p, void *user) {
        walk_t *w = static_cast<walk_t *>(user);
        w->seen.push_back(p->address);
        if (p->address < w->drop_below)
            w->list->remove(p);
    };
    for (int32_t drop_below : {0, 25, 35, 100}) {
        PortionList list;
        for (int32_t a : {0, 10, 20, 30})
            list.append(patterned(a, 4));
        walk_t w{&list, {}, drop_below};
        list.for_each(visit, &w);
        EXPECT_EQ(w.seen, (std::vector<int32_t>{0, 10, 20, 30})) << "drop below " << drop_below;
        std::vector<int32_t> kept;
        for (int32_t a : {0, 10, 20, 30})
            if (a >= drop_below)
                kept.push_back(a);
        EXPECT_EQ(addresses(list), kept) << "drop below " << drop_below;
    }
}

TEST(PortionListTest, AddressPredicatesFindTheRightPortion)
{
    PortionList list;
    list.append(patterned(0x10, 0x10));
    list.append(patterned(0x30, 0x10));
    struct {
        int32_t address;
        int32_t contains;  // -1: none
        int32_t reaches;
    } cases[] = {
        {0x0F, -1, 0x10}, {0x10, 0x10, 0x10}, {0x1F, 0x10, 0x10}, {0x20, -1, 0x30},
        {0x3F, 0x30, 0x30}, {0x40, -1, -1},
    };
    for (auto &c : cases) {
        CodePortion *in = list.find_first(contains_address, &c.address);
        CodePortion *reach = list.find_first(reaches_address, &c.address);
        EXPECT_EQ(in ? in->address : -1, c.contains) << std::hex << c.address;
        EXPECT_EQ(reach ? reach->address : -1, c.reaches) << std::hex << c.address;
    }
}

TEST(SplitImageTest, StraddlingPortionIsCutAtTheCodeSize)
{
    PortionList code, data;
    code.append(patterned(0x1000, 0x10));
    code.append(patterned(0x1FF0, 0x20));
    code.append(patterned(0x2100, 0x08));
    split_image(code, data, 0x2000);
    ASSERT_EQ(code.count(), 2);
    expect_patterned(code.first(), 0x1000, 0x10, 0x1000);
    expect_patterned(code.last_portion(), 0x1FF0, 0x10, 0x1FF0);
    ASSERT_EQ(data.count(), 2);
    expect_patterned(data.first(), 0, 0x10, 0x2000);
    expect_patterned(data.last_portion(), 0x100, 0x08, 0x2100);
}

TEST(SplitImageTest, NothingMovesBelowTheSizeAndEverythingMovesAboveIt)
{
    PortionList code, data;
    data.append(patterned(0x40, 4));
    code.append(patterned(0x1FF0, 0x10));  // ends exactly at the size
    split_image(code, data, 0x2000);
    EXPECT_EQ(addresses(code), (std::vector<int32_t>{0x1FF0}));
    EXPECT_EQ(addresses(data), (std::vector<int32_t>{0x40}));

    PortionList high, eeprom;
    high.append(patterned(0x2000, 4));
    high.append(patterned(0x2010, 4));
    split_image(high, eeprom, 0x2000);
    EXPECT_TRUE(high.empty());
    EXPECT_EQ(addresses(eeprom), (std::vector<int32_t>{0, 0x10}));
    expect_patterned(eeprom.last_portion(), 0x10, 4, 0x2010);

    PortionList none, untouched;
    split_image(none, untouched, 0);
    EXPECT_TRUE(untouched.empty());
}

// Overlapping records with equal data leave a short portion inside an earlier,
// longer one; the boundary is judged by the longest, never by the last portion.
TEST(SplitImageTest, PortionInsideALongerOneStaysAndTheLongerOneIsCut)
{
    PortionList code, data;
    code.append(patterned(0x1F00, 0x200));  // 0x1F00..0x20FF crosses the boundary
    code.append(patterned(0x1F10, 0x10));   // repeated inside it
    EXPECT_EQ(code.end(), 0x1F20);
    EXPECT_EQ(code.greatest_end(), 0x2100);
    split_image(code, data, 0x2000);
    EXPECT_EQ(addresses(code), (std::vector<int32_t>{0x1F00, 0x1F10}));
    for (CodePortion *p = code.first(); p; p = code.next_of(p))
        EXPECT_LE(p->end(), 0x2000);
    ASSERT_EQ(data.count(), 1);
    expect_patterned(data.first(), 0, 0x100, 0x2000);
}
