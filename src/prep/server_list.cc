#include <cstdlib>
#include <cstring>

#include "platform/process.h"
#include "prep/preparation.h"
#include "runtime/error_codes.h"

namespace kestrel {

namespace {

constexpr const char* kServerListVariable = "KV_SSH_SERVER_LIST";

bool IsSeparator(char c) { return c == ':' || c == ';'; }

// The entry [start, end) names `host` when the text after its at sign is
// `host` exactly. The last at sign counts, as it does for ssh, which reads
// the entry as its destination.
bool EntryNamesHost(const char* start, const char* end, const char* host, size_t hostLength) {
    const char* at = nullptr;
    for (const char* c = start; c < end; ++c)
        if (*c == '@') at = c;
    if (at == nullptr) return false;  // not a user@host entry
    const char* entryHost = at + 1;
    return static_cast<size_t>(end - entryHost) == hostLength && std::memcmp(entryHost, host, hostLength) == 0;
}

uint32_t CopyOut(const char* text, size_t length, char* out, uint32_t room) {
    if (room > 0) {
        const size_t copied = length < room ? length : room - 1;
        std::memcpy(out, text, copied);
        out[copied] = '\0';
    }
    return static_cast<uint32_t>(length);
}

}  // namespace

namespace PreparationThread {

uint32_t SshDestination(const char* serverList, const char* host, char* out, uint32_t room) {
    const size_t hostLength = std::strlen(host);
    if (serverList != nullptr) {
        const char* start = serverList;
        for (;;) {
            const char* end = start;
            while (*end != '\0' && !IsSeparator(*end)) ++end;
            if (EntryNamesHost(start, end, host, hostLength))
                return CopyOut(start, static_cast<size_t>(end - start), out, room);
            if (*end == '\0') break;
            start = end + 1;
        }
    }
    return CopyOut(host, hostLength, out, room);
}

bool ReadServerList(PreparationQueue& queue, int32_t& error) {
    queue.serverList = nullptr;
    const char* value = platform::EnvironmentVariable(kServerListVariable);
    if (value == nullptr) return true;
    const size_t size = std::strlen(value) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy == nullptr) {
        error = kErrorNotEnoughMemory;
        return false;
    }
    std::memcpy(copy, value, size);
    queue.serverList = copy;
    return true;
}

void ReleaseServerList(PreparationQueue& queue) {
    std::free(queue.serverList);
    queue.serverList = nullptr;
}

}  // namespace PreparationThread

}  // namespace kestrel
