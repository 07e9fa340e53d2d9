// The text conventions of build_log.xml: timestamps, durations, elapsed
// times, and escaping that keeps every document well-formed.
#include "logs/build_log_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "build_log_fixture.h"

namespace kestrel::test {
namespace {

std::string Formatted(ArgumentFormatter formatter, const void* value) {
    std::string text(formatter(value, nullptr, 0), '\0');
    formatter(value, text.data(), static_cast<uint32_t>(text.size()));
    return text;
}

TEST(BuildLogText, TimestampsAreLocalTimesWithTheirOffset) {
    struct Case {
        LocalTime time;
        const char* text;
    } cases[] = {
        {{FileTimeOf(2024, 1, 13, 9, 15, 2, 500), -60}, "2024-01-13T09:15:02.5+01:00"},
        {{FileTimeOf(2024, 1, 13, 9, 15, 2, 250), -60}, "2024-01-13T09:15:02.25+01:00"},
        {{FileTimeOf(2024, 1, 13, 9, 15, 2, 123), -60}, "2024-01-13T09:15:02.123+01:00"},
        {{FileTimeOf(2024, 1, 13, 9, 15, 2, 0), -60}, "2024-01-13T09:15:02.0+01:00"},
        {{FileTimeOf(2024, 2, 29, 23, 59, 59, 999), 0}, "2024-02-29T23:59:59.999-00:00"},
        {{FileTimeOf(2000, 12, 31, 0, 0, 0, 10), 300}, "2000-12-31T00:00:00.01-05:00"},
        {{FileTimeOf(1999, 3, 1, 12, 0, 0), -330}, "1999-03-01T12:00:00.0+05:30"},
        {{FileTimeOf(2100, 3, 1, 1, 2, 3), 840}, "2100-03-01T01:02:03.0-14:00"},
        {{FileTimeOf(1601, 1, 1, 0, 0, 0), 6000}, "1601-01-01T00:00:00.0-100:00"},
        // Below a millisecond is not shown.
        {{FileTimeOf(2024, 1, 13, 9, 15, 2, 1) + 9999, -60}, "2024-01-13T09:15:02.001+01:00"},
    };
    for (const Case& c : cases) EXPECT_EQ(Formatted(FormatTimestamp, &c.time), c.text);
}

TEST(BuildLogText, DurationsAndElapsedTimes) {
    const std::pair<int64_t, const char*> durations[] = {
        {752'500'000, "75.25"}, {20'000'000, "2.0"}, {1'234'567, "0.1234567"}, {0, "0.0"},
        {1, "0.0000001"},       {-15'000'000, "-1.5"}, {864'000'000'000, "86400.0"},
    };
    for (const auto& [ticks, text] : durations) EXPECT_EQ(Formatted(FormatDuration, &ticks), text);
    const std::pair<uint64_t, const char*> elapsed[] = {
        {500'000'000, "0.5"}, {3'000'000'000, "3.0"}, {1, "0.000000001"}, {0, "0.0"}, {18'446'744'073'709'551'615u, "18446744073.709551615"},
    };
    for (const auto& [nanoseconds, text] : elapsed) EXPECT_EQ(Formatted(FormatElapsed, &nanoseconds), text);
}

std::string Escaped(XmlText text) {
    TempDir directory;
    const std::string path = directory / "escaped";
    std::FILE* stream = std::fopen(path.c_str(), "w+b");
    XmlWriter writer(stream);
    EXPECT_TRUE(writer.Escaped(text).ok());
    std::fclose(stream);
    return ReadFile(path);
}

std::string EscapedUtf8(const std::string& bytes) {
    return Escaped(XmlText{reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()), false});
}

TEST(BuildLogText, EscapingKeepsTheDocumentWellFormed) {
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"a\"b&c'd<e>f", "a&quot;b&amp;c&apos;d&lt;e&gt;f"},
        {"tab\tline\ncr\r", "tab\tline\ncr\r"},
        {std::string("nul\0bell\a esc\x1b del\x7f", 19), "nul" + r + "bell" + r + " esc" + r + " del\x7f"},
        {"\xFF\xFE", r + r},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"cut \xE2\x82", "cut " + r},
        {"overlong \xC0\xAF", "overlong " + r + r},
        {"surrogate \xED\xA0\x80", "surrogate " + r + r + r},
        {"\xEF\xBF\xBE and \xEF\xBF\xBF", r + " and " + r},
        {"\xEF\xBF\xBD stays", "\xEF\xBF\xBD stays"},
        {"\xF0\x9F\xBF\xBE is allowed", "\xF0\x9F\xBF\xBE is allowed"},
    };
    for (const auto& [input, output] : cases) EXPECT_EQ(EscapedUtf8(input), output) << input;
}

TEST(BuildLogText, Utf16TextIsDecodedStrictly) {
    const std::string units = Units({'a', '<', 0xD83D, 0xDE00, 0xD800, 'b', 0xDC00, 0x0007, 0x00E9, 0xDBFF});
    // The terminator unit is not part of the text.
    const XmlText text{reinterpret_cast<const uint8_t*>(units.data()), static_cast<uint32_t>(units.size() - 2), true};
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(Escaped(text), "a&lt;\xF0\x9F\x98\x80" + r + "b" + r + r + "\xC3\xA9" + r);
}

TEST(BuildLogText, AFailedWriteIsRemembered) {
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    XmlWriter writer(full);
    EXPECT_FALSE(writer.Raw("x").ok());
    EXPECT_FALSE(writer.Escaped("more").Format("{0}", {{FormatString, "again"}}).ok());
    std::fclose(full);
}

}  // namespace
}  // namespace kestrel::test
