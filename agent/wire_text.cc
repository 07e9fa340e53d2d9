#include "agent/wire_text.h"

namespace kestrel::agent {

namespace {

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | code >> 6);
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | code >> 12);
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | code >> 18);
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void AppendUnit(std::string& out, uint32_t unit) {
    out += static_cast<char>(unit & 0xFF);
    out += static_cast<char>(unit >> 8);
}

// Decodes one UTF-8 sequence at `at`; U+FFFD and one byte for anything ill-formed.
uint32_t DecodeUtf8(std::string_view text, size_t& at) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t first = byte(at);
    uint32_t need = 0;
    uint32_t code = 0;
    uint32_t minimum = 0;
    if (first < 0x80) {
        ++at;
        return first;
    } else if ((first & 0xE0) == 0xC0) {
        need = 1, code = first & 0x1F, minimum = 0x80;
    } else if ((first & 0xF0) == 0xE0) {
        need = 2, code = first & 0x0F, minimum = 0x800;
    } else if ((first & 0xF8) == 0xF0) {
        need = 3, code = first & 0x07, minimum = 0x10000;
    } else {
        ++at;
        return 0xFFFD;
    }
    if (at + need >= text.size()) {
        ++at;
        return 0xFFFD;
    }
    for (uint32_t i = 1; i <= need; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            ++at;
            return 0xFFFD;
        }
        code = code << 6 | (byte(at + i) & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        ++at;
        return 0xFFFD;
    }
    at += need + 1;
    return code;
}

}  // namespace

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
    for (uint32_t i = 0; i < units; ++i) {
        const uint32_t unit = bytes[2 * i] | static_cast<uint32_t>(bytes[2 * i + 1]) << 8;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return false;
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 >= units) return false;
            const uint32_t low = bytes[2 * i + 2] | static_cast<uint32_t>(bytes[2 * i + 3]) << 8;
            if (low < 0xDC00 || low > 0xDFFF) return false;
            AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
            ++i;
            continue;
        }
        AppendUtf8(out, unit);
    }
    return true;
}

std::string Utf8ToUtf16(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    size_t at = 0;
    while (at < text.size()) {
        const uint32_t code = DecodeUtf8(text, at);
        if (code >= 0x10000) {
            AppendUnit(out, 0xD800 + ((code - 0x10000) >> 10));
            AppendUnit(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            AppendUnit(out, code);
        }
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
