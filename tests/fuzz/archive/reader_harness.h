// Runs the paxgz reader over one compressed archive held in memory, in pieces
// whose size the caller picks; file data go to /dev/null.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "archive/paxgz_reader.h"

namespace kestrel::fuzz {

struct ReaderHarness {
    PaxgzReader reader;
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t fed = 0;
    uint32_t piece = 1;
    bool needsInput = false;
    bool done = false;
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
};

inline bool Create(void*, const PaxgzReadEntry& entry, platform::FileHandle& file, int32_t& error) {
    // The reader hands over only checked, normalized relative paths.
    for (uint32_t i = 0; i < entry.componentCount; ++i) {
        const PathComponentView& component = entry.components[i];
        if (component.length == 0) __builtin_trap();
        if (!entry.utf16 && ((component.length == 1 && component.bytes[0] == '.') ||
                             (component.length == 2 && std::memcmp(component.bytes, "..", 2) == 0) ||
                             std::memchr(component.bytes, '/', component.length) != nullptr)) {
            __builtin_trap();
        }
    }
    file = platform::kNoFile;
    if (entry.kind == PaxgzEntryKind::kRegularFile && entry.size > 0) {
        const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (fd < 0) {
            error = 24;
            return false;
        }
        file = platform::FileHandle{fd};
    }
    return true;
}

inline void NeedInput(void* context) { static_cast<ReaderHarness*>(context)->needsInput = true; }
inline void Failed(void* context) { static_cast<ReaderHarness*>(context)->done = true; }
inline void Finished(void* context, uint32_t) { static_cast<ReaderHarness*>(context)->done = true; }
inline bool Accept(void*, const uint8_t* name, uint32_t length) { return length == 0 || name[0] != 'X'; }

inline bool Feed(ReaderHarness& harness) {
    const size_t count = std::min<size_t>(harness.piece, harness.size - harness.fed);
    if (count > 0) std::memcpy(harness.input.data(), harness.data + harness.fed, count);
    harness.fed += count;
    harness.needsInput = false;
    return harness.reader.Process(static_cast<uint32_t>(count), harness.fed == harness.size);
}

// `piece` compressed bytes per call, `outputSize` bytes of inflate output.
inline void RunReader(const uint8_t* data, size_t size, uint32_t piece, uint32_t outputSize) {
    auto harness = std::make_unique<ReaderHarness>();
    harness->data = data;
    harness->size = size;
    harness->piece = piece == 0 ? 1 : piece;
    harness->input.resize(harness->piece);
    harness->output.resize(outputSize);
    PaxgzReaderConfig config;
    config.context = harness.get();
    config.input = harness->input.data();
    config.inputSize = harness->piece;
    config.output = harness->output.data();
    config.outputSize = outputSize;
    config.create = &Create;
    config.needInput = &NeedInput;
    config.failed = &Failed;
    config.finished = &Finished;
    config.acceptEncoding = &Accept;
    if (!harness->reader.Start(config)) __builtin_trap();
    bool ok = Feed(*harness);
    while (ok && !harness->done && harness->needsInput && harness->fed < size) ok = Feed(*harness);
    // Every failure names its kind; the chain always starts with a text.
    if (harness->reader.HasFailed() && harness->reader.Describe(0) == nullptr) __builtin_trap();
    harness->reader.Close();
}

}  // namespace kestrel::fuzz
