// Text conventions shared by every element of build_log.xml: escaping,
// timestamps, durations and elapsed times, and a stream writer that remembers
// its first failure so that callers check once per element.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "runtime/format.h"

namespace kestrel {

class LogSpool;

inline constexpr char kBuildLogNamespace[] = "https://kestrel.build/Kestrelvane/BuildLog/1.0/";
inline constexpr char kBuildLogVersion[] = "0.1.2024";
inline constexpr char kBuildLogWriteFailed[] = "Cannot write to the build log";

// Text to be escaped: UTF-8 bytes, or UTF-16LE units when `utf16` is set
// (`length` counts bytes either way).
struct XmlText {
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    bool utf16 = false;
};

XmlText Utf8Text(const char* text);

// A FILETIME count of local time and the time zone bias in minutes that was
// in force (UTC = local + bias).
struct LocalTime {
    int64_t fileTime = 0;
    int32_t biasMinutes = 0;
};

// later - earlier in 100-ns ticks. Times come from files and may be anything;
// the difference wraps instead of overflowing.
inline int64_t TimeSpan(int64_t later, int64_t earlier) {
    return static_cast<int64_t>(static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier));
}

// FormatText formatters for the document's values.
// const LocalTime*: 2024-01-13T09:15:02.5+01:00
uint32_t FormatTimestamp(const void* time, char* out, uint32_t room);
// const int64_t* (100-ns ticks): 75.25, 2.0, 0.1234567; a negative span keeps its sign.
uint32_t FormatDuration(const void* ticks, char* out, uint32_t room);
// const uint64_t* (nanoseconds): 0.5, 3.0, 0.000000001
uint32_t FormatElapsed(const void* nanoseconds, char* out, uint32_t room);

// Appends to a stdio stream or a spool. Every call after a failed write does
// nothing; ok() tells whether everything so far was written.
class XmlWriter {
public:
    explicit XmlWriter(std::FILE* stream) : stream_(stream) {}
    explicit XmlWriter(LogSpool& spool) : stream_(nullptr), spool_(&spool) {}

    XmlWriter& Raw(const char* literal);
    XmlWriter& Raw(const void* bytes, size_t count);
    // Escapes the five markup characters. What XML 1.0 cannot carry (control
    // characters other than TAB, LF and CR, ill-formed UTF-8 or UTF-16,
    // U+FFFE and U+FFFF) becomes U+FFFD, so the document stays readable.
    XmlWriter& Escaped(XmlText text);
    XmlWriter& Escaped(const char* text) { return Escaped(Utf8Text(text)); }
    XmlWriter& Format(const char* format, std::initializer_list<FormatArg> args);

    bool ok() const { return ok_; }
    std::FILE* stream() const { return stream_; }

private:
    std::FILE* stream_;
    LogSpool* spool_ = nullptr;
    bool ok_ = true;
};

// Decimal digits of `value`, at least `width` of them with leading zeros; returns their count.
uint32_t PutDecimal(uint64_t value, uint32_t width, char* out);

// Whether XML 1.0 allows the code point as a character of the document.
bool IsXmlCharacter(uint32_t code);

}  // namespace kestrel
