#include "report/log_values.h"

#include <charconv>

namespace kestrel::report {
namespace {

// Reads exactly `width` digits (or at least `width` when `atLeast`) from
// `text` at `at`.
bool Digits(std::string_view text, size_t& at, size_t width, bool atLeast, int64_t& value) {
    value = 0;
    size_t count = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && (atLeast || count < width)) {
        if (value > INT64_MAX / 100) return false;
        value = value * 10 + (text[at] - '0');
        ++at;
        ++count;
    }
    return count >= width;
}

bool Expect(std::string_view text, size_t& at, char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

// Up to `places` decimals as that many places: "25" of 7 gives 2500000.
bool Fraction(std::string_view text, size_t& at, int places, int64_t& value) {
    value = 0;
    int count = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        if (count < places) value = value * 10 + (text[at] - '0');
        ++count;
        ++at;
    }
    if (count == 0) return false;
    for (int i = count; i < places; ++i) value *= 10;
    return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

bool ParseTimestamp(std::string_view text, int64_t& ticks) {
    size_t at = 0;
    int64_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, fraction = 0;
    if (!Digits(text, at, 4, true, year) || !Expect(text, at, '-') || !Digits(text, at, 2, false, month) ||
        !Expect(text, at, '-') || !Digits(text, at, 2, false, day) || !Expect(text, at, 'T') ||
        !Digits(text, at, 2, false, hour) || !Expect(text, at, ':') || !Digits(text, at, 2, false, minute) ||
        !Expect(text, at, ':') || !Digits(text, at, 2, false, second) || !Expect(text, at, '.') ||
        !Fraction(text, at, 7, fraction) || at >= text.size())
        return false;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return false;
    const char sign = text[at++];
    if (sign != '+' && sign != '-') return false;
    int64_t offsetHours = 0, offsetMinutes = 0;
    if (!Digits(text, at, 2, true, offsetHours) || !Expect(text, at, ':') ||
        !Digits(text, at, 2, false, offsetMinutes) || at != text.size() || offsetMinutes > 59)
        return false;
    const int64_t offset = (offsetHours * 60 + offsetMinutes) * 60 * (sign == '+' ? 1 : -1);
    const int64_t seconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - offset;
    ticks = seconds * kTicksPerSecond + fraction;
    return true;
}

bool ParseDuration(std::string_view text, int64_t& ticks) {
    size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++at;
    int64_t seconds = 0, fraction = 0;
    if (!Digits(text, at, 1, true, seconds) || !Expect(text, at, '.') || !Fraction(text, at, 7, fraction) ||
        at != text.size() || text.size() - (text.find('.') + 1) > 7 || seconds > INT64_MAX / kTicksPerSecond - 1)
        return false;
    ticks = seconds * kTicksPerSecond + fraction;
    if (negative) ticks = -ticks;
    return true;
}

bool ParseNumber(std::string_view text, uint32_t& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

std::string SecondsText(int64_t ticks) {
    if (ticks < 0) return "-" + SecondsText(-ticks);
    const int64_t tenths = ticks / (kTicksPerSecond / 10);
    const int64_t seconds = ticks / kTicksPerSecond;
    if (seconds < 60) return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " s";
    if (seconds < 3600) return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
}

std::string MicrosecondsText(int64_t ticks) {
    const bool negative = ticks < 0;
    const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(ticks) : static_cast<uint64_t>(ticks);
    return (negative ? "-" : "") + std::to_string(magnitude / 10) + "." + std::to_string(magnitude % 10);
}

}  // namespace kestrel::report
