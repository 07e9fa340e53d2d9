// UTF-16 for the places where a file format or the wire carries it: little-
// endian code units, strict decoding (unpaired surrogates refused) and the
// conversion from the program's UTF-8.
#pragma once

#include <cstdint>

namespace kestrel {

// Decodes the code point at `bytes`, UTF-16LE with `availableUnits` > 0
// units. Returns the units it takes (1 or 2) and sets `code`; 0 for an
// unpaired surrogate, of which one unit is the ill-formed part.
uint32_t DecodeUtf16Le(const uint8_t* bytes, uint32_t availableUnits, uint32_t& code);

// Writes `code` (at most U+10FFFF, not a surrogate) as 1 or 2 UTF-16LE units
// (2 or 4 bytes) and returns the unit count.
uint32_t EncodeUtf16Le(uint32_t code, uint8_t* out);

// Converts `length` bytes of UTF-8 into `out`, which holds `room` units
// including the terminating NUL. False with EILSEQ for ill-formed UTF-8
// (overlong forms, surrogates, code points above U+10FFFF, cut sequences) and
// with ERANGE when the text needs more than room - 1 units; `out` is then
// still terminated. `units` receives the count written, without the NUL.
bool Utf8ToUtf16(const char* text, uint32_t length, char16_t* out, uint32_t room, uint32_t& units, int& error);

}  // namespace kestrel
