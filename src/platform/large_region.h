// Large regions of zero-filled memory, for allocators that carve many small
// pieces out of big chunks. The system may back such a region with huge
// pages, so that touching it costs one page fault instead of one per 4 KiB.
#pragma once

#include <cstddef>

namespace kestrel::platform {

inline constexpr size_t kLargeRegionSize = size_t{2} << 20;

// kLargeRegionSize read-write bytes aligned to their size; null when the
// system refuses.
void* MapLargeRegion();

// Gives back a region from MapLargeRegion.
void UnmapLargeRegion(void* region);

}  // namespace kestrel::platform
