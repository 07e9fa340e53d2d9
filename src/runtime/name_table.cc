#include "runtime/name_table.h"

#include <cstdlib>
#include <cstring>

#include "platform/cpu.h"

namespace kestrel {

namespace {

constexpr uint32_t kInitialCapacity = 128;
// Doubling beyond this would overflow the 32-bit capacity.
constexpr uint32_t kLargestCapacity = 0x80000000u;

// At most three quarters of the slots hold a key: a linear-probing walk then
// passes 2.5 slots on average to find a key and 8.5 to miss one.
constexpr uint32_t UsedLimit(uint32_t capacity) { return capacity - capacity / 4; }

// The slot where an insertion walk for `hash` stops: the first without a value.
// The load limit guarantees there is one.
uint32_t InsertionSlot(const NameTableEntry* entries, uint32_t capacity, uint32_t hash) {
    const uint32_t mask = capacity - 1;
    uint32_t slot = hash & mask;
    while (entries[slot].value != nullptr) slot = (slot + 1) & mask;
    return slot;
}

// The slot that holds `key` with a value, or `capacity`. The walk ends at the
// first slot that never held a key. Removed entries keep their key and are
// walked past; their key is never read, since the caller may have freed it.
uint32_t MatchingSlot(const NameTableEntry* entries, uint32_t capacity, const char* key, uint32_t hash) {
    const uint32_t mask = capacity - 1;
    for (uint32_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const NameTableEntry& entry = entries[slot];
        if (entry.key == nullptr) return capacity;
        if (entry.hash == hash && entry.value != nullptr && std::strcmp(entry.key, key) == 0) return slot;
    }
}

// Moves every live entry into a new array of `capacity` slots; removed entries
// are dropped. The table is untouched when the array cannot be allocated.
bool Rebuild(NameTable& table, uint32_t capacity) {
    auto* fresh = static_cast<NameTableEntry*>(std::calloc(capacity, sizeof(NameTableEntry)));
    if (fresh == nullptr) return false;
    for (uint32_t i = 0; i < table.capacity; ++i) {
        const NameTableEntry& entry = table.entries[i];
        if (entry.value != nullptr) fresh[InsertionSlot(fresh, capacity, entry.hash)] = entry;
    }
    std::free(table.entries);
    table.entries = fresh;
    table.capacity = capacity;
    table.used = table.live;
    return true;
}

// Room for one more key. The slots come with the first entry; a full table
// doubles, unless removed entries fill most of it, when rebuilding it at its
// size is enough.
bool MakeRoom(NameTable& table) {
    if (table.entries == nullptr) {
        table.entries = static_cast<NameTableEntry*>(std::calloc(kInitialCapacity, sizeof(NameTableEntry)));
        if (table.entries == nullptr) return false;
        table.capacity = kInitialCapacity;
        table.used = table.live = 0;
        return true;
    }
    if (table.used < UsedLimit(table.capacity)) return true;
    if (table.live < UsedLimit(table.capacity) / 2) return Rebuild(table, table.capacity);
    if (table.capacity >= kLargestCapacity) return false;
    return Rebuild(table, table.capacity * 2);
}

uint64_t Load64(const unsigned char* bytes) {
    uint64_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

uint64_t Load32(const unsigned char* bytes) {
    uint32_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}


constexpr uint64_t kSeed = 0xa0761d6478bd642full;
constexpr uint64_t kSpread = 0xe7037ed1a0b428dbull;

}  // namespace

// Sixteen bytes a round, each round one 128-bit multiply whose halves are
// folded together, so every key byte reaches every bit of the result: the
// low bits choose the home slot. Keys of up to 16 bytes, most names and many
// paths, take two multiplies after their length is known.
uint32_t NameTableHash(const char* key) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(key);
    const size_t length = std::strlen(key);
    uint64_t state = kSeed ^ length;
    uint64_t a = 0;
    uint64_t b = 0;
    if (length <= 16) {
        if (length >= 4) {
            // Two overlapping pairs of 4-byte loads cover 4 to 16 bytes.
            const size_t quarter = (length >> 3) << 2;
            a = (Load32(bytes) << 32) | Load32(bytes + quarter);
            b = (Load32(bytes + length - 4) << 32) | Load32(bytes + length - 4 - quarter);
        } else if (length > 0) {
            a = (static_cast<uint64_t>(bytes[0]) << 16) | (static_cast<uint64_t>(bytes[length >> 1]) << 8) |
                bytes[length - 1];
        }
    } else {
        size_t left = length;
        for (; left > 16; left -= 16, bytes += 16) state = platform::MultiplyFold(Load64(bytes) ^ kSpread, Load64(bytes + 8) ^ state);
        // The last 16 bytes, overlapping the previous round when the length is not a multiple.
        a = Load64(bytes + left - 16);
        b = Load64(bytes + left - 8);
    }
    const uint64_t hash = platform::MultiplyFold(kSpread ^ length, platform::MultiplyFold(a ^ kSpread, b ^ state));
    return static_cast<uint32_t>(hash ^ (hash >> 32));
}

bool NameTable::Init() {
    *this = NameTable{};
    return true;
}

bool NameTable::Reserve(uint32_t count) {
    uint32_t wanted = capacity != 0 ? capacity : kInitialCapacity;
    while (UsedLimit(wanted) < count) {
        if (wanted >= kLargestCapacity) return false;
        wanted *= 2;
    }
    if (entries == nullptr) {
        entries = static_cast<NameTableEntry*>(std::calloc(wanted, sizeof(NameTableEntry)));
        if (entries == nullptr) return false;
        capacity = wanted;
        used = live = 0;
        return true;
    }
    return wanted == capacity || Rebuild(*this, wanted);
}

bool NameTable::Insert(const char* key, void* value, NameTableDestructor destructor) {
    return Insert(key, value, destructor, NameTableHash(key));
}

bool NameTable::Insert(const char* key, void* value, NameTableDestructor destructor, uint32_t hash) {
    if (!MakeRoom(*this)) return false;
    NameTableEntry& entry = entries[InsertionSlot(entries, capacity, hash)];
    if (entry.key == nullptr) ++used;
    ++live;
    if (destructor != nullptr) ++destructors;
    entry = NameTableEntry{key, value, destructor, hash};
    return true;
}

void* NameTable::Find(const char* key) const { return Find(key, NameTableHash(key)); }

void* NameTable::Find(const char* key, uint32_t hash) const {
    if (entries == nullptr) return nullptr;
    const uint32_t slot = MatchingSlot(entries, capacity, key, hash);
    return slot == capacity ? nullptr : entries[slot].value;
}

void NameTable::Prefetch(uint32_t hash) const {
    if (entries != nullptr) platform::Prefetch(&entries[hash & (capacity - 1)]);
}

const char* NameTable::Remove(const char* key) {
    if (entries == nullptr) return nullptr;
    const uint32_t slot = MatchingSlot(entries, capacity, key, NameTableHash(key));
    if (slot == capacity) return nullptr;
    NameTableEntry& entry = entries[slot];
    if (entry.destructor != nullptr) --destructors;
    entry.value = nullptr;
    entry.destructor = nullptr;
    --live;
    return entry.key;
}

void NameTable::Destroy() {
    for (uint32_t i = 0; i < capacity && destructors != 0; ++i)
        if (entries[i].destructor != nullptr) entries[i].destructor(&entries[i]);
    std::free(entries);
    *this = NameTable{};
}

}  // namespace kestrel
