#include "runtime/utf16.h"

#include <cerrno>

#include "runtime/utf8.h"

namespace kestrel {

uint32_t DecodeUtf16Le(const uint8_t* bytes, uint32_t availableUnits, uint32_t& code) {
    const uint32_t unit = static_cast<uint32_t>(bytes[0] | bytes[1] << 8);
    if (unit < 0xD800 || unit > 0xDFFF) {
        code = unit;
        return 1;
    }
    if (unit > 0xDBFF || availableUnits < 2) return 0;
    const uint32_t low = static_cast<uint32_t>(bytes[2] | bytes[3] << 8);
    if (low < 0xDC00 || low > 0xDFFF) return 0;
    code = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    return 2;
}

uint32_t EncodeUtf16Le(uint32_t code, uint8_t* out) {
    if (code < 0x10000) {
        out[0] = static_cast<uint8_t>(code);
        out[1] = static_cast<uint8_t>(code >> 8);
        return 1;
    }
    code -= 0x10000;
    const uint32_t high = 0xD800 | (code >> 10);
    const uint32_t low = 0xDC00 | (code & 0x3FF);
    out[0] = static_cast<uint8_t>(high);
    out[1] = static_cast<uint8_t>(high >> 8);
    out[2] = static_cast<uint8_t>(low);
    out[3] = static_cast<uint8_t>(low >> 8);
    return 2;
}

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
