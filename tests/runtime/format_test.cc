#include "runtime/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace kestrel {
namespace {

TEST(FormatText, SizeFirstThenWriteAndCutAlwaysTerminated) {
    EXPECT_EQ(FormatText(nullptr, 0, "abc"), 4u);
    char small[2] = {'x', 'x'};
    EXPECT_EQ(FormatText(small, 2, "abc"), 4u);
    EXPECT_EQ(small[0], 'a');
    EXPECT_EQ(small[1], '\0');

    const char* name = "world";
    const uint32_t size = FormatText(nullptr, 0, "hello {0}!", {{FormatString, name}});
    ASSERT_EQ(size, 13u);
    std::string exact(size, '?');
    EXPECT_EQ(FormatText(exact.data(), size, "hello {0}!", {{FormatString, name}}), size);
    EXPECT_STREQ(exact.c_str(), "hello world!");

    // A cut inside an argument still terminates at the last byte of the buffer.
    char cut[8];
    std::memset(cut, '?', sizeof cut);
    EXPECT_EQ(FormatText(cut, sizeof cut, "hello {0}!", {{FormatString, name}}), 13u);
    EXPECT_STREQ(cut, "hello w");
}

TEST(FormatText, BracesAndPlaceholders) {
    const char* text = "T";
    EXPECT_EQ(FormatToString("{{0}", {{FormatString, text}}), "{0}");
    EXPECT_EQ(FormatToString("a}b"), "a}b");
    EXPECT_EQ(FormatToString("x{0", {{FormatString, text}}), "x");
    const char* first = "one";
    const char* second = "two";
    EXPECT_EQ(FormatToString("{1} {0}", {{FormatString, first}, {FormatString, second}}), "two one");
    EXPECT_EQ(FormatToString("{0}{0}", {{FormatString, first}}), "oneone");
    EXPECT_EQ(FormatToString("[{10}]", {{FormatString, "0"}, {FormatString, "1"}, {FormatString, "2"},
                                        {FormatString, "3"}, {FormatString, "4"}, {FormatString, "5"},
                                        {FormatString, "6"}, {FormatString, "7"}, {FormatString, "8"},
                                        {FormatString, "9"}, {FormatString, "ten"}}),
              "[ten]");
    // A placeholder naming a pair that was not supplied produces nothing rather than reading past the list.
    EXPECT_EQ(FormatToString("<{3}>", {{FormatString, first}}), "<>");
}

TEST(FormatText, NumbersAtZeroAndMaximum) {
    const uint32_t u32zero = 0, u32max = std::numeric_limits<uint32_t>::max();
    const uint64_t u64zero = 0, u64max = std::numeric_limits<uint64_t>::max();
    const uint16_t u16zero = 0, u16max = 0xFFFF;
    const int32_t i32min = std::numeric_limits<int32_t>::min(), i32max = std::numeric_limits<int32_t>::max();
    const int32_t minusFive = -5, i32zero = 0;
    const uint8_t byteZero = 0, byteTen = 0x0A, byteMax = 0xFF;

    EXPECT_EQ(FormatToString("{0}", {{FormatU32, &u32zero}}), "0");
    EXPECT_EQ(FormatToString("{0}", {{FormatU32, &u32max}}), "4294967295");
    EXPECT_EQ(FormatToString("{0}", {{FormatU32Octal, &u32zero}}), "0");
    EXPECT_EQ(FormatToString("{0}", {{FormatU32Octal, &u32max}}), "37777777777");
    EXPECT_EQ(FormatToString("{0}", {{FormatU32Hex, &u32zero}}), "0");
    EXPECT_EQ(FormatToString("{0}", {{FormatU32Hex, &u32max}}), "ffffffff");
    EXPECT_EQ(FormatToString("{0}", {{FormatU16, &u16zero}}), "0");
    EXPECT_EQ(FormatToString("{0}", {{FormatU16, &u16max}}), "65535");
    EXPECT_EQ(FormatToString("{0}", {{FormatByteHex, &byteZero}}), "00");
    EXPECT_EQ(FormatToString("{0}", {{FormatByteHex, &byteTen}}), "0a");
    EXPECT_EQ(FormatToString("{0}", {{FormatByteHex, &byteMax}}), "ff");
    EXPECT_EQ(FormatToString("{0}", {{FormatU64, &u64zero}}), "0");
    EXPECT_EQ(FormatToString("{0}", {{FormatU64, &u64max}}), "18446744073709551615");
    EXPECT_EQ(FormatToString("{0}", {{FormatU64Octal, &u64zero}}), "0");
    EXPECT_EQ(FormatToString("{0}", {{FormatU64Octal, &u64max}}), "1777777777777777777777");
    EXPECT_EQ(FormatToString("{0}", {{FormatU64Hex, &u64zero}}), "0");
    EXPECT_EQ(FormatToString("{0}", {{FormatU64Hex, &u64max}}), "ffffffffffffffff");
    EXPECT_EQ(FormatToString("{0}", {{FormatI32, &i32zero}}), "0");
    EXPECT_EQ(FormatToString("{0}", {{FormatI32, &minusFive}}), "-5");
    EXPECT_EQ(FormatToString("{0}", {{FormatI32, &i32max}}), "2147483647");
    EXPECT_EQ(FormatToString("{0}", {{FormatI32, &i32min}}), "-2147483648");

    // Numbers cut by a short buffer keep their most significant digits.
    char cut[4];
    EXPECT_EQ(FormatText(cut, sizeof cut, "{0}", {{FormatI32, &i32min}}), 12u);
    EXPECT_STREQ(cut, "-21");
}

TEST(FormatText, CountedStringsStopAtLengthOrNul) {
    const CountedString whole{"abcdef", 3};
    const CountedString withNul{"ab\0cd", 5};
    EXPECT_EQ(FormatToString("{0}", {{FormatCountedString, &whole}}), "abc");
    EXPECT_EQ(FormatToString("{0}", {{FormatCountedString, &withNul}}), "ab");
}

TEST(FormatText, WideStringsBecomeUtf8) {
    const char16_t ascii[] = u"abc";
    const char16_t twoAndThree[] = {0x00E9, 0x20AC, 0};
    const char16_t pair[] = {0xD83D, 0xDE00, 0};           // U+1F600
    const char16_t trailingHigh[] = {'a', 0xD83D, 0};
    const char16_t loneLow[] = {0xDC00, 0};
    const char16_t highThenLetter[] = {0xD83D, 'b', 0};
    EXPECT_EQ(FormatToString("{0}", {{FormatWideString, ascii}}), "abc");
    EXPECT_EQ(FormatToString("{0}", {{FormatWideString, twoAndThree}}), "\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(FormatToString("{0}", {{FormatWideString, pair}}), "\xF0\x9F\x98\x80");
    EXPECT_EQ(FormatToString("{0}", {{FormatWideString, trailingHigh}}), "a\xEF\xBF\xBD");
    // Unpaired surrogates are not encoded as if they were characters: that
    // would be ill-formed UTF-8.
    EXPECT_EQ(FormatToString("{0}", {{FormatWideString, loneLow}}), "\xEF\xBF\xBD");
    EXPECT_EQ(FormatToString("{0}", {{FormatWideString, highThenLetter}}), "\xEF\xBF\xBD" "b");

    // The size reported covers the whole conversion even when the room is short.
    char cut[3];
    EXPECT_EQ(FormatText(cut, sizeof cut, "{0}", {{FormatWideString, pair}}), 5u);
    EXPECT_EQ(cut[2], '\0');
}

}  // namespace
}  // namespace kestrel
