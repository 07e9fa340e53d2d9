#include "logs/output_rendering.h"

#include <cstdlib>
#include <cstring>

#include "logs/build_log_text.h"
#include "runtime/temp_files.h"

namespace kestrel {

namespace {

constexpr uint32_t kFirstLineCapacity = 128;

const char* LineEndName(LineEndState state) {
    switch (state) {
    case LineEndState::NlSeen: return "NL";
    case LineEndState::NlCr: return "NLCR";
    case LineEndState::LineTabulation: return "LINE TABULATION";
    case LineEndState::FormFeed: return "FORM FEED";
    case LineEndState::CrSeen: return "CR";
    case LineEndState::CrNl: return "CRNL";
    case LineEndState::NextLine: return "NEXT LINE";
    case LineEndState::LineSeparator: return "LINE SEPARATOR";
    case LineEndState::ParagraphSeparator: return "PARAGRAPH SEPARATOR";
    default: return nullptr;
    }
}

// Bytes of a recognised line end, added to the offset when it is written.
uint32_t LineEndLength(LineEndState state) {
    switch (state) {
    case LineEndState::NlCr:
    case LineEndState::CrNl:
    case LineEndState::NextLine: return 2;
    case LineEndState::LineSeparator:
    case LineEndState::ParagraphSeparator: return 3;
    default: return 1;
    }
}

bool IsContinuation(uint8_t b) { return b >= 0x80 && b <= 0xBF; }

// One-byte characters that go into the line as they are.
bool IsPlain(uint8_t b) {
    if (b == 0x09) return true;
    if (b < 0x20 || b > 0x7E) return false;
    return b != '"' && b != '&' && b != '\'' && b != '<' && b != '>';
}

// Characters shown as a code point element rather than as themselves.
bool NeedsCodePointElement(uint32_t c) {
    if (c < 0x20) return c != 0x09 && c != 0x0A && c != 0x0D;
    if (c >= 0x7F && c <= 0x84) return true;
    if (c >= 0x86 && c <= 0x9F) return true;
    if (c >= 0xFDD0 && c <= 0xFDEF) return true;
    if (c == 0xFFFD) return true;
    return (c & 0xFFFF) >= 0xFFFE;
}

bool Reserve(OutputStream& s, uint32_t more) {
    const uint64_t needed = static_cast<uint64_t>(s.lineLength) + more;
    if (needed <= s.lineCapacity) return true;
    uint64_t capacity = s.lineCapacity == 0 ? kFirstLineCapacity : static_cast<uint64_t>(s.lineCapacity) * 2;
    if (capacity < needed) capacity = needed;
    char* grown = capacity <= UINT32_MAX ? static_cast<char*>(std::realloc(s.line, capacity)) : nullptr;
    if (grown == nullptr) {
        s.outOfMemory = true;
        return false;
    }
    s.line = grown;
    s.lineCapacity = static_cast<uint32_t>(capacity);
    return true;
}

bool Append(OutputStream& s, const void* bytes, uint32_t count) {
    if (!Reserve(s, count)) return false;
    std::memcpy(s.line + s.lineLength, bytes, count);
    s.lineLength += count;
    return true;
}

constexpr char kInvalidByteElement[] = "<kv:InvalidByte value=\"00\"/>";
constexpr uint32_t kInvalidByteElementSize = sizeof kInvalidByteElement;

// `<kv:InvalidByte value="xx"/>` into `out`; returns its length.
uint32_t PutInvalidByte(uint8_t b, char* out) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::memcpy(out, kInvalidByteElement, kInvalidByteElementSize);
    out[23] = kDigits[b >> 4];
    out[24] = kDigits[b & 0xF];
    return kInvalidByteElementSize - 1;
}

bool AppendInvalidByte(OutputStream& s, uint8_t b) {
    char element[kInvalidByteElementSize];
    return Append(s, element, PutInvalidByte(b, element));
}

bool AppendCodePoint(OutputStream& s, uint32_t code) {
    char element[40] = "<kv:CodePoint value=\"";
    uint32_t n = 21;
    n += FormatU32Hex(&code, element + n, 8);
    std::memcpy(element + n, "\"/>", 3);
    return Append(s, element, n + 3);
}

// `      <kv:NAME offset="N"` into `out`.
uint32_t PutLineStart(const OutputStream& s, char* out) {
    uint32_t n = 0;
    std::memcpy(out, "      <kv:", 10);
    n += 10;
    std::memcpy(out + n, s.name, 3);
    n += 3;
    std::memcpy(out + n, " offset=\"", 9);
    n += 9;
    n += PutDecimal(s.lineStart, 1, out + n);
    out[n++] = '"';
    return n;
}

void StartNextLine(OutputStream& s) {
    s.lineStart = s.offset;
    s.lineLength = 0;
    s.characters = 0;
    s.lineEnd = LineEndState::None;
    s.decoder = DecoderState::Ground;
    s.pendingCount = 0;
}

// Writes the line in progress, ended by `lineEnd` (null: without a line end;
// an empty line then writes nothing).
bool WriteLine(OutputStream& s, const char* lineEnd) {
    if (s.spool == nullptr) return false;
    if (lineEnd == nullptr && s.lineLength == 0) {
        StartNextLine(s);
        return true;
    }
    XmlWriter w(*s.spool);
    char head[64];
    w.Raw(head, PutLineStart(s, head));
    if (lineEnd != nullptr) w.Raw(" EOL=\"").Raw(lineEnd).Raw("\"");
    if (s.lineLength == 0) {
        w.Raw("/>\n");
    } else {
        w.Raw(" xml:space=\"preserve\">").Raw(s.line, s.lineLength).Raw("</kv:").Raw(s.name, 3).Raw(">\n");
    }
    StartNextLine(s);
    return w.ok();
}

// The stream ended after C2, E2 or E2 80, which might have begun a line end.
bool WriteLineWithPendingBytes(OutputStream& s) {
    if (s.spool == nullptr) return false;
    static constexpr uint8_t kE2[] = {0xE2, 0x80};
    const uint8_t c2 = 0xC2;
    const uint8_t* bytes = s.lineEnd == LineEndState::C2Seen ? &c2 : kE2;
    const uint32_t count = s.lineEnd == LineEndState::E280Seen ? 2 : 1;
    XmlWriter w(*s.spool);
    char head[64];
    w.Raw(head, PutLineStart(s, head));
    w.Raw(s.lineLength == 0 ? ">" : " xml:space=\"preserve\">").Raw(s.line, s.lineLength);
    for (uint32_t i = 0; i < count; ++i) {
        char element[kInvalidByteElementSize];
        w.Raw(element, PutInvalidByte(bytes[i], element));
    }
    w.Raw("</kv:").Raw(s.name, 3).Raw(">\n");
    s.offset += count;
    StartNextLine(s);
    return w.ok();
}

bool SplitWhenFull(OutputStream& s) {
    return s.characters < kLineCharacterLimit || WriteLine(s, nullptr);
}

// Invalid bytes count as characters and split lines like them, one by one,
// so that binary output cannot grow a line without bound.
bool RenderInvalid(OutputStream& s, const uint8_t* bytes, uint32_t count) {
    s.decoder = DecoderState::Ground;
    s.pendingCount = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (!AppendInvalidByte(s, bytes[i])) return false;
        s.characters += 1;
        s.offset += 1;
        if (!SplitWhenFull(s)) return false;
    }
    return true;
}

bool RenderOneByteCharacter(OutputStream& s, uint8_t b) {
    switch (b) {
    case '"': return Append(s, "&quot;", 6);
    case '&': return Append(s, "&amp;", 5);
    case '\'': return Append(s, "&apos;", 6);
    case '<': return Append(s, "&lt;", 4);
    case '>': return Append(s, "&gt;", 4);
    default: break;
    }
    if (NeedsCodePointElement(b)) return AppendCodePoint(s, b);
    return Append(s, &b, 1);
}

bool CompleteCharacter(OutputStream& s, const uint8_t* bytes, uint32_t count) {
    if (count == 1) {
        if (!RenderOneByteCharacter(s, bytes[0])) return false;
    } else {
        uint32_t code = bytes[0] & (count == 2 ? 0x1Fu : count == 3 ? 0x0Fu : 0x07u);
        for (uint32_t i = 1; i < count; ++i) code = code << 6 | (bytes[i] & 0x3Fu);
        if (code > 0x10FFFF) return RenderInvalid(s, bytes, count);
        const bool appended = NeedsCodePointElement(code) ? AppendCodePoint(s, code) : Append(s, bytes, count);
        if (!appended) return false;
    }
    s.offset += count;
    s.characters += 1;
    s.decoder = DecoderState::Ground;
    s.pendingCount = 0;
    return SplitWhenFull(s);
}

void Expect(OutputStream& s, DecoderState next, uint8_t b) {
    s.pending[s.pendingCount++] = b;
    s.decoder = next;
}

bool DecodeInGround(OutputStream& s, uint8_t b) {
    switch (b) {
    case 0x0A: s.lineEnd = LineEndState::NlSeen; return true;
    case 0x0B: s.lineEnd = LineEndState::LineTabulation; return true;
    case 0x0C: s.lineEnd = LineEndState::FormFeed; return true;
    case 0x0D: s.lineEnd = LineEndState::CrSeen; return true;
    case 0xC2: s.lineEnd = LineEndState::C2Seen; return true;
    case 0xE2: s.lineEnd = LineEndState::E2Seen; return true;
    default: break;
    }
    if (b < 0x80) return CompleteCharacter(s, &b, 1);
    if (b >= 0xC3 && b <= 0xDF) {
        Expect(s, DecoderState::TwoByteLead, b);
    } else if (b >= 0xE0 && b <= 0xEF) {
        Expect(s, DecoderState::ThreeByteLead, b);
    } else if (b >= 0xF0 && b <= 0xF4) {
        Expect(s, DecoderState::FourByteLead, b);
    } else {
        return RenderInvalid(s, &b, 1);
    }
    return true;
}

// The sequence so far and the byte that broke it are all invalid.
bool BreakSequence(OutputStream& s, uint8_t b) {
    uint8_t bytes[4];
    std::memcpy(bytes, s.pending, s.pendingCount);
    bytes[s.pendingCount] = b;
    return RenderInvalid(s, bytes, s.pendingCount + 1u);
}

bool Decode(OutputStream& s, uint8_t b) {
    const uint8_t lead = s.pending[0];
    switch (s.decoder) {
    case DecoderState::Ground:
        return DecodeInGround(s, b);
    case DecoderState::TwoByteLead:
    case DecoderState::ThreeByteLeadOneContinuation:
    case DecoderState::FourByteLeadTwoContinuations: {
        if (!IsContinuation(b)) return BreakSequence(s, b);
        uint8_t bytes[4];
        std::memcpy(bytes, s.pending, s.pendingCount);
        bytes[s.pendingCount] = b;
        return CompleteCharacter(s, bytes, s.pendingCount + 1u);
    }
    case DecoderState::ThreeByteLead: {
        const bool fits = lead == 0xE0 ? b >= 0xA0 && b <= 0xBF : lead == 0xED ? b >= 0x80 && b <= 0x9F : IsContinuation(b);
        if (!fits) return BreakSequence(s, b);
        Expect(s, DecoderState::ThreeByteLeadOneContinuation, b);
        return true;
    }
    case DecoderState::FourByteLead: {
        const bool fits = lead == 0xF0 ? b >= 0x90 && b <= 0xBF : lead == 0xF4 ? b >= 0x80 && b <= 0x8F : IsContinuation(b);
        if (!fits) return BreakSequence(s, b);
        Expect(s, DecoderState::FourByteLeadOneContinuation, b);
        return true;
    }
    case DecoderState::FourByteLeadOneContinuation:
        if (!IsContinuation(b)) return BreakSequence(s, b);
        Expect(s, DecoderState::FourByteLeadTwoContinuations, b);
        return true;
    }
    return true;
}

// Writes the line whose end was recognised; the end's bytes join the offset.
bool WriteEndedLine(OutputStream& s) {
    s.offset += LineEndLength(s.lineEnd);
    return WriteLine(s, LineEndName(s.lineEnd));
}

// Moves a pending line end on by `b`, which then belongs to it.
bool Grow(OutputStream& s, LineEndState next, bool& consumed) {
    s.lineEnd = next;
    consumed = true;
    return true;
}

// Step one: a pending line end either grows with `b`, is confirmed by it, or
// turns out to have been the start of a character. `consumed` tells whether
// `b` became part of the line end.
bool ResolveLineEnd(OutputStream& s, uint8_t b, bool& consumed) {
    consumed = false;
    switch (s.lineEnd) {
    case LineEndState::None:
        return true;
    case LineEndState::NlSeen:
        return b == 0x0D ? Grow(s, LineEndState::NlCr, consumed) : WriteEndedLine(s);
    case LineEndState::CrSeen:
        return b == 0x0A ? Grow(s, LineEndState::CrNl, consumed) : WriteEndedLine(s);
    case LineEndState::C2Seen:
        if (b == 0x85) return Grow(s, LineEndState::NextLine, consumed);
        s.lineEnd = LineEndState::None;
        Expect(s, DecoderState::TwoByteLead, 0xC2);
        return true;
    case LineEndState::E2Seen:
        if (b == 0x80) return Grow(s, LineEndState::E280Seen, consumed);
        s.lineEnd = LineEndState::None;
        Expect(s, DecoderState::ThreeByteLead, 0xE2);
        return true;
    case LineEndState::E280Seen:
        if (b == 0xA8) return Grow(s, LineEndState::LineSeparator, consumed);
        if (b == 0xA9) return Grow(s, LineEndState::ParagraphSeparator, consumed);
        s.lineEnd = LineEndState::None;
        Expect(s, DecoderState::ThreeByteLead, 0xE2);
        Expect(s, DecoderState::ThreeByteLeadOneContinuation, 0x80);
        return true;
    default:
        return WriteEndedLine(s);
    }
}

bool RenderByte(OutputStream& s, uint8_t b) {
    bool consumed = false;
    if (!ResolveLineEnd(s, b, consumed)) return false;
    return consumed || Decode(s, b);
}

// Plain ASCII between markup and line ends goes in as one piece.
uint32_t PlainRun(const OutputStream& s, const uint8_t* data, uint32_t length) {
    const uint32_t room = kLineCharacterLimit - s.characters;
    const uint32_t limit = length < room ? length : room;
    uint32_t run = 0;
    while (run < limit && IsPlain(data[run])) ++run;
    return run;
}

}  // namespace

bool RenderOutput(OutputStream& s, const uint8_t* data, uint32_t length) {
    s.outOfMemory = false;
    for (uint32_t i = 0; i < length;) {
        if (s.lineEnd == LineEndState::None && s.decoder == DecoderState::Ground && s.characters < kLineCharacterLimit) {
            const uint32_t run = PlainRun(s, data + i, length - i);
            if (run > 0) {
                if (!Append(s, data + i, run)) return false;
                s.characters += run;
                s.offset += run;
                i += run;
                if (!SplitWhenFull(s)) return false;
                continue;
            }
        }
        if (!RenderByte(s, data[i])) return false;
        ++i;
    }
    return true;
}

bool AddToLine(OutputStream& s, const char* markup, uint32_t length) {
    s.outOfMemory = false;
    return Append(s, markup, length);
}

bool EndOutput(OutputStream& s) {
    s.outOfMemory = false;
    if (s.decoder != DecoderState::Ground) {
        uint8_t bytes[3];
        std::memcpy(bytes, s.pending, s.pendingCount);
        if (!RenderInvalid(s, bytes, s.pendingCount)) return false;
    }
    switch (s.lineEnd) {
    case LineEndState::None: return WriteLine(s, nullptr);
    case LineEndState::C2Seen:
    case LineEndState::E2Seen:
    case LineEndState::E280Seen: return WriteLineWithPendingBytes(s);
    default: return WriteEndedLine(s);
    }
}

void ResetOutput(OutputStream& s) {
    s.offset = 0;
    StartNextLine(s);
    s.outOfMemory = false;
}

void FreeOutput(OutputStream& s) {
    std::free(s.line);
    s.line = nullptr;
    s.lineCapacity = 0;
    ResetOutput(s);
}

}  // namespace kestrel
