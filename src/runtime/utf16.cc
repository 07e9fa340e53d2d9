#include "runtime/utf16.h"

#include <cerrno>

#include "runtime/utf8.h"

namespace kestrel {


bool Utf8ToUtf16(const char* text, uint32_t length, char16_t* out, uint32_t room, uint32_t& units, int& error) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    uint32_t written = 0;
    bool ok = room > 0;
    if (!ok) error = ERANGE;
    for (uint32_t at = 0; ok && at < length;) {
        uint32_t code = 0;
        const uint32_t taken = DecodeUtf8(bytes + at, length - at, code);
        if (taken == 0) {
            error = EILSEQ;
            ok = false;
            break;
        }
        const uint32_t needed = code >= 0x10000 ? 2 : 1;
        if (written + needed > room - 1) {
            error = ERANGE;
            ok = false;
            break;
        }
        if (needed == 2) {
            code -= 0x10000;
            out[written++] = static_cast<char16_t>(0xD800 | (code >> 10));
            out[written++] = static_cast<char16_t>(0xDC00 | (code & 0x3FF));
        } else {
            out[written++] = static_cast<char16_t>(code);
        }
        at += taken;
    }
    if (room > 0) out[written] = u'\0';
    if (ok) units = written;
    return ok;
}

}  // namespace kestrel
