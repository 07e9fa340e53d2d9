#include "scheduler/case_fold.h"

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

// The code point of a well-formed UTF-8 sequence at `text` and its length, or
// length 0 when the bytes there are not one.
uint32_t Decode(const uint8_t* text, uint32_t left, uint32_t& length) {
    length = 0;
    const uint8_t lead = text[0];
    uint32_t need;
    uint32_t codePoint;
    uint32_t low = 0x80;
    uint32_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        codePoint = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        codePoint = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left <= need) return 0;
    for (uint32_t i = 1; i <= need; ++i) {
        const uint8_t b = text[i];
        if (b < low || b > high) return 0;
        low = 0x80;
        high = 0xBF;
        codePoint = (codePoint << 6) | (b & 0x3Fu);
    }
    length = need + 1;
    return codePoint;
}

uint32_t Encode(uint32_t codePoint, uint8_t* out) {
    if (codePoint < 0x80) {
        out[0] = static_cast<uint8_t>(codePoint);
        return 1;
    }
    if (codePoint < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (codePoint >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
        return 2;
    }
    if (codePoint < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (codePoint >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((codePoint >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (codePoint >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((codePoint >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((codePoint >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (codePoint & 0x3F));
    return 4;
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
        const uint8_t b = in[at];
        if (b < 0x80) {
            to[written++] = b >= 'A' && b <= 'Z' ? static_cast<uint8_t>(b + 32) : b;
            ++at;
            continue;
        }
        uint32_t sequence = 0;
        const uint32_t codePoint = Decode(in + at, length - at, sequence);
        if (sequence == 0) {
            to[written++] = b;
            ++at;
            continue;
        }
        written += Encode(LowerCodePoint(codePoint), to + written);
        at += sequence;
    }
    return written;
}

}  // namespace kestrel
