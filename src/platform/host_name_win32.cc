#include "platform/host_name.h"

#include <cstring>
#include <string>

#include "platform/wide_text_win32.h"

namespace kestrel::platform {

bool FullyQualifiedHostName(char* out, uint32_t room, uint32_t& length) {
    DWORD units = 0;
    GetComputerNameExW(ComputerNameDnsFullyQualified, nullptr, &units);
    if (GetLastError() != ERROR_MORE_DATA || units == 0) return false;
    std::wstring name(units, L'\0');
    if (!GetComputerNameExW(ComputerNameDnsFullyQualified, name.data(), &units)) return false;
    // `units` is now the length without the NUL.
    const std::string text = NarrowText(name.data(), units);
    if (text.empty() || text.size() >= room) return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    length = static_cast<uint32_t>(text.size());
    return true;
}

}  // namespace kestrel::platform
