// For the Windows implementations only: UTF-8 text of the portable interface
// to the UTF-16 text the system's wide calls take, and back.
#pragma once

#include <windows.h>

#include <string>

namespace kestrel::platform {

// UTF-8 to UTF-16; false with ERROR_NO_UNICODE_TRANSLATION for bytes that are
// not UTF-8.
bool WidenText(const char* text, std::wstring& wide, DWORD& error);

// A path for the wide file calls: the UTF-8 text widened, '/' read as '\'.
// An absolute path too long for the classic limit gets the "\\?\" prefix
// (or "\\?\UNC\" for a share), which lifts the limit.
bool WidenPath(const char* path, std::wstring& wide, DWORD& error);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string NarrowText(const wchar_t* text, size_t units);
inline std::string NarrowText(const std::wstring& text) { return NarrowText(text.data(), text.size()); }

// A HANDLE as the portable handles keep it, and back.
inline intptr_t NativeValue(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }
inline HANDLE HandleOf(intptr_t native) { return reinterpret_cast<HANDLE>(native); }

}  // namespace kestrel::platform
