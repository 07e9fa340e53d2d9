#include "runtime/utf16.h"

#include "platform/system_errors.h"
#include "runtime/utf8.h"

namespace kestrel {

namespace {

bool IsSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }
bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

uint32_t UnitLe(const uint8_t* bytes) { return static_cast<uint32_t>(bytes[0] | bytes[1] << 8); }

// The code point that starts with `first`; `second` is read only when it
// exists (`available` > 1) and is needed. Units taken, 0 for an unpaired
// surrogate.
template <typename NextUnit>
uint32_t Combine(uint32_t first, uint32_t available, NextUnit second, uint32_t& code) {
    if (!IsSurrogate(first)) {
        code = first;
        return 1;
    }
    if (!IsHighSurrogate(first) || available < 2) return 0;
    const uint32_t low = second();
    if (!IsLowSurrogate(low)) return 0;
    code = 0x10000 + ((first - 0xD800) << 10) + (low - 0xDC00);
    return 2;
}

// Splits `code` into its 1 or 2 units.
uint32_t Split(uint32_t code, uint32_t (&units)[2]) {
    if (code < 0x10000) {
        units[0] = code;
        return 1;
    }
    code -= 0x10000;
    units[0] = 0xD800 | (code >> 10);
    units[1] = 0xDC00 | (code & 0x3FF);
    return 2;
}

}  // namespace

uint32_t DecodeUtf16Le(const uint8_t* bytes, uint32_t availableUnits, uint32_t& code) {
    return Combine(UnitLe(bytes), availableUnits, [bytes] { return UnitLe(bytes + 2); }, code);
}

uint32_t DecodeUtf16(const char16_t* units, uint32_t availableUnits, uint32_t& code) {
    return Combine(units[0], availableUnits, [units] { return static_cast<uint32_t>(units[1]); }, code);
}

uint32_t DecodeUtf16Replacing(const char16_t* units, uint32_t availableUnits, uint32_t& code) {
    const uint32_t taken = DecodeUtf16(units, availableUnits, code);
    if (taken > 0) return taken;
    code = kReplacementCharacter;
    return 1;
}

uint32_t EncodeUtf16Le(uint32_t code, uint8_t* out) {
    uint32_t units[2];
    const uint32_t count = Split(code, units);
    for (uint32_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<uint8_t>(units[i]);
        out[2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }
    return count;
}

uint32_t EncodeUtf16(uint32_t code, char16_t* out) {
    uint32_t units[2];
    const uint32_t count = Split(code, units);
    for (uint32_t i = 0; i < count; ++i) out[i] = static_cast<char16_t>(units[i]);
    return count;
}

bool Utf8ToUtf16(const char* text, uint32_t length, char16_t* out, uint32_t room, uint32_t& units, int& error) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    uint32_t written = 0;
    bool ok = room > 0;
    if (!ok) error = platform::kErrorBufferTooSmall;
    for (uint32_t at = 0; ok && at < length;) {
        uint32_t code = 0;
        const uint32_t taken = DecodeUtf8(bytes + at, length - at, code);
        if (taken == 0) {
            error = platform::kErrorIllegalSequence;
            ok = false;
            break;
        }
        const uint32_t needed = code >= 0x10000 ? 2 : 1;
        if (written + needed > room - 1) {
            error = platform::kErrorBufferTooSmall;
            ok = false;
            break;
        }
        written += EncodeUtf16(code, out + written);
        at += taken;
    }
    if (room > 0) out[written] = u'\0';
    if (ok) units = written;
    return ok;
}

}  // namespace kestrel
