// The one UTF-8 decoder and encoder of the program (strict: no overlong
// forms, no surrogates, nothing above U+10FFFF).
#pragma once

#include <cstdint>

namespace kestrel {

// Decodes the sequence at `text` (`available` > 0 bytes). A well-formed
// sequence gives its length (1 to 4) and sets `code`. An ill-formed one gives
// 0 and sets `subpart` to the length of its maximal ill-formed subpart (at
// least 1): callers that show U+FFFD for bad bytes consume exactly that much.
uint32_t DecodeUtf8(const uint8_t* text, uint32_t available, uint32_t& code, uint32_t* subpart = nullptr);

// Writes `code` (at most U+10FFFF) as 1 to 4 bytes and returns the count.
uint32_t EncodeUtf8(uint32_t code, uint8_t* out);

}  // namespace kestrel
