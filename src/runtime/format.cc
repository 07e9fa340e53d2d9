#include "runtime/format.h"

#include <cstring>

#include "runtime/utf16.h"
#include "runtime/utf8.h"

namespace kestrel {

namespace {

// Copies the part of `text` that fits and reports the whole length.
uint32_t EmitBytes(const char* text, uint32_t length, char* out, uint32_t room) {
    if (room > 0) std::memcpy(out, text, length < room ? length : room);
    return length;
}

uint32_t FormatUnsigned(uint64_t value, unsigned base, char* out, uint32_t room) {
    static constexpr char kDigits[] = "0123456789abcdef";
    char digits[24];
    uint32_t count = 0;
    do {
        if (base == 10) {
            digits[count++] = kDigits[value % 10];
            value /= 10;
        } else {
            const unsigned shift = base == 8 ? 3 : 4;
            digits[count++] = kDigits[value & (base - 1)];
            value >>= shift;
        }
    } while (value != 0);
    char text[24];
    for (uint32_t i = 0; i < count; ++i) text[i] = digits[count - 1 - i];
    return EmitBytes(text, count, out, room);
}

}  // namespace

uint32_t FormatText(char* destination, uint32_t size, const char* format,
                    std::initializer_list<FormatArg> args) {
    const FormatArg* pairs = args.begin();
    uint32_t count = 0;
    const char* p = format;
    for (;;) {
        // Literal text runs up to the next brace and is copied in one piece.
        const uint32_t run = static_cast<uint32_t>(std::strcspn(p, "{"));
        EmitBytes(p, run, count < size ? destination + count : nullptr, count < size ? size - count : 0);
        count += run;
        p += run;
        if (*p == '\0') break;
        // Placeholder state: "{{" is an escaped brace, "{N}" takes pair N.
        ++p;
        uint32_t index = 0;
        for (; *p != '\0' && *p != '{' && *p != '}'; ++p) index = index * 10 + static_cast<uint32_t>(*p - '0');
        if (*p == '\0') break;  // a placeholder still open at the end produces nothing
        if (*p == '{') {
            if (count < size) destination[count] = '{';
            ++count;
        } else if (index < args.size()) {  // a format naming a missing pair produces nothing
            const FormatArg& pair = pairs[index];
            if (count < size)
                count += pair.formatter(pair.argument, destination + count, size - count);
            else
                count += pair.formatter(pair.argument, nullptr, 0);
        }
        ++p;
    }
    if (size > 0) destination[count < size ? count : size - 1] = '\0';
    return count + 1;
}

uint32_t FormatU32(const void* value, char* out, uint32_t room) {
    return FormatUnsigned(*static_cast<const uint32_t*>(value), 10, out, room);
}
uint32_t FormatU32Octal(const void* value, char* out, uint32_t room) {
    return FormatUnsigned(*static_cast<const uint32_t*>(value), 8, out, room);
}
uint32_t FormatU32Hex(const void* value, char* out, uint32_t room) {
    return FormatUnsigned(*static_cast<const uint32_t*>(value), 16, out, room);
}
uint32_t FormatU16(const void* value, char* out, uint32_t room) {
    return FormatUnsigned(*static_cast<const uint16_t*>(value), 10, out, room);
}
uint32_t FormatByteHex(const void* value, char* out, uint32_t room) {
    static constexpr char kDigits[] = "0123456789abcdef";
    const uint8_t byte = *static_cast<const uint8_t*>(value);
    const char text[2] = {kDigits[byte >> 4], kDigits[byte & 0xF]};
    return EmitBytes(text, 2, out, room);
}
uint32_t FormatU64(const void* value, char* out, uint32_t room) {
    return FormatUnsigned(*static_cast<const uint64_t*>(value), 10, out, room);
}
uint32_t FormatU64Octal(const void* value, char* out, uint32_t room) {
    return FormatUnsigned(*static_cast<const uint64_t*>(value), 8, out, room);
}
uint32_t FormatU64Hex(const void* value, char* out, uint32_t room) {
    return FormatUnsigned(*static_cast<const uint64_t*>(value), 16, out, room);
}

uint32_t FormatI32(const void* value, char* out, uint32_t room) {
    const int32_t signedValue = *static_cast<const int32_t*>(value);
    if (signedValue >= 0) return FormatUnsigned(static_cast<uint32_t>(signedValue), 10, out, room);
    // The magnitude of INT32_MIN does not fit an i32; take it in 64 bits.
    const uint64_t magnitude = static_cast<uint64_t>(-static_cast<int64_t>(signedValue));
    if (room > 0) *out = '-';
    return 1 + FormatUnsigned(magnitude, 10, room > 0 ? out + 1 : nullptr, room > 0 ? room - 1 : 0);
}

uint32_t FormatString(const void* text, char* out, uint32_t room) {
    const char* bytes = static_cast<const char*>(text);
    return EmitBytes(bytes, static_cast<uint32_t>(std::strlen(bytes)), out, room);
}

uint32_t FormatCountedString(const void* text, char* out, uint32_t room) {
    const CountedString* counted = static_cast<const CountedString*>(text);
    uint32_t length = 0;
    while (length < counted->length && counted->bytes[length] != '\0') ++length;
    return EmitBytes(counted->bytes, length, out, room);
}

uint32_t FormatWideString(const void* text, char* out, uint32_t room) {
    const char16_t* units = static_cast<const char16_t*>(text);
    uint32_t length = 0;
    while (*units != 0) {
        // One unit, or two when the text goes on: a pair never spans the terminator.
        uint32_t code = 0;
        units += DecodeUtf16Replacing(units, units[1] != 0 ? 2 : 1, code);
        uint8_t bytes[4];
        const uint32_t n = EncodeUtf8(code, bytes);
        for (uint32_t i = 0; i < n; ++i, ++length)
            if (length < room) out[length] = static_cast<char>(bytes[i]);
    }
    return length;
}

std::string FormatToString(const char* format, std::initializer_list<FormatArg> args) {
    const uint32_t size = FormatText(nullptr, 0, format, args);
    std::string text(size, '\0');
    FormatText(text.data(), size, format, args);
    text.resize(size - 1);
    return text;
}

}  // namespace kestrel
