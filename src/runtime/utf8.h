// The one UTF-8 decoder and encoder of the program (strict: no overlong
// forms, no surrogates, nothing above U+10FFFF), with the replacing variant
// for text that is shown, and the lead-byte rule for validators that see the
// bytes one at a time.
#pragma once

#include <cstdint>

namespace kestrel {

// What stands for ill-formed text wherever text is shown or sent on.
inline constexpr uint32_t kReplacementCharacter = 0xFFFD;

// What a byte at the start of a sequence allows: how many continuation bytes
// follow and the range of the first one (every later one is 0x80 to 0xBF).
// `continuations` 0: a single-byte character below 0x80, or a byte that
// cannot start a sequence.
struct Utf8Lead {
    uint8_t continuations;
    uint8_t low;
    uint8_t high;
};
Utf8Lead Utf8LeadOf(uint8_t byte);

// Decodes the sequence at `text` (`available` > 0 bytes). A well-formed
// sequence gives its length (1 to 4) and sets `code`. An ill-formed one gives
// 0 and sets `subpart` to the length of its maximal ill-formed subpart (at
// least 1): callers that show U+FFFD for bad bytes consume exactly that much.
uint32_t DecodeUtf8(const uint8_t* text, uint32_t available, uint32_t& code, uint32_t* subpart = nullptr);

// The same, but an ill-formed sequence gives kReplacementCharacter and the
// length of its maximal ill-formed subpart: never 0.
uint32_t DecodeUtf8Replacing(const uint8_t* text, uint32_t available, uint32_t& code);

// Writes `code` (at most U+10FFFF) as 1 to 4 bytes and returns the count.
uint32_t EncodeUtf8(uint32_t code, uint8_t* out);

}  // namespace kestrel
