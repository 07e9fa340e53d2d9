#include "platform/case_mapping.h"

#include <windows.h>

#include <memory>

namespace kestrel::platform {

namespace {

// Names of up to this many UTF-16 units are mapped without a heap buffer.
constexpr int kStackUnits = 512;

}  // namespace

bool SystemLowerCase(const char* text, uint32_t length, char* out, uint32_t room, uint32_t& written) {
    if (length == 0) {
        written = 0;
        return true;
    }
    if (length > static_cast<uint32_t>(INT32_MAX / 2)) return false;
    const int bytes = static_cast<int>(length);
    const int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, bytes, nullptr, 0);
    if (units <= 0) return false;
    wchar_t stackBuffer[2 * kStackUnits];
    std::unique_ptr<wchar_t[]> heapBuffer;
    wchar_t* wide = stackBuffer;
    if (units > kStackUnits) {
        heapBuffer.reset(new (std::nothrow) wchar_t[2 * static_cast<size_t>(units)]);
        if (!heapBuffer) return false;
        wide = heapBuffer.get();
    }
    wchar_t* lower = wide + units;
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, bytes, wide, units);
    // The user's default locale, as the file system's own case rules follow it.
    const int mapped = LCMapStringEx(L"!x-sys-default-locale", LCMAP_LOWERCASE, wide, units, lower, units, nullptr,
                                     nullptr, 0);
    if (mapped <= 0) return false;
    const int result = WideCharToMultiByte(CP_UTF8, 0, lower, mapped, out, static_cast<int>(room), nullptr, nullptr);
    if (result <= 0) return false;
    written = static_cast<uint32_t>(result);
    return true;
}

}  // namespace kestrel::platform
