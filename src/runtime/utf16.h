// The one UTF-16 decoder and encoder of the program, for the places where a
// file format, the wire or the system's interface carries UTF-16: code units
// either as little-endian bytes (archives, logs, the wire) or as char16_t
// (texts kept for the system), strict decoding (unpaired surrogates refused)
// or replacing (U+FFFD for each unpaired one), and the conversion from the
// program's UTF-8.
#pragma once

#include <cstdint>

namespace kestrel {

// Decodes the code point at `bytes`, UTF-16LE with `availableUnits` > 0
// units. Returns the units it takes (1 or 2) and sets `code`; 0 for an
// unpaired surrogate, of which one unit is the ill-formed part.
uint32_t DecodeUtf16Le(const uint8_t* bytes, uint32_t availableUnits, uint32_t& code);

// The same for char16_t units.
uint32_t DecodeUtf16(const char16_t* units, uint32_t availableUnits, uint32_t& code);

// The same, but an unpaired surrogate gives U+FFFD and takes its one unit:
// never 0.
uint32_t DecodeUtf16Replacing(const char16_t* units, uint32_t availableUnits, uint32_t& code);

// Writes `code` (at most U+10FFFF, not a surrogate) as 1 or 2 UTF-16LE units
// (2 or 4 bytes) and returns the unit count.
uint32_t EncodeUtf16Le(uint32_t code, uint8_t* out);

// The same into char16_t units.
uint32_t EncodeUtf16(uint32_t code, char16_t* out);

// Converts `length` bytes of UTF-8 into `out`, which holds `room` units
// including the terminating NUL. False with platform::kErrorIllegalSequence
// for ill-formed UTF-8 (overlong forms, surrogates, code points above
// U+10FFFF, cut sequences) and with platform::kErrorBufferTooSmall when the
// text needs more than room - 1 units; `out` is then still terminated.
// `units` receives the count written, without the NUL.
bool Utf8ToUtf16(const char* text, uint32_t length, char16_t* out, uint32_t room, uint32_t& units, int& error);

}  // namespace kestrel
