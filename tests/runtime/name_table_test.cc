#include "runtime/name_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace kestrel {
namespace {

// A table that is destroyed even when an assertion ends the test early.
struct TableHolder {
    NameTable table;
    TableHolder() { EXPECT_TRUE(table.Init()); }
    ~TableHolder() { table.Destroy(); }
};

// Keys of a large source tree, dirA/subB/fileC.c, all in one buffer so that a
// million of them cost one allocation.
struct PathKeys {
    std::vector<char> text;
    std::vector<uint32_t> starts;

    explicit PathKeys(uint32_t count) {
        char key[64];
        for (uint32_t i = 0; i < count; ++i) {
            const int length = std::snprintf(key, sizeof key, "dir%u/sub%u/file%u.c", i / 1000, i / 100 % 10, i % 100);
            starts.push_back(static_cast<uint32_t>(text.size()));
            text.insert(text.end(), key, key + length + 1);
        }
    }
    const char* operator[](size_t i) const { return text.data() + starts[i]; }
    size_t size() const { return starts.size(); }
};

// `count` keys "tagN" whose hashes share the low `bits` bits with `model`'s.
std::vector<std::string> KeysWithHomeOf(const char* model, uint32_t bits, size_t count) {
    const uint32_t mask = (1u << bits) - 1;
    const uint32_t home = NameTableHash(model) & mask;
    std::vector<std::string> keys;
    for (uint32_t i = 0; keys.size() < count; ++i) {
        std::string key = "tag" + std::to_string(i);
        if ((NameTableHash(key.c_str()) & mask) == home && key != model) keys.push_back(key);
    }
    return keys;
}

// The byte-sum hash gave keys like these a few hundred values in all; every
// bit of the hash must now depend on every byte.
TEST(NameTableTest, HashSpreadsPathKeysOverSlots) {
    const PathKeys keys(100000);
    std::unordered_set<uint32_t> hashes, lowBits, highBits;
    for (size_t i = 0; i < keys.size(); ++i) {
        const uint32_t hash = NameTableHash(keys[i]);
        hashes.insert(hash);
        lowBits.insert(hash & 0xFFFF);
        highBits.insert(hash >> 16);
    }
    // 100,000 random 32-bit values collide about once; random 16-bit values
    // take about 51,900 of the 65,536.
    EXPECT_GE(hashes.size(), 99990u);
    EXPECT_GE(lowBits.size(), 50000u);
    EXPECT_GE(highBits.size(), 50000u);
    // Every key length from 0 to 40 takes its own path through the hash.
    std::unordered_set<uint32_t> prefixes;
    const std::string longKey = "src/module17/deeper/still/file_name_long.c";
    for (size_t length = 0; length <= 40; ++length) prefixes.insert(NameTableHash(longKey.substr(0, length).c_str()));
    EXPECT_EQ(prefixes.size(), 41u);
}

TEST(NameTableTest, KeysWithEqualHashesAreKeptApart) {
    // Two distinct keys whose full 32-bit hashes are equal, found by search.
    std::unordered_map<uint32_t, std::string> seen;
    std::string first, second;
    for (uint32_t i = 0; first.empty(); ++i) {
        std::string key = "k" + std::to_string(i);
        auto [at, added] = seen.emplace(NameTableHash(key.c_str()), key);
        if (!added) {
            first = at->second;
            second = key;
        }
    }
    TableHolder holder;
    NameTable& table = holder.table;
    int one = 1, two = 2;
    ASSERT_TRUE(table.Insert(first.c_str(), &one, nullptr));
    EXPECT_EQ(table.Find(second.c_str()), nullptr);
    ASSERT_TRUE(table.Insert(second.c_str(), &two, nullptr));
    EXPECT_EQ(table.Find(first.c_str()), &one);
    EXPECT_EQ(table.Find(second.c_str()), &two);
    EXPECT_EQ(table.Remove(first.c_str()), first.c_str());
    EXPECT_EQ(table.Find(first.c_str()), nullptr);
    EXPECT_EQ(table.Find(second.c_str()), &two);
    // Keys are compared exactly.
    EXPECT_EQ(table.Find("K0"), nullptr);
    EXPECT_EQ(table.Find((second + " ").c_str()), nullptr);
}

TEST(NameTableTest, EmptyTableHasNoSlots) {
    NameTable table;
    EXPECT_TRUE(table.Init());
    EXPECT_EQ(table.entries, nullptr);
    EXPECT_EQ(table.capacity, 0u);
    EXPECT_EQ(table.Find("a"), nullptr);
    EXPECT_EQ(table.Remove("a"), nullptr);
    table.Destroy();
    // A zero table is an empty table too, and the first entry brings 128 slots.
    NameTable zero{};
    int value = 0;
    ASSERT_TRUE(zero.Insert("a", &value, nullptr));
    EXPECT_EQ(zero.capacity, 128u);
    EXPECT_EQ(zero.Find("a"), &value);
    zero.Destroy();
    EXPECT_EQ(zero.entries, nullptr);
}

TEST(NameTableTest, RemovedKeyIsGoneAndItsSlotIsReused) {
    TableHolder holder;
    NameTable& table = holder.table;
    int one = 1, two = 2, three = 3;
    // "ab" and `neighbour` share a home slot among 128, so the neighbour sits
    // behind "ab". The removed key is freed by its owner; the walk must step
    // over the slot without reading it (AddressSanitizer would catch a read).
    const std::string neighbour = KeysWithHomeOf("ab", 7, 1)[0];
    char* removable = strdup("ab");
    ASSERT_TRUE(table.Insert(removable, &one, nullptr));
    ASSERT_TRUE(table.Insert(neighbour.c_str(), &two, nullptr));
    ASSERT_EQ(table.capacity, 128u);
    const uint32_t home = NameTableHash("ab") % table.capacity;
    EXPECT_EQ(table.entries[home].value, &one);
    EXPECT_EQ(table.entries[(home + 1) % table.capacity].value, &two);

    EXPECT_EQ(table.Remove("ab"), removable);
    std::free(removable);
    EXPECT_EQ(table.Find("ab"), nullptr);
    EXPECT_EQ(table.Find(neighbour.c_str()), &two);  // found past the removed entry
    EXPECT_EQ(table.Remove("ab"), nullptr);

    ASSERT_TRUE(table.Insert("ab", &three, nullptr));
    EXPECT_EQ(table.entries[home].value, &three);
    EXPECT_EQ(table.Find("ab"), &three);
    EXPECT_EQ(table.capacity, 128u);
}

TEST(NameTableTest, KeysOfOneHomeSlotStayFindableThroughGrowth) {
    // 200 keys with one home slot among 1024: a run of 200 slots at 128 and
    // 256 slots, spread again by every doubling.
    TableHolder holder;
    NameTable& table = holder.table;
    std::vector<std::string> keys = KeysWithHomeOf("home", 10, 200);
    for (std::string& key : keys) ASSERT_TRUE(table.Insert(key.c_str(), &key, nullptr));
    for (std::string& key : keys) EXPECT_EQ(table.Find(key.c_str()), &key) << key;
    // A miss with the same home slot walks the run and stops at its end.
    EXPECT_EQ(table.Find("home"), nullptr);
    EXPECT_EQ(table.capacity, 512u);
}

TEST(NameTableTest, TableDoublesBeforeThreeQuartersOfItsSlotsHoldKeys) {
    TableHolder holder;
    NameTable& table = holder.table;
    const PathKeys keys(1000);
    std::vector<uint32_t> capacityAfter;
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(table.Insert(keys[i], const_cast<char*>(keys[i]), nullptr));
        capacityAfter.push_back(table.capacity);
    }
    EXPECT_EQ(capacityAfter[95], 128u);   // 96 keys fill three quarters of 128
    EXPECT_EQ(capacityAfter[96], 256u);
    EXPECT_EQ(capacityAfter[767], 1024u);
    EXPECT_EQ(capacityAfter[768], 2048u);
    for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(table.Find(keys[i]), keys[i]);
}

TEST(NameTableTest, ReservedRoomIsFilledWithoutGrowing) {
    TableHolder holder;
    NameTable& table = holder.table;
    const PathKeys keys(1500);
    ASSERT_TRUE(table.Reserve(1000));
    EXPECT_EQ(table.capacity, 2048u);  // 1024 slots take 768 keys
    for (size_t i = 0; i < 1000; ++i) ASSERT_TRUE(table.Insert(keys[i], const_cast<char*>(keys[i]), nullptr));
    EXPECT_EQ(table.capacity, 2048u);
    // Reserving more in a filled table moves what it holds.
    ASSERT_TRUE(table.Reserve(1500));
    EXPECT_EQ(table.capacity, 2048u);
    ASSERT_TRUE(table.Reserve(4000));
    EXPECT_EQ(table.capacity, 8192u);
    for (size_t i = 1000; i < keys.size(); ++i) ASSERT_TRUE(table.Insert(keys[i], const_cast<char*>(keys[i]), nullptr));
    for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(table.Find(keys[i]), keys[i]);
}

TEST(NameTableTest, RemovingAndInsertingDoesNotGrowTheTable) {
    // Removed entries keep their key and count against the load, so a table
    // that keeps exchanging keys is rebuilt at its own size instead of growing.
    TableHolder holder;
    NameTable& table = holder.table;
    const PathKeys keys(20000);
    for (size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(table.Insert(keys[i], const_cast<char*>(keys[i]), nullptr));
        if (i >= 10) {
            ASSERT_EQ(table.Remove(keys[i - 10]), keys[i - 10]);
        }
    }
    EXPECT_EQ(table.live, 10u);
    EXPECT_EQ(table.capacity, 128u);
    for (size_t i = 0; i < keys.size(); ++i)
        ASSERT_EQ(table.Find(keys[i]), i + 10 >= keys.size() ? keys[i] : nullptr) << keys[i];
}

TEST(NameTableTest, MillionPathKeysAreFoundAndHalfRemoved) {
    const PathKeys keys(1000000);
    TableHolder holder;
    NameTable& table = holder.table;
    for (size_t i = 0; i < keys.size(); ++i) ASSERT_TRUE(table.Insert(keys[i], const_cast<char*>(keys[i]), nullptr));
    EXPECT_EQ(table.capacity, 2097152u);
    size_t found = 0;
    for (size_t i = 0; i < keys.size(); ++i) found += table.Find(keys[i]) == keys[i];
    EXPECT_EQ(found, keys.size());
    for (size_t i = 0; i < keys.size(); i += 2) ASSERT_EQ(table.Remove(keys[i]), keys[i]);
    size_t right = 0;
    for (size_t i = 0; i < keys.size(); ++i) right += table.Find(keys[i]) == (i % 2 == 0 ? nullptr : keys[i]);
    EXPECT_EQ(right, keys.size());
    EXPECT_EQ(table.Find("dir1000/sub0/file0.c"), nullptr);
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
