#include "platform/host_name.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace kestrel::platform {

namespace {

bool CopyName(const char* name, char* out, uint32_t room, uint32_t& length) {
    const size_t size = std::strlen(name);
    if (size == 0 || size >= room) return false;
    std::memcpy(out, name, size + 1);
    length = static_cast<uint32_t>(size);
    return true;
}

}  // namespace

bool FullyQualifiedHostName(char* out, uint32_t room, uint32_t& length) {
    char name[256];
    if (gethostname(name, sizeof name) != 0) return false;
    name[sizeof name - 1] = '\0';
    // A name with a domain is already qualified; a bare one gets the
    // canonical name of the resolver, as `hostname -f` shows it.
    if (std::strchr(name, '.') == nullptr) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        if (getaddrinfo(name, nullptr, &hints, &found) == 0) {
            const bool copied = found != nullptr && found->ai_canonname != nullptr &&
                                CopyName(found->ai_canonname, out, room, length);
            freeaddrinfo(found);
            if (copied) return true;
        }
    }
    return CopyName(name, out, room, length);
}

}  // namespace kestrel::platform
