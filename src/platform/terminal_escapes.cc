#include "platform/terminal_escapes.h"

namespace kestrel::platform {

namespace {

// Unchanged cells between two changed runs are rewritten rather than skipped
// when that is shorter than a cursor move.
constexpr int kRewriteGap = 6;

// Console colour bits (blue 1, green 2, red 4) to the ANSI colour index (red 1, green 2, blue 4).
int AnsiColour(unsigned bits) { return ((bits & 4) ? 1 : 0) | ((bits & 2) ? 2 : 0) | ((bits & 1) ? 4 : 0); }

void AppendNumber(std::string& out, unsigned value) {
    char digits[12];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) out += digits[--count];
}

// A cell's code point as UTF-8. The display hands over scalar values only
// (its cells come out of the program's one decoder), so no check is needed.
void AppendCellText(std::string& out, char32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

void AppendScreenUpdate(std::string& out, const ScreenCell* cells, const ScreenCell* shown, int width, int height) {
    bool attributeSet = false;
    uint16_t attribute = 0;
    for (int row = 0; row < height; ++row) {
        const ScreenCell* line = cells + static_cast<size_t>(row) * static_cast<size_t>(width);
        const ScreenCell* before = shown != nullptr ? shown + static_cast<size_t>(row) * static_cast<size_t>(width)
                                                    : nullptr;
        const auto differs = [&](int at) { return before == nullptr || line[at] != before[at]; };
        int column = 0;
        while (column < width) {
            if (!differs(column)) {
                ++column;
                continue;
            }
            int last = column;
            for (int next = column + 1; next < width && next - last <= kRewriteGap; ++next)
                if (differs(next)) last = next;
            if (!attributeSet) {
                attributeSet = true;
                attribute = line[column].attribute;
                AppendTextAttribute(out, attribute);
            }
            AppendMoveTo(out, row, column);
            for (int at = column; at <= last; ++at) {
                if (line[at].attribute != attribute) {
                    attribute = line[at].attribute;
                    AppendTextAttribute(out, attribute);
                }
                AppendCellText(out, line[at].text);
            }
            column = last + 1;
        }
    }
}

void AppendMoveTo(std::string& out, int row, int column) {
    out += "\x1b[";
    AppendNumber(out, static_cast<unsigned>(row + 1));
    out += ';';
    AppendNumber(out, static_cast<unsigned>(column + 1));
    out += 'H';
}

void AppendTextAttribute(std::string& out, uint16_t attribute) {
    const unsigned foreground = attribute & 0x0F;
    const unsigned background = (attribute >> 4) & 0x0F;
    out += "\x1b[0;";
    AppendNumber(out, static_cast<unsigned>(((foreground & 8) ? 90 : 30) + AnsiColour(foreground)));
    out += ';';
    AppendNumber(out, static_cast<unsigned>(((background & 8) ? 100 : 40) + AnsiColour(background)));
    out += 'm';
}

void AppendWindowTitle(std::string& out, const char* title) {
    out += "\x1b]2;";
    // Control bytes would end the sequence early or start another one.
    for (const char* at = title; *at != '\0'; ++at)
        if (static_cast<unsigned char>(*at) >= 0x20 && *at != 0x7F) out += *at;
    out += '\x07';
}

}  // namespace kestrel::platform
