#include "platform/clock.h"

#include <windows.h>

namespace kestrel::platform {

namespace {

int64_t TicksOf(const FILETIME& time) {
    return static_cast<int64_t>(static_cast<uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime);
}

int64_t CounterFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

}  // namespace

int64_t LocalFileTimeNow() {
    // The precise clock keeps the 100-ns resolution that the local calendar
    // time (whole milliseconds) would lose.
    FILETIME universal;
    GetSystemTimePreciseAsFileTime(&universal);
    FILETIME local;
    if (!FileTimeToLocalFileTime(&universal, &local)) return TicksOf(universal);
    return TicksOf(local);
}

int32_t TimeZoneBiasMinutes() {
    TIME_ZONE_INFORMATION zone;
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return 0;
    return static_cast<int32_t>(zone.Bias);
}

int64_t MonotonicTicks() {
    static const int64_t frequency = CounterFrequency();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    const int64_t count = counter.QuadPart;
    if (frequency == kTicksPerSecond) return count;
    // Whole seconds and the rest apart, so that no product can overflow.
    return count / frequency * kTicksPerSecond + count % frequency * kTicksPerSecond / frequency;
}

}  // namespace kestrel::platform
