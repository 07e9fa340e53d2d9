#include "agent/wire_text.h"

#include "runtime/utf16.h"
#include "runtime/utf8.h"

namespace kestrel::agent {

bool ReadWireString(const uint8_t* payload, uint32_t length, uint32_t& offset, bool utf16, WireString& out) {
    if (!utf16) {
        for (uint32_t at = offset; at < length; ++at) {
            if (payload[at] != 0) continue;
            out = WireString{payload + offset, at - offset};
            offset = at + 1;
            return true;
        }
        return false;
    }
    for (uint32_t at = offset; at + 1 < length; at += 2) {
        if (payload[at] != 0 || payload[at + 1] != 0) continue;
        out = WireString{payload + offset, at - offset};
        offset = at + 2;
        return true;
    }
    return false;
}

bool Utf16ToUtf8(const uint8_t* bytes, uint32_t length, std::string& out) {
    out.clear();
    if (length % 2 != 0) return false;
    const uint32_t units = length / 2;
    for (uint32_t i = 0; i < units;) {
        uint32_t code = 0;
        const uint32_t taken = DecodeUtf16Le(bytes + 2 * i, units - i, code);
        if (taken == 0) return false;
        uint8_t encoded[4];
        out.append(reinterpret_cast<const char*>(encoded), EncodeUtf8(code, encoded));
        i += taken;
    }
    return true;
}

std::string Utf8ToUtf16(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const uint32_t length = static_cast<uint32_t>(text.size());
    for (uint32_t at = 0; at < length;) {
        uint32_t code = 0;
        at += DecodeUtf8Replacing(bytes + at, length - at, code);
        uint8_t units[4];
        out.append(reinterpret_cast<const char*>(units), 2 * EncodeUtf16Le(code, units));
    }
    return out;
}

bool WireToUtf8(const WireString& text, bool utf16, std::string& out) {
    if (utf16) return Utf16ToUtf8(text.bytes, text.length, out);
    out.assign(reinterpret_cast<const char*>(text.bytes), text.length);
    return true;
}

std::string ResponseText(std::string_view utf8, bool utf16) {
    return utf16 ? Utf8ToUtf16(utf8) : std::string(utf8);
}

}  // namespace kestrel::agent
