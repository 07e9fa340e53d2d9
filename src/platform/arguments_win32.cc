#include "platform/arguments.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "platform/wide_text_win32.h"

namespace kestrel::platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    // Only when memory ran out; the narrow arguments are better than none.
    if (wide == nullptr) return {argv, argv + argc};
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) arguments.push_back(NarrowText(wide[i], std::wcslen(wide[i])));
    LocalFree(wide);
    return arguments;
}

}  // namespace kestrel::platform
