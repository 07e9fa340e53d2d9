// UTF-8 to UTF-16 for the places where a file format carries UTF-16 text.
#pragma once

#include <cstdint>

namespace kestrel {

// Converts `length` bytes of UTF-8 into `out`, which holds `room` units
// including the terminating NUL. False with EILSEQ for ill-formed UTF-8
// (overlong forms, surrogates, code points above U+10FFFF, cut sequences) and
// with ERANGE when the text needs more than room - 1 units; `out` is then
// still terminated. `units` receives the count written, without the NUL.
bool Utf8ToUtf16(const char* text, uint32_t length, char16_t* out, uint32_t room, uint32_t& units, int& error);

}  // namespace kestrel
