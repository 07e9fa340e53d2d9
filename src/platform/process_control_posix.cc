#include "platform/process_control.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace kestrel::platform {

const char* EnvironmentVariable(const char* name) { return std::getenv(name); }

void SleepMilliseconds(uint32_t milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

void ExitProcessNow(int32_t exitCode) { _exit(exitCode); }

}  // namespace kestrel::platform
