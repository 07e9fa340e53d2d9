// NameTable: the string-keyed open-addressing hash table behind every name
// space. The hash is the signed byte sum of the key; a walk gives up after
// four slots of another hash group, and Insert then doubles the table, so
// probes stay short at the price of memory.
#pragma once

#include <cstdint>

namespace kestrel {

struct NameTableEntry;

// Called by NameTable::Destroy with the address of the entry's slot.
using NameTableDestructor = void (*)(NameTableEntry* entry);

struct NameTableEntry {
    const char* key;                 // owned by the caller; null: never used
    void* value;                     // null: free for insertion
    NameTableDestructor destructor;  // may be null
    uint32_t hash;
};

// A value type embedded in its owner: zero until Init, released by Destroy.
struct NameTable {
    NameTableEntry* entries = nullptr;
    uint32_t capacity = 0;  // a power of two, 128 after Init

    // 128 zero-filled slots from the heap; false when the allocation fails.
    bool Init();
    // Stores the entry without looking for an equal key (callers look up
    // first). False only when growing needs memory that is not available; the
    // table is then unchanged.
    bool Insert(const char* key, void* value, NameTableDestructor destructor);
    // The value stored under exactly this key, or null.
    void* Find(const char* key) const;
    // Clears the value and destructor of the matching entry and returns the
    // stored key so that the caller can free it; the destructor is not called.
    // The slot keeps the key pointer but never reads through it again.
    const char* Remove(const char* key);
    // Calls every slot's destructor in slot order, then frees the slots.
    void Destroy();
};

// The signed byte sum of `key` in 32-bit wrap-around arithmetic.
uint32_t NameTableHash(const char* key);

}  // namespace kestrel
