#include <cstdlib>
#include <cstring>

#include "prep/preparation_steps.h"
#include "runtime/error_codes.h"
#include "runtime/utf8.h"
#include "script/objects.h"

namespace kestrel::preparation {

namespace {

struct HostBuffer {
    char* text = nullptr;
    uint32_t capacity = 0;  // bytes
    ~HostBuffer() { std::free(text); }
};

thread_local HostBuffer tHostBuffer;

// The length of `name` when all of it is well-formed UTF-8.
bool MeasureUtf8(const char* name, uint32_t& length) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(name);
    const size_t size = std::strlen(name);
    if (size >= UINT32_MAX) return false;
    for (uint32_t at = 0, code = 0; at < size;) {
        const uint32_t step = DecodeUtf8(bytes + at, static_cast<uint32_t>(size - at), code);
        if (step == 0) return false;
        at += step;
    }
    length = static_cast<uint32_t>(size);
    return true;
}

bool Reserve(HostBuffer& buffer, uint32_t size) {
    if (buffer.capacity >= size) return true;
    char* grown = static_cast<char*>(std::realloc(buffer.text, size));
    if (grown == nullptr) return false;
    buffer.text = grown;
    buffer.capacity = size;
    return true;
}

}  // namespace

const char* CheckedHostName(PreparationQueue& queue, PreparationRequest& request) {
    const char* name = request.firstHop->host;
    uint32_t length = 0;
    if (!MeasureUtf8(name, length)) {
        PreparationThread::Respond(queue, request, kPreparationNameSize, kErrorNoUnicodeTranslation);
        return nullptr;
    }
    if (!Reserve(tHostBuffer, length + 1)) {
        PreparationThread::Respond(queue, request, kPreparationNoMemory, kErrorNotEnoughMemory);
        return nullptr;
    }
    std::memcpy(tHostBuffer.text, name, length + 1);
    return tHostBuffer.text;
}

}  // namespace kestrel::preparation
