#include "runtime/utf16.h"

#include <cerrno>

namespace kestrel {

namespace {

// Decodes one well-formed sequence at `p`; returns its length, or 0 when ill-formed.
uint32_t DecodeOne(const unsigned char* p, uint32_t available, uint32_t& code) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    uint32_t need;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        code = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        code = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (available < need + 1) return 0;
    for (uint32_t i = 1; i <= need; ++i) {
        const unsigned char next = p[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    return need + 1;
}

}  // namespace

bool Utf8ToUtf16(const char* text, uint32_t length, char16_t* out, uint32_t room, uint32_t& units, int& error) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    uint32_t written = 0;
    bool ok = room > 0;
    if (!ok) error = ERANGE;
    for (uint32_t at = 0; ok && at < length;) {
        uint32_t code = 0;
        const uint32_t taken = DecodeOne(bytes + at, length - at, code);
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
