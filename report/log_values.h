// The value formats of build_log.xml: timestamps with their offset and
// durations in seconds, both held as 100-ns ticks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::report {

inline constexpr int64_t kTicksPerSecond = 10'000'000;

// 2024-01-13T09:15:02.5+01:00 as ticks since 1970-01-01 UTC. False when the
// text is not of that form.
bool ParseTimestamp(std::string_view text, int64_t& ticks);

// 75.25 (seconds, up to seven decimals, negative when the clock went back)
// as ticks. False when the text is not of that form.
bool ParseDuration(std::string_view text, int64_t& ticks);

// An unsigned decimal number; false when the text is not one.
bool ParseNumber(std::string_view text, uint32_t& value);

// Ticks as seconds for people: "75.3 s", "12 min 5 s", "1 h 2 min".
std::string SecondsText(int64_t ticks);

// Ticks as microseconds with one decimal, exact: 715000000.0.
std::string MicrosecondsText(int64_t ticks);

}  // namespace kestrel::report
