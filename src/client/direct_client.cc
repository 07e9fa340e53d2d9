#include "client/direct_client.h"

namespace kestrel {

void RequestAbort(DirectClient& client) {
    std::lock_guard<std::mutex> hold(client.lock);
    client.abortRequested = true;
}

bool IsAbortRequested(DirectClient& client) {
    std::lock_guard<std::mutex> hold(client.lock);
    return client.abortRequested;
}

}  // namespace kestrel
