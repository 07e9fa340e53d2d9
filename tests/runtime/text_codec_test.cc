// The one UTF-8 and UTF-16 codec: every scalar value survives both
// encodings, the byte and char16_t forms of UTF-16 agree, and ill-formed
// input is refused (strict) or replaced by U+FFFD, one per ill-formed part.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/system_errors.h"
#include "runtime/utf16.h"
#include "runtime/utf8.h"

namespace kestrel {
namespace {

bool IsScalarValue(uint32_t code) { return code < 0xD800 || (code > 0xDFFF && code <= 0x10FFFF); }

TEST(TextCodec, EveryScalarValueSurvivesBothEncodings) {
    uint32_t failures = 0;
    for (uint32_t code = 0; code <= 0x10FFFF; ++code) {
        if (!IsScalarValue(code)) continue;
        uint8_t le[4];
        char16_t units[2];
        const uint32_t count = EncodeUtf16Le(code, le);
        const bool sameForms = EncodeUtf16(code, units) == count && units[0] == (le[0] | le[1] << 8) &&
                               (count == 1 || units[1] == (le[2] | le[3] << 8));
        uint32_t fromLe = 0, fromUnits = 0, fromUtf8 = 0;
        uint8_t utf8[4];
        const uint32_t bytes = EncodeUtf8(code, utf8);
        const bool back = DecodeUtf16Le(le, count, fromLe) == count && DecodeUtf16(units, count, fromUnits) == count &&
                          DecodeUtf8(utf8, bytes, fromUtf8) == bytes;
        if (!sameForms || !back || fromLe != code || fromUnits != code || fromUtf8 != code) ++failures;
    }
    EXPECT_EQ(failures, 0u);
}

TEST(TextCodec, Utf16UnitsOfKnownCodePoints) {
    struct Case {
        uint32_t code;
        uint32_t count;
        uint16_t units[2];
    };
    const Case cases[] = {
        {0x41, 1, {0x0041}},          {0xE9, 1, {0x00E9}},          {0xFFFD, 1, {0xFFFD}},
        {0x10000, 2, {0xD800, 0xDC00}}, {0x1F600, 2, {0xD83D, 0xDE00}}, {0x10FFFF, 2, {0xDBFF, 0xDFFF}},
    };
    for (const Case& c : cases) {
        uint8_t out[4] = {};
        ASSERT_EQ(EncodeUtf16Le(c.code, out), c.count) << std::hex << c.code;
        for (uint32_t i = 0; i < c.count; ++i) {
            EXPECT_EQ(out[2 * i], c.units[i] & 0xFF) << std::hex << c.code << " unit " << i;
            EXPECT_EQ(out[2 * i + 1], c.units[i] >> 8) << std::hex << c.code << " unit " << i;
        }
    }
}

TEST(TextCodec, UnpairedSurrogatesAreRefusedOrReplaced) {
    struct Case {
        const char* what;
        char16_t units[2];
        uint32_t available;
    };
    const Case cases[] = {
        {"high surrogate at the end", {0xD83D, 0}, 1},
        {"high surrogate before a letter", {0xD83D, 'b'}, 2},
        {"two high surrogates", {0xD83D, 0xD83D}, 2},
        {"lone low surrogate", {0xDE00, 'b'}, 2},
    };
    for (const Case& c : cases) {
        uint8_t le[4] = {static_cast<uint8_t>(c.units[0]), static_cast<uint8_t>(c.units[0] >> 8),
                         static_cast<uint8_t>(c.units[1]), static_cast<uint8_t>(c.units[1] >> 8)};
        uint32_t code = 0;
        EXPECT_EQ(DecodeUtf16Le(le, c.available, code), 0u) << c.what;
        EXPECT_EQ(DecodeUtf16(c.units, c.available, code), 0u) << c.what;
        EXPECT_EQ(DecodeUtf16Replacing(c.units, c.available, code), 1u) << c.what;
        EXPECT_EQ(code, kReplacementCharacter) << c.what;
    }
}

TEST(TextCodec, ReplacingUtf8DecoderConsumesEachIllFormedPartOnce) {
    struct Case {
        std::string bytes;
        uint32_t taken;
        uint32_t code;
    };
    const Case cases[] = {
        {"\xC3\xA9", 2, 0xE9},
        {"\xE2\x82", 2, kReplacementCharacter},      // cut three-byte sequence
        {"\xE2\x82" "A", 2, kReplacementCharacter},  // ... followed by a character
        {"\xE0\x80\x80", 1, kReplacementCharacter},  // overlong: the lead alone
        {"\xED\xA0\x80", 1, kReplacementCharacter},  // encoded surrogate
        {"\xF4\x90\x80\x80", 1, kReplacementCharacter},  // above U+10FFFF
        {"\xFF", 1, kReplacementCharacter},
        {"\x80", 1, kReplacementCharacter},
    };
    for (const Case& c : cases) {
        uint32_t code = 0;
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.bytes.data());
        EXPECT_EQ(DecodeUtf8Replacing(bytes, static_cast<uint32_t>(c.bytes.size()), code), c.taken) << c.bytes;
        EXPECT_EQ(code, c.code) << c.bytes;
    }
}

TEST(TextCodec, Utf8ToUtf16ReportsTheSystemsCodes) {
    char16_t out[4];
    uint32_t units = 99;
    int error = 0;
    ASSERT_TRUE(Utf8ToUtf16("a\xF0\x9F\x98\x80", 5, out, 4, units, error));
    EXPECT_EQ(units, 3u);
    EXPECT_EQ(std::u16string(out), u"a\U0001F600");

    EXPECT_FALSE(Utf8ToUtf16("a\xC3", 2, out, 4, units, error));
    EXPECT_EQ(error, platform::kErrorIllegalSequence);

    // A pair that would need the terminator's unit does not fit.
    EXPECT_FALSE(Utf8ToUtf16("ab\xF0\x9F\x98\x80", 6, out, 4, units, error));
    EXPECT_EQ(error, platform::kErrorBufferTooSmall);
    EXPECT_EQ(std::u16string(out), u"ab") << "what fitted stays, terminated";
}

}  // namespace
}  // namespace kestrel
