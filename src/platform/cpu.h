// What the processor offers beyond standard C++, behind portable names: a
// 64-by-64-bit multiply's full product, a hint to fetch memory early, and the
// number of cores. The first two are inline so that the hot paths of the name
// tables inline them.
#pragma once

#include <cstdint>

#if defined(_MSC_VER)
#include <intrin.h>
#endif

namespace kestrel::platform {

// The 128-bit product of `a` and `b`, its two halves folded into one.
inline uint64_t MultiplyFold(uint64_t a, uint64_t b) {
#if defined(__SIZEOF_INT128__)
    const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
    return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
#elif defined(_MSC_VER) && defined(_M_X64)
    uint64_t high = 0;
    const uint64_t low = _umul128(a, b, &high);
    return low ^ high;
#else
    const uint64_t aLow = a & 0xffffffffu, aHigh = a >> 32, bLow = b & 0xffffffffu, bHigh = b >> 32;
    const uint64_t lowLow = aLow * bLow, lowHigh = aLow * bHigh, highLow = aHigh * bLow, highHigh = aHigh * bHigh;
    const uint64_t middle = (lowLow >> 32) + (lowHigh & 0xffffffffu) + (highLow & 0xffffffffu);
    const uint64_t low = (lowLow & 0xffffffffu) | (middle << 32);
    const uint64_t high = highHigh + (lowHigh >> 32) + (highLow >> 32) + (middle >> 32);
    return low ^ high;
#endif
}

// The cores this process may run on (at least 1).
uint32_t ProcessorCount();

// Starts fetching the memory at `address` into the cache; a hint only.
inline void Prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(address);
#else
    (void)address;
#endif
}

}  // namespace kestrel::platform
