#include "display/display_text.h"

#include "runtime/utf8.h"

namespace kestrel {

namespace {

struct Range {
    char32_t first;
    char32_t last;
};

// Code points that take no cell of their own: combining marks, joiners,
// direction marks, variation selectors.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

// Code points that terminals draw two cells wide: East Asian wide and full-width
// forms, and the emoji blocks.
constexpr Range kDoubleWidth[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC}, {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF}, {0xA960, 0xA97F},
    {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F}, {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F004, 0x1F004}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF},
    {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
};

template <size_t N>
bool InRanges(const Range (&ranges)[N], char32_t codePoint) {
    for (const Range& range : ranges)
        if (codePoint >= range.first && codePoint <= range.last) return true;
    return false;
}

// Decodes the code point at `p`; an ill-formed sequence gives U+FFFD and
// consumes its maximal ill-formed subpart. Returns the bytes consumed.
size_t DecodeOne(const unsigned char* p, size_t available, char32_t& codePoint) {
    uint32_t code = 0;
    const uint32_t room = available > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(available);
    const uint32_t taken = DecodeUtf8Replacing(p, room, code);
    codePoint = code;
    return taken;
}

}  // namespace

char32_t DisplayCell(char32_t codePoint) {
    if (codePoint == '\t') return U' ';
    if (codePoint < 0x20 || (codePoint >= 0x7F && codePoint < 0xA0)) return U'?';
    if (codePoint == 0x2028 || codePoint == 0x2029) return U'?';
    if (InRanges(kZeroWidth, codePoint) || InRanges(kDoubleWidth, codePoint)) return U'?';
    return codePoint;
}

size_t CellCount(const char* text, size_t length) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t count = 0;
    for (size_t at = 0; at < length; ++count) {
        char32_t ignored;
        at += DecodeOne(bytes + at, length - at, ignored);
    }
    return count;
}

size_t DecodeCells(const char* text, size_t length, char32_t* cells) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t count = 0;
    for (size_t at = 0; at < length;) {
        char32_t codePoint;
        at += DecodeOne(bytes + at, length - at, codePoint);
        cells[count++] = DisplayCell(codePoint);
    }
    return count;
}

}  // namespace kestrel
