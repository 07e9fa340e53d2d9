#include "platform/large_region.h"

#include <sys/mman.h>

#include <cstdint>

namespace kestrel::platform {

void* MapLargeRegion() {
    // Twice the size, so that an aligned region fits; the rest goes back.
    const size_t mapped = 2 * kLargeRegionSize;
    void* address = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<uintptr_t>(address);
    const uintptr_t aligned = (start + kLargeRegionSize - 1) & ~(uintptr_t{kLargeRegionSize} - 1);
    if (aligned > start) munmap(address, aligned - start);
    const uintptr_t end = aligned + kLargeRegionSize;
    if (end < start + mapped) munmap(reinterpret_cast<void*>(end), start + mapped - end);
    auto* region = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    // Only advice: without huge pages the region works the same.
    madvise(region, kLargeRegionSize, MADV_HUGEPAGE);
#endif
    return region;
}

void UnmapLargeRegion(void* region) {
    if (region != nullptr) munmap(region, kLargeRegionSize);
}

}  // namespace kestrel::platform
