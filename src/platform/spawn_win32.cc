#include "platform/spawn.h"

#include "platform/command_line_win32.h"
#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

bool StartProcess(const std::vector<std::string>& argv, DWORD& error) {
    if (argv.empty()) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    std::wstring program;
    if (!WidenPath(argv[0].c_str(), program, error)) return false;
    std::vector<std::wstring> arguments(argv.size());
    for (size_t i = 0; i < argv.size(); ++i)
        if (!WidenText(argv[i].c_str(), arguments[i], error)) return false;
    std::wstring commandLine = QuoteCommandLine(arguments);

    // No handle is inherited and no flag given: the child shares our console,
    // so that what it prints reaches the user. Console control handlers are
    // not inherited, so the child meets Ctrl+C with the system's default.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started)) {
        error = GetLastError();
        return false;
    }
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    return true;
}

}  // namespace

bool SpawnDetached(const std::vector<std::string>& argv, int* error) {
    DWORD code = 0;
    if (StartProcess(argv, code)) return true;
    if (error != nullptr) *error = static_cast<int>(code);
    return false;
}

}  // namespace kestrel::platform
