// Texts turned into display cells: one code point per cell, and only code
// points that a terminal draws in exactly one cell.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/utf8.h"

namespace kestrel {

// What a code point shows as: itself when it takes one cell; '?' for controls,
// zero-width and double-width code points, so that neither escape sequences nor
// the layout can be disturbed by the text of a job.
char32_t DisplayCell(char32_t codePoint);

// How many cells `text` (UTF-8, `length` bytes) becomes. Ill-formed bytes
// count as U+FFFD, like everywhere else the user sees text.
size_t CellCount(const char* text, size_t length);

// Writes the cells of `text` into `cells`, which holds CellCount(...) entries;
// returns how many were written.
size_t DecodeCells(const char* text, size_t length, char32_t* cells);

// Appends the UTF-8 bytes of one code point.
template <typename Output>
void AppendUtf8(Output& out, char32_t codePoint) {
    uint8_t bytes[4];
    const uint32_t count = EncodeUtf8(codePoint, bytes);
    for (uint32_t i = 0; i < count; ++i) out += static_cast<char>(bytes[i]);
}

}  // namespace kestrel
