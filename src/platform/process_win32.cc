#include "platform/process.h"

#include <stdlib.h>

#include <string>
#include <unordered_map>

#include "platform/wide_text_win32.h"

namespace kestrel::platform {

namespace {

// Longest path the wide calls can give, with its NUL.
constexpr size_t kLongestPath = 32768;

// The runtime reports a refused value through the invalid-parameter handler,
// whose default ends the process; refusal is expected while probing.
void IgnoreInvalidParameter(const wchar_t*, const wchar_t*, const wchar_t*, unsigned int, uintptr_t) {}

bool IsSeparator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

// "C:\" and "\" are roots: without their separator they would name the
// drive's working directory instead.
bool IsRoot(const std::wstring& directory) {
    return directory.size() == 1 || (directory.size() == 3 && directory[1] == L':');
}

}  // namespace

uint32_t RaiseOpenFileLimit() {
    const _invalid_parameter_handler previous = _set_invalid_parameter_handler(IgnoreInvalidParameter);
    uint32_t accepted = 0;
    for (uint32_t value = 8192; value > 256 && accepted == 0; value /= 2)
        if (_setmaxstdio(static_cast<int>(value)) != -1) accepted = value;
    _set_invalid_parameter_handler(previous);
    return accepted;
}

void CreateProcessMarker() {
    // The handle stays open on purpose: the mutex lives as long as the process.
    CreateMutexW(nullptr, FALSE, L"Local\\03d0b3b6-fb24-4124-a8a0-c3934da40444");
}

std::string ExecutablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        // A name that filled the buffer may have been cut.
        if (length < buffer.size()) return NarrowText(buffer.data(), length);
        if (buffer.size() >= kLongestPath) return {};
        buffer.resize(buffer.size() * 2);
    }
}

bool CurrentDirectory(std::string& directory, int& error) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        if (length < buffer.size()) {
            directory = NarrowText(buffer.data(), length);
            return true;
        }
        // Too small: `length` is the room needed, with the NUL.
        buffer.resize(length);
    }
}

bool TemporaryDirectory(std::string& directory, int& error) {
    std::wstring buffer(MAX_PATH + 1, L'\0');
    for (;;) {
        const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(length);
    }
    while (buffer.size() > 1 && IsSeparator(buffer.back()) && !IsRoot(buffer)) buffer.pop_back();
    directory = NarrowText(buffer);
    return true;
}

void PrepareErrorMode() { SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX); }

void IgnoreBrokenPipe() {}

const char* EnvironmentVariable(const char* name) {
    std::wstring wideName;
    DWORD error = 0;
    if (!WidenText(name, wideName, error)) return nullptr;
    std::wstring buffer(256, L'\0');
    for (;;) {
        // An empty value also reads as 0 units: only the error code tells it
        // from an absent one.
        SetLastError(ERROR_SUCCESS);
        const DWORD length = GetEnvironmentVariableW(wideName.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0 && GetLastError() != ERROR_SUCCESS) return nullptr;
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(length);
    }
    // One converted value per name and thread, so that the values of
    // different names can be used together, as getenv's can.
    thread_local std::unordered_map<std::string, std::string> values;
    std::string& value = values[name];
    value = NarrowText(buffer);
    return value.c_str();
}

void SleepMilliseconds(uint32_t milliseconds) { Sleep(milliseconds); }

void ExitImmediately(int code) {
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
    // Not reached; ExitProcess tells the compiler so.
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace kestrel::platform
