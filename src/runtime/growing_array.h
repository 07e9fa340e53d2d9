// Heap arrays of plain records that double when full. The records move as
// bytes when the array grows, so only records that never point into
// themselves or at each other's addresses belong here.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace kestrel {

// Makes room for one more record after `count`: the array starts with
// `first` records and doubles. False when it cannot grow (the array stays).
template <typename T>
bool RoomForOneMore(T*& items, uint32_t count, uint32_t& capacity, uint32_t first) {
    if (count < capacity) return true;
    const uint64_t grown = capacity == 0 ? first : 2ull * capacity;
    if (grown > UINT32_MAX / sizeof(T)) return false;
    void* moved = std::realloc(static_cast<void*>(items), grown * sizeof(T));
    if (moved == nullptr) return false;
    items = static_cast<T*>(moved);
    capacity = static_cast<uint32_t>(grown);
    return true;
}

}  // namespace kestrel
