// Time as the client records it: local time counted in 100-nanosecond units
// since 1601-01-01 (a FILETIME count), and a monotonic clock for time-outs.
#pragma once

#include <cstdint>

namespace kestrel::platform {

inline constexpr int64_t kTicksPerSecond = 10'000'000;
// 100-ns ticks between 1601-01-01 and 1970-01-01.
inline constexpr int64_t kUnixEpochTicks = 116'444'736'000'000'000;

// The current local wall-clock time as a FILETIME count.
int64_t LocalFileTimeNow();

// Converts seconds and nanoseconds since 1970 (UTC) to a FILETIME count (UTC).
int64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds);

// Minutes to add to local time to get UTC, for standard time (daylight not added).
int32_t TimeZoneBiasMinutes();

// A clock that never jumps, in 100-ns ticks from an arbitrary origin.
int64_t MonotonicTicks();

}  // namespace kestrel::platform
