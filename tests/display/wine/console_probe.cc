// A Windows program for the tests that run kestrel.exe under Wine: writes the
// console modes of the three standard streams and the text attribute of
// standard output to a file, runs a command in the same console, and writes
// them again after it. Its exit code is the command's.
//
//   console_probe.exe <report file> <program> [arguments...]

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring ConsoleState() {
    DWORD modes[3] = {0, 0, 0};
    const DWORD streams[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i)
        if (!GetConsoleMode(GetStdHandle(streams[i]), &modes[i])) modes[i] = 0xFFFFFFFF;
    CONSOLE_SCREEN_BUFFER_INFO info;
    const unsigned attribute =
        GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) ? info.wAttributes : 0xFFFFu;
    wchar_t text[96];
    swprintf(text, 96, L"input %08lx output %08lx error %08lx attribute %04x", modes[0], modes[1], modes[2],
             attribute);
    return text;
}

// Quotes an argument for the command line of CreateProcessW.
std::wstring Quoted(const std::wstring& argument) {
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t unit : argument) {
        if (unit == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(unit == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += unit;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

// Ctrl+C reaches every process of the console: the probe outlives it to
// write what it sees after the command (a handler, unlike ignoring the key
// altogether, is not inherited by the command).
BOOL WINAPI KeepRunning(DWORD) { return TRUE; }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fwprintf(stderr, L"usage: console_probe <report file> <program> [arguments...]\n");
        return 120;
    }
    SetConsoleCtrlHandler(KeepRunning, TRUE);
    std::wstring report = L"before " + ConsoleState() + L"\n";
    std::wstring commandLine;
    for (int i = 2; i < argc; ++i) commandLine += (i > 2 ? L" " : L"") + Quoted(argv[i]);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    DWORD exitCode = 121;
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
    }
    report += L"after " + ConsoleState() + L"\n";
    FILE* file = _wfopen(argv[1], L"wb");
    if (file != nullptr) {
        for (wchar_t unit : report) std::fputc(static_cast<char>(unit), file);
        std::fclose(file);
    }
    return static_cast<int>(exitCode);
}
