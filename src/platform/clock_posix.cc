#include "platform/clock.h"

#include <time.h>

namespace kestrel::platform {

int64_t LocalFileTimeNow() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    struct tm local;
    localtime_r(&now.tv_sec, &local);
    return UnixToFileTime(now.tv_sec + local.tm_gmtoff, now.tv_nsec);
}

int32_t TimeZoneBiasMinutes() {
    tzset();
    return static_cast<int32_t>(timezone / 60);
}

int64_t MonotonicTicks() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / 100;
}

}  // namespace kestrel::platform
