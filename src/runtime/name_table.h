// NameTable: the string-keyed open-addressing hash table behind every name
// space. Keys are hashed 16 bytes at a time with folded 128-bit multiplies
// (NameTableHash); an entry sits at the first free slot at or after its home slot
// (linear probing). The table doubles before the slots holding a key, live
// or removed, would pass three quarters of it, so walks stay a few slots
// long at any size. Slots are allocated with the first entry: an empty table
// costs no memory.
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

// A value type embedded in its owner. A zero table is a valid empty table.
struct NameTable {
    NameTableEntry* entries = nullptr;  // null until the first insertion
    uint32_t capacity = 0;              // slots in `entries`: 0, then 128, doubling
    uint32_t used = 0;                  // slots with a key, removed entries included
    uint32_t live = 0;                  // slots with a value
    uint32_t destructors = 0;           // live slots with a destructor

    // Resets to an empty table; slots come with the first insertion, so this
    // cannot fail (true).
    bool Init();
    // Stores the entry without looking for an equal key (callers look up
    // first). False only when the slots cannot be allocated or grown; the
    // table is then unchanged.
    bool Insert(const char* key, void* value, NameTableDestructor destructor);
    // Doubles the table (from 128 slots) until `count` keys fit without
    // growing again, so that a table about to be filled is not rebuilt on
    // the way. False when the slots cannot be allocated (the table is then
    // unchanged).
    bool Reserve(uint32_t count);
    // The value stored under exactly this key, or null.
    void* Find(const char* key) const;
    // Find and Insert for a key whose NameTableHash is known.
    void* Find(const char* key, uint32_t hash) const;
    bool Insert(const char* key, void* value, NameTableDestructor destructor, uint32_t hash);
    // Asks the processor to fetch the home slot of `hash`, for a caller that
    // looks up several keys and can start them all before waiting on one.
    void Prefetch(uint32_t hash) const;
    // Clears the value and destructor of the matching entry and returns the
    // stored key so that the caller can free it; the destructor is not called.
    // The slot keeps the key pointer but never reads through it again.
    const char* Remove(const char* key);
    // Calls every slot's destructor in slot order, then frees the slots (a
    // table whose entries have no destructor is not walked).
    void Destroy();
};

// The hash of a NUL-terminated key.
uint32_t NameTableHash(const char* key);

}  // namespace kestrel
