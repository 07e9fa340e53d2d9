#include "runtime/name_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kestrel {
namespace {

// A table that is destroyed even when an assertion ends the test early.
struct TableHolder {
    NameTable table;
    TableHolder() { EXPECT_TRUE(table.Init()); }
    ~TableHolder() { table.Destroy(); }
};

// A distinct key whose bytes add up to `sum`: a decimal tag, then filler.
std::string KeyWithSum(int32_t sum, uint32_t tag) {
    std::string key = std::to_string(tag) + "-";
    int32_t rest = sum;
    for (char c : key) rest -= c;
    while (rest > 127) {
        key += '\x7f';
        rest -= 127;
    }
    if (rest > 0) key += static_cast<char>(rest);
    EXPECT_EQ(NameTableHash(key.c_str()), static_cast<uint32_t>(sum)) << key;
    return key;
}

TEST(NameTableTest, HashIsTheSignedByteSum) {
    EXPECT_EQ(NameTableHash(""), 0u);
    EXPECT_EQ(NameTableHash("ab"), 195u);
    // Bytes from 0x80 count as negative.
    EXPECT_EQ(NameTableHash("\xff"), 0xFFFFFFFFu);
    EXPECT_EQ(NameTableHash("a\x80"), static_cast<uint32_t>(97 - 128));
}

TEST(NameTableTest, KeysWithEqualByteSumsAreKeptApart) {
    TableHolder holder;
    NameTable& table = holder.table;
    int first = 1, second = 2;
    ASSERT_TRUE(table.Insert("ab", &first, nullptr));
    ASSERT_TRUE(table.Insert("ba", &second, nullptr));
    EXPECT_EQ(table.Find("ab"), &first);
    EXPECT_EQ(table.Find("ba"), &second);
    // Same sum, never inserted; and keys are compared exactly.
    EXPECT_EQ(table.Find("`c"), nullptr);
    EXPECT_EQ(table.Find("AB"), nullptr);
    EXPECT_EQ(table.Find("ab "), nullptr);
}

TEST(NameTableTest, RemovedKeyIsGoneAndItsSlotIsReused) {
    TableHolder holder;
    NameTable& table = holder.table;
    int one = 1, two = 2, three = 3;
    // The removed key is freed by its owner; the walk must step over the slot
    // without reading it (AddressSanitizer would catch a read).
    char* removable = strdup("ab");
    ASSERT_TRUE(table.Insert(removable, &one, nullptr));
    ASSERT_TRUE(table.Insert("ba", &two, nullptr));
    const uint32_t home = NameTableHash("ab") % table.capacity;
    EXPECT_EQ(table.entries[home].value, &one);

    EXPECT_EQ(table.Remove("ab"), removable);
    std::free(removable);
    EXPECT_EQ(table.Find("ab"), nullptr);
    EXPECT_EQ(table.Find("ba"), &two);  // found past the removed entry
    EXPECT_EQ(table.Remove("ab"), nullptr);

    ASSERT_TRUE(table.Insert("ab", &three, nullptr));
    EXPECT_EQ(table.entries[home].value, &three);
    EXPECT_EQ(table.Find("ab"), &three);
    EXPECT_EQ(table.capacity, 128u);
}

TEST(NameTableTest, KeysOfOneHomeSlotInManyGroupsGrowTheTable) {
    TableHolder holder;
    NameTable& table = holder.table;
    std::vector<std::string> keys;
    for (uint32_t group = 3; group < 203; ++group) keys.push_back(KeyWithSum(static_cast<int32_t>(5 + 128 * group), group));
    for (std::string& key : keys) ASSERT_TRUE(table.Insert(key.c_str(), &key, nullptr));
    EXPECT_GT(table.capacity, 128u);
    for (std::string& key : keys) EXPECT_EQ(table.Find(key.c_str()), &key) << key;
    EXPECT_EQ(table.Find(KeyWithSum(5 + 128 * 250, 250).c_str()), nullptr);
}

TEST(NameTableTest, TableFullOfOneByteSumStillGrows) {
    // Every key has the same sum, so no walk ever meets a foreign slot: the
    // table must still grow once all 128 slots hold a value.
    TableHolder holder;
    NameTable& table = holder.table;
    std::vector<std::string> keys;
    for (char a = 'a'; a <= 'z'; ++a)
        for (char b = 'a'; b <= 'z'; ++b) {
            const int c = 3 * 'm' - a - b;
            if (c >= 'a' && c <= 'z') keys.push_back(std::string{a, b, static_cast<char>(c)});
        }
    ASSERT_GT(keys.size(), 300u);
    for (std::string& key : keys) ASSERT_TRUE(table.Insert(key.c_str(), &key, nullptr));
    EXPECT_GE(table.capacity, 512u);
    for (std::string& key : keys) EXPECT_EQ(table.Find(key.c_str()), &key) << key;
    EXPECT_EQ(table.Find("zzz"), nullptr);
}

TEST(NameTableTest, SourcePathKeysStayFindableAfterGrowth) {
    TableHolder holder;
    NameTable& table = holder.table;
    std::vector<std::string> keys;
    for (int dir = 0; dir < 20; ++dir)
        for (int file = 0; file < 100; ++file)
            keys.push_back("dir" + std::to_string(dir) + "/sub" + std::to_string(file % 7) + "/file" +
                           std::to_string(file) + ".c");
    for (std::string& key : keys) ASSERT_TRUE(table.Insert(key.c_str(), &key, nullptr));
    for (std::string& key : keys) ASSERT_EQ(table.Find(key.c_str()), &key) << key;
    for (size_t i = 0; i < keys.size(); i += 2) ASSERT_EQ(table.Remove(keys[i].c_str()), keys[i].c_str());
    for (size_t i = 0; i < keys.size(); ++i)
        EXPECT_EQ(table.Find(keys[i].c_str()), i % 2 == 0 ? nullptr : &keys[i]) << keys[i];
}

struct DestructorLog {
    std::vector<const NameTableEntry*> slots;
    std::vector<int> calls;
};
DestructorLog* gLog = nullptr;

void CountingDestructor(NameTableEntry* entry) {
    gLog->slots.push_back(entry);
    ++gLog->calls[static_cast<size_t>(*static_cast<int*>(entry->value))];
}

TEST(NameTableTest, DestroyCallsEachLiveDestructorOnceInSlotOrder) {
    DestructorLog log;
    gLog = &log;
    constexpr int kCount = 600;
    log.calls.assign(kCount, 0);
    std::vector<int> ids(kCount);
    std::vector<std::string> keys;
    for (int i = 0; i < kCount; ++i) keys.push_back("key" + std::to_string(i));
    NameTable table;
    ASSERT_TRUE(table.Init());
    for (int i = 0; i < kCount; ++i) {
        ids[static_cast<size_t>(i)] = i;
        ASSERT_TRUE(table.Insert(keys[static_cast<size_t>(i)].c_str(), &ids[static_cast<size_t>(i)], CountingDestructor));
    }
    for (int i = 0; i < kCount; i += 3) ASSERT_NE(table.Remove(keys[static_cast<size_t>(i)].c_str()), nullptr);
    table.Destroy();
    gLog = nullptr;

    for (int i = 0; i < kCount; ++i) EXPECT_EQ(log.calls[static_cast<size_t>(i)], i % 3 == 0 ? 0 : 1) << i;
    for (size_t i = 1; i < log.slots.size(); ++i) EXPECT_LT(log.slots[i - 1], log.slots[i]);
    EXPECT_EQ(table.entries, nullptr);
}

}  // namespace
}  // namespace kestrel
