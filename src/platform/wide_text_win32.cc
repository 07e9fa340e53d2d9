#include "platform/wide_text_win32.h"

namespace kestrel::platform {

bool WidenText(const char* text, std::wstring& wide, DWORD& error) {
    wide.clear();
    if (text[0] == '\0') return true;
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (units <= 0) {
        error = GetLastError();
        return false;
    }
    wide.resize(static_cast<size_t>(units));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), units);
    wide.resize(static_cast<size_t>(units) - 1);
    return true;
}

bool WidenPath(const char* path, std::wstring& wide, DWORD& error) {
    if (!WidenText(path, wide, error)) return false;
    for (wchar_t& unit : wide)
        if (unit == L'/') unit = L'\\';
    constexpr size_t kClassicLimit = MAX_PATH - 12;  // room CreateDirectoryW keeps for an 8.3 name
    if (wide.size() < kClassicLimit || wide.starts_with(L"\\\\?\\")) return true;
    if (wide.starts_with(L"\\\\"))
        wide.replace(0, 2, L"\\\\?\\UNC\\");
    else if (wide.size() > 2 && wide[1] == L':' && wide[2] == L'\\')
        wide.insert(0, L"\\\\?\\");
    return true;
}

std::string NarrowText(const wchar_t* text, size_t units) {
    std::string narrow;
    if (units == 0) return narrow;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return narrow;
    narrow.resize(static_cast<size_t>(bytes));
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

}  // namespace kestrel::platform
