// File keys: two names that differ only in letter case name the same file,
// so files are compared by their lower-case form.
#pragma once

#include <cstdint>

namespace kestrel {

// Lower case never makes UTF-8 text more than half as long again (a 2-byte
// letter can become a 3-byte one): room for a folded text of `length` bytes.
inline constexpr uint64_t FoldedRoom(uint32_t length) { return static_cast<uint64_t>(length) + length / 2; }

// The Unicode version the mapping was generated from.
const char* CaseTableUnicodeVersion();

// The simple lower-case mapping of one code point (itself when it has none).
uint32_t LowerCodePoint(uint32_t codePoint);

// Writes the lower-case form of `length` bytes of UTF-8 text to `out`, which
// holds at least FoldedRoom(length) bytes, and returns the bytes written (no
// terminator). Bytes that do not form UTF-8 are copied unchanged, so distinct
// names stay distinct.
uint32_t FoldCase(const char* text, uint32_t length, char* out);

}  // namespace kestrel
