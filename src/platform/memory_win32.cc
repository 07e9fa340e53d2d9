#include "platform/memory.h"

#include <windows.h>

namespace kestrel::platform {

void* MapMemory(size_t size, int& error) {
    void* address = VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (address == nullptr) error = static_cast<int>(GetLastError());
    return address;
}

void UnmapMemory(void* address, size_t) {
    // A release gives back the whole reservation; its size must be 0.
    if (address != nullptr) VirtualFree(address, 0, MEM_RELEASE);
}

}  // namespace kestrel::platform
