#include "platform/terminal.h"

namespace kestrel::platform {

namespace {

// Alternate screen (saving the cursor), cursor hidden, automatic wrap off.
constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[?7l";
// Attribute reset, wrap and cursor back, main screen (restoring the cursor).
constexpr char kLeaveScreen[] = "\x1b[0m\x1b[?7h\x1b[?25h\x1b[?1049l";

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

}  // namespace

bool EnterDisplayScreen(int& error) { return WriteToTerminal(kEnterScreen, sizeof kEnterScreen - 1, error); }

bool LeaveDisplayScreen(int& error) { return WriteToTerminal(kLeaveScreen, sizeof kLeaveScreen - 1, error); }

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
