#include "report/line_joiner.h"

#include <charconv>
#include <cstdint>

#include "runtime/utf8.h"

namespace kestrel::report {
namespace {

void AppendUtf8(std::string& out, uint32_t code) {
    uint8_t bytes[4];
    out.append(reinterpret_cast<const char*>(bytes), EncodeUtf8(code, bytes));
}

}  // namespace

void LineJoiner::StartElement(char stream, DetailsWriter& details) {
    if (pending_ && stream != stream_) Flush(details);
    details_ = &details;
    stream_ = stream;
    pending_ = true;
}

void LineJoiner::Append(std::string_view text) {
    if (line_.size() >= kLineCap) return;
    line_ += text.substr(0, kLineCap - line_.size());
}

void LineJoiner::AppendCodePoint(std::string_view hex) {
    uint32_t code = 0xFFFD;
    if (std::from_chars(hex.data(), hex.data() + hex.size(), code, 16).ec != std::errc()) code = 0xFFFD;
    // Control characters as their printable pictures (ESC shows as U+241B).
    if (code < 0x20) code += 0x2400;
    else if (code == 0x7F) code = 0x2421;
    else if (code < 0xA0 || code > 0x10FFFF || (code & 0xFFFE) == 0xFFFE || (code >= 0xD800 && code < 0xE000))
        code = 0xFFFD;
    if (line_.size() < kLineCap) AppendUtf8(line_, code);
}

void LineJoiner::EndElement(const std::string& lineEnd) {
    ended_ = !lineEnd.empty();
    if (!lineEnd.empty() || line_.size() >= kLineCap) Flush(*details_);
}

void LineJoiner::Flush(DetailsWriter& details) {
    if (!pending_) return;
    // The element that only marks the end of a stream is no line.
    if (!line_.empty() || ended_) details.Add(stream_, line_);
    line_.clear();
    pending_ = false;
}

}  // namespace kestrel::report
