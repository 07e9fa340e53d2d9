#include "platform/cpu.h"

#include <windows.h>

namespace kestrel::platform {

uint32_t ProcessorCount() {
    const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    return count > 0 ? static_cast<uint32_t>(count) : 1;
}

}  // namespace kestrel::platform
