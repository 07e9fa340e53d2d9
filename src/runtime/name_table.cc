#include "runtime/name_table.h"

#include <cstdlib>
#include <cstring>

namespace kestrel {

namespace {

constexpr uint32_t kInitialCapacity = 128;
// A walk ends when it meets this many slots of other groups.
constexpr uint32_t kForeignLimit = 4;
// Doubling beyond this would overflow the 32-bit capacity.
constexpr uint32_t kLargestCapacity = 0x80000000u;

// The slot where an insertion walk for `hash` stops, or `capacity` when the
// walk meets its fourth foreign slot. A walk also ends after passing every
// slot once: a table full of one group (keys of equal byte sums) has no
// foreign slot to stop it.
uint32_t InsertionSlot(const NameTableEntry* entries, uint32_t capacity, uint32_t hash) {
    const uint32_t mask = capacity - 1;
    const uint32_t group = hash & ~mask;
    uint32_t slot = hash & mask;
    uint32_t foreign = 0;
    for (uint32_t passed = 0; passed < capacity; ++passed) {
        const NameTableEntry& entry = entries[slot];
        if (entry.value == nullptr) return slot;
        if ((entry.hash & ~mask) != group && ++foreign == kForeignLimit) return capacity;
        slot = (slot + 1) & mask;
    }
    return capacity;
}

// The slot that holds `key` with a value, or `capacity`. Removed entries keep
// their key and are walked past; their key is never read, since the caller
// may have freed it.
uint32_t MatchingSlot(const NameTableEntry* entries, uint32_t capacity, const char* key, uint32_t hash) {
    const uint32_t mask = capacity - 1;
    const uint32_t group = hash & ~mask;
    uint32_t slot = hash & mask;
    uint32_t foreign = 0;
    for (uint32_t passed = 0; passed < capacity; ++passed) {
        const NameTableEntry& entry = entries[slot];
        if (entry.key == nullptr) return capacity;
        if ((entry.hash & ~mask) != group) {
            if (++foreign == kForeignLimit) return capacity;
        } else if (entry.value != nullptr && entry.hash == hash && std::strcmp(entry.key, key) == 0) {
            return slot;
        }
        slot = (slot + 1) & mask;
    }
    return capacity;
}

// Moves every live entry into a larger array, doubling again whenever an
// entry's walk meets a fourth foreign slot. The table is untouched on failure.
bool Grow(NameTable& table) {
    uint32_t capacity = table.capacity;
    for (;;) {
        if (capacity >= kLargestCapacity) return false;
        capacity *= 2;
        auto* fresh = static_cast<NameTableEntry*>(std::calloc(capacity, sizeof(NameTableEntry)));
        if (fresh == nullptr) return false;
        bool placed = true;
        for (uint32_t i = 0; i < table.capacity && placed; ++i) {
            const NameTableEntry& entry = table.entries[i];
            if (entry.value == nullptr) continue;
            const uint32_t slot = InsertionSlot(fresh, capacity, entry.hash);
            if (slot == capacity)
                placed = false;
            else
                fresh[slot] = entry;
        }
        if (placed) {
            std::free(table.entries);
            table.entries = fresh;
            table.capacity = capacity;
            return true;
        }
        std::free(fresh);
    }
}

}  // namespace

uint32_t NameTableHash(const char* key) {
    uint32_t sum = 0;
    for (const char* p = key; *p != '\0'; ++p)
        sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*p)));
    return sum;
}

bool NameTable::Init() {
    entries = static_cast<NameTableEntry*>(std::calloc(kInitialCapacity, sizeof(NameTableEntry)));
    if (entries == nullptr) return false;
    capacity = kInitialCapacity;
    return true;
}

bool NameTable::Insert(const char* key, void* value, NameTableDestructor destructor) {
    if (entries == nullptr) return false;
    const uint32_t hash = NameTableHash(key);
    for (;;) {
        const uint32_t slot = InsertionSlot(entries, capacity, hash);
        if (slot != capacity) {
            entries[slot] = NameTableEntry{key, value, destructor, hash};
            return true;
        }
        if (!Grow(*this)) return false;
    }
}

void* NameTable::Find(const char* key) const {
    if (entries == nullptr) return nullptr;
    const uint32_t slot = MatchingSlot(entries, capacity, key, NameTableHash(key));
    return slot == capacity ? nullptr : entries[slot].value;
}

const char* NameTable::Remove(const char* key) {
    if (entries == nullptr) return nullptr;
    const uint32_t slot = MatchingSlot(entries, capacity, key, NameTableHash(key));
    if (slot == capacity) return nullptr;
    NameTableEntry& entry = entries[slot];
    entry.value = nullptr;
    entry.destructor = nullptr;
    return entry.key;
}

void NameTable::Destroy() {
    for (uint32_t i = 0; i < capacity; ++i)
        if (entries[i].destructor != nullptr) entries[i].destructor(&entries[i]);
    std::free(entries);
    entries = nullptr;
    capacity = 0;
}

}  // namespace kestrel
