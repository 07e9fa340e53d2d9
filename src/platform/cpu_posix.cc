#include "platform/cpu.h"

#if defined(__linux__)
#include <sched.h>
#endif
#include <unistd.h>

namespace kestrel::platform {

uint32_t ProcessorCount() {
#if defined(__linux__)
    // The affinity mask, not the machine: a container or taskset may allow fewer.
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) {
        const int count = CPU_COUNT(&allowed);
        if (count > 0) return static_cast<uint32_t>(count);
    }
#endif
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<uint32_t>(online) : 1;
}

}  // namespace kestrel::platform
