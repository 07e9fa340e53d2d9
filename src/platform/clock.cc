#include "platform/clock.h"

namespace kestrel::platform {

int64_t UnixToFileTime(int64_t seconds, int64_t nanoseconds) {
    return kUnixEpochTicks + seconds * kTicksPerSecond + nanoseconds / 100;
}

}  // namespace kestrel::platform
