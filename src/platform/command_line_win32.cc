#include "platform/command_line_win32.h"

namespace kestrel::platform {

namespace {

bool NeedsQuotes(const std::wstring& argument) {
    return argument.empty() || argument.find_first_of(L" \t\n\v\"") != std::wstring::npos;
}

void AppendQuoted(const std::wstring& argument, std::wstring& line) {
    line += L'"';
    size_t backslashes = 0;
    for (const wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        line += unit;
        backslashes = 0;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

}  // namespace

std::wstring QuoteCommandLine(const std::vector<std::wstring>& arguments) {
    std::wstring line;
    for (const std::wstring& argument : arguments) {
        if (!line.empty()) line += L' ';
        if (NeedsQuotes(argument))
            AppendQuoted(argument, line);
        else
            line += argument;
    }
    return line;
}

}  // namespace kestrel::platform
