#include "runtime/utf8.h"

namespace kestrel {

uint32_t DecodeUtf8(const uint8_t* text, uint32_t available, uint32_t& code, uint32_t* subpart) {
    const uint8_t lead = text[0];
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    uint32_t need;
    uint8_t low = 0x80, high = 0xBF;
    uint32_t value;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        value = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        value = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        value = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        if (subpart != nullptr) *subpart = 1;
        return 0;
    }
    uint32_t taken = 1;
    for (uint32_t i = 0; i < need; ++i, low = 0x80, high = 0xBF) {
        if (taken >= available || text[taken] < low || text[taken] > high) {
            if (subpart != nullptr) *subpart = taken;
            return 0;
        }
        value = value << 6 | (text[taken] & 0x3Fu);
        ++taken;
    }
    code = value;
    return taken;
}

uint32_t EncodeUtf8(uint32_t code, uint8_t* out) {
    if (code < 0x80) {
        out[0] = static_cast<uint8_t>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (code >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (code >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (code >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((code >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((code >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (code & 0x3F));
    return 4;
}

}  // namespace kestrel
