#include "scheduler/case_fold.h"

#include "platform/case_mapping.h"
#include "runtime/utf8.h"

#include <cstring>

namespace kestrel {

namespace {

// `count` code points from `first`, `stride` apart, each mapped to itself + `delta`.
struct CaseRun {
    uint32_t first;
    uint16_t count;
    uint8_t stride;
    int32_t delta;
};

constexpr CaseRun kLowerRuns[] = {
#include "scheduler/case_table.inc"
};

constexpr uint32_t kRunCount = sizeof(kLowerRuns) / sizeof(kLowerRuns[0]);

// Eight ASCII bytes at once: each of 'A' to 'Z' gains 0x20. A byte's own
// high bit (7 bits plus an offset never carry into the next byte) tells
// whether it is at least 'A' and whether it is above 'Z'. False, with nothing
// written, when a byte is not ASCII.
bool FoldAsciiWord(const uint8_t* in, uint8_t* out) {
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    uint64_t word;
    std::memcpy(&word, in, sizeof word);
    if ((word & kHighBits) != 0) return false;
    const uint64_t atLeastA = word + 0x3f3f3f3f3f3f3f3full;   // 0x80 - 'A'
    const uint64_t aboveZ = word + 0x2525252525252525ull;     // 0x7f - 'Z'
    const uint64_t upper = atLeastA & ~aboveZ & kHighBits;
    word |= upper >> 2;
    std::memcpy(out, &word, sizeof word);
    return true;
}

}  // namespace

const char* CaseTableUnicodeVersion() { return KESTREL_CASE_TABLE_UNICODE; }

uint32_t LowerCodePoint(uint32_t codePoint) {
    // The last run that starts at or before the code point.
    uint32_t low = 0;
    uint32_t high = kRunCount;
    while (low < high) {
        const uint32_t middle = (low + high) / 2;
        if (kLowerRuns[middle].first <= codePoint)
            low = middle + 1;
        else
            high = middle;
    }
    if (low == 0) return codePoint;
    const CaseRun& run = kLowerRuns[low - 1];
    const uint32_t offset = codePoint - run.first;
    if (offset % run.stride != 0 || offset / run.stride >= run.count) return codePoint;
    return static_cast<uint32_t>(static_cast<int32_t>(codePoint) + run.delta);
}

uint32_t FoldCase(const char* text, uint32_t length, char* out) {
    const auto* in = reinterpret_cast<const uint8_t*>(text);
    auto* to = reinterpret_cast<uint8_t*>(out);
    uint32_t written = 0;
    uint32_t at = 0;
    while (at < length) {
        if (length - at >= 8 && FoldAsciiWord(in + at, to + written)) {
            at += 8;
            written += 8;
            continue;
        }
        const uint8_t b = in[at];
        if (b < 0x80) {
            to[written++] = b >= 'A' && b <= 'Z' ? static_cast<uint8_t>(b + 32) : b;
            ++at;
            continue;
        }
        // Beyond ASCII the system's own rules decide, where it has them.
        uint32_t mapped = 0;
        const uint32_t rest = length - at;
        if (platform::SystemLowerCase(text + at, rest, out + written, static_cast<uint32_t>(FoldedRoom(rest)), mapped))
            return written + mapped;
        uint32_t codePoint = 0;
        const uint32_t sequence = DecodeUtf8(in + at, rest, codePoint);
        if (sequence == 0) {
            to[written++] = b;
            ++at;
            continue;
        }
        written += EncodeUtf8(LowerCodePoint(codePoint), to + written);
        at += sequence;
    }
    return written;
}

}  // namespace kestrel
