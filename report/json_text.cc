#include "report/json_text.h"

#include <cstdint>

namespace kestrel::report {
namespace {

void AppendUnit(std::string& out, uint32_t unit) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

void AppendCodePoint(std::string& out, uint32_t code) {
    if (code < 0x10000) return AppendUnit(out, code);
    code -= 0x10000;
    AppendUnit(out, 0xD800 + (code >> 10));
    AppendUnit(out, 0xDC00 + (code & 0x3FF));
}

// Decodes one UTF-8 sequence at `at`; false (consuming one byte) when the
// bytes there are no valid sequence.
bool DecodeOne(std::string_view text, size_t& at, uint32_t& code) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(at);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (lead >= 0xF8 || (lead >= 0x80 && lead < 0xC2) || at + length > text.size()) {
        ++at;
        return false;
    }
    code = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            ++at;
            return false;
        }
        code = (code << 6) | (byte(at + i) & 0x3Fu);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
        ++at;
        return false;
    }
    at += length;
    return true;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view utf8) {
    out += '"';
    size_t at = 0;
    while (at < utf8.size()) {
        const char c = utf8[at];
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '<' && c != '>' && c != '&') {
            out += c;
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
            ++at;
            continue;
        }
        uint32_t code = 0;
        AppendCodePoint(out, DecodeOne(utf8, at, code) ? code : 0xFFFD);
    }
    out += '"';
}

void AppendHtmlText(std::string& out, std::string_view utf8) {
    for (char c : utf8) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
}

}  // namespace kestrel::report
