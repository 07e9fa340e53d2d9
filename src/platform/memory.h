// Whole regions of zero-filled, read-write memory straight from the system,
// for the pools that manage their own 64 KiB blocks and pages.
#pragma once

#include <cstddef>

namespace kestrel::platform {

// Maps `size` bytes of zero-filled read-write memory. Null on failure, with
// the system's code in `error`.
void* MapMemory(size_t size, int& error);

// Gives back a region from MapMemory; `size` is the size it was mapped with.
void UnmapMemory(void* address, size_t size);

}  // namespace kestrel::platform
