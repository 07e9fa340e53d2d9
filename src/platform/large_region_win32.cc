#include "platform/large_region.h"

#include <windows.h>

#include <cstdint>

namespace kestrel::platform {

namespace {

// Another thread may reserve the chosen range between our release and our
// own reservation; then a new range is chosen.
constexpr int kPlacementAttempts = 8;

void* CommitRegion(void* address) {
    return VirtualAlloc(address, kLargeRegionSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

}  // namespace

void* MapLargeRegion() {
    // The system places reservations on 64 KiB boundaries only. Reserving
    // twice the size finds a free range that holds an aligned region; that
    // reservation goes back and the aligned part is taken alone, since a
    // part of a reservation cannot be released.
    for (int attempt = 0; attempt < kPlacementAttempts; ++attempt) {
        void* probe = VirtualAlloc(nullptr, 2 * kLargeRegionSize, MEM_RESERVE, PAGE_NOACCESS);
        if (probe == nullptr) return nullptr;
        const auto start = reinterpret_cast<uintptr_t>(probe);
        const uintptr_t aligned = (start + kLargeRegionSize - 1) & ~(uintptr_t{kLargeRegionSize} - 1);
        VirtualFree(probe, 0, MEM_RELEASE);
        if (void* region = CommitRegion(reinterpret_cast<void*>(aligned))) return region;
    }
    return nullptr;
}

void UnmapLargeRegion(void* region) {
    if (region != nullptr) VirtualFree(region, 0, MEM_RELEASE);
}

}  // namespace kestrel::platform
