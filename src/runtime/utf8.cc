#include "runtime/utf8.h"

namespace kestrel {

Utf8Lead Utf8LeadOf(uint8_t byte) {
    if (byte >= 0xC2 && byte <= 0xDF) return {1, 0x80, 0xBF};
    if (byte == 0xE0) return {2, 0xA0, 0xBF};  // above the overlong forms
    if (byte == 0xED) return {2, 0x80, 0x9F};  // below the surrogates
    if (byte >= 0xE1 && byte <= 0xEF) return {2, 0x80, 0xBF};
    if (byte == 0xF0) return {3, 0x90, 0xBF};  // above the overlong forms
    if (byte >= 0xF1 && byte <= 0xF3) return {3, 0x80, 0xBF};
    if (byte == 0xF4) return {3, 0x80, 0x8F};  // up to U+10FFFF
    return {0, 0, 0};
}

uint32_t DecodeUtf8(const uint8_t* text, uint32_t available, uint32_t& code, uint32_t* subpart) {
    const uint8_t lead = text[0];
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    const Utf8Lead rule = Utf8LeadOf(lead);
    if (rule.continuations == 0) {
        if (subpart != nullptr) *subpart = 1;
        return 0;
    }
    // The lead's payload bits: 5, 4 or 3 of them.
    uint32_t value = lead & (0x7Fu >> (rule.continuations + 1));
    uint8_t low = rule.low, high = rule.high;
    uint32_t taken = 1;
    for (uint32_t i = 0; i < rule.continuations; ++i, low = 0x80, high = 0xBF) {
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

uint32_t DecodeUtf8Replacing(const uint8_t* text, uint32_t available, uint32_t& code) {
    uint32_t subpart = 1;
    const uint32_t taken = DecodeUtf8(text, available, code, &subpart);
    if (taken > 0) return taken;
    code = kReplacementCharacter;
    return subpart;
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
