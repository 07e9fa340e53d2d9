#include "platform/memory.h"

#include <sys/mman.h>

#include <cerrno>

namespace kestrel::platform {

void* MapMemory(size_t size, int& error) {
    void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (address == MAP_FAILED) {
        error = errno;
        return nullptr;
    }
    return address;
}

void UnmapMemory(void* address, size_t size) {
    if (address != nullptr) munmap(address, size);
}

}  // namespace kestrel::platform
