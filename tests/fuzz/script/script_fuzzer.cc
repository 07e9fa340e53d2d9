// Arbitrary bytes through the reader and every block parser. The input is
// the main script up to its first NUL and, after it, a second file b.txt that
// the script may import, so nested readers are exercised too. Every job of a
// script that parses is then prepared, as the scheduler would.

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/path.h"
#include "script/job.h"
#include "script/prepare_job.h"
#include "script/script_paths.h"
#include "script/script_reader.h"

namespace {

std::string gDirectory;

void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) std::abort();
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written <= 0) std::abort();
        data += written;
        size -= static_cast<size_t>(written);
    }
    close(fd);
}

void RemoveDirectory() {
    unlink((gDirectory + "/build.txt").c_str());
    unlink((gDirectory + "/b.txt").c_str());
    rmdir(gDirectory.c_str());
}

// Prepares every job and checks what the scheduler relies on.
void PrepareJobs(kestrel::ParserContext& context) {
    using namespace kestrel;
    const NameTable& blocks = context.blocks;
    for (uint32_t slot = 0; slot < blocks.capacity; ++slot) {
        void* record = blocks.entries[slot].value;
        if (record == nullptr || KindOf(record) != BlockKind::Job) continue;
        Job& job = *static_cast<Job*>(record);
        BlockMessage message;
        if (!prepareJob(job, message)) {
            if (message.empty()) std::abort();
            continue;
        }
        if (job.inputs.preparedEnd - job.inputs.prepared != job.preparedInputCount) std::abort();
        for (uint32_t i = 0; i < job.preparedInputCount + job.preparedOutputCount; ++i) {
            if (job.timeSlots[i] != -1) std::abort();
        }
        for (uint32_t i = 0; i < job.preparedOutputCount; ++i) {
            char text[16];
            RenderPreparedPath(job, job.preparedOutputs[i], text, sizeof text);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // An import of standard input must not wait for a terminal.
    const int devNull = open("/dev/null", O_RDONLY);
    if (devNull >= 0) {
        dup2(devNull, STDIN_FILENO);
        close(devNull);
    }
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kestrel-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    gDirectory = pattern;
    std::atexit(RemoveDirectory);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    const auto* split = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    const size_t mainSize = split != nullptr ? static_cast<size_t>(split - data) : size;
    WriteAll(gDirectory + "/build.txt", data, mainSize);
    if (split != nullptr)
        WriteAll(gDirectory + "/b.txt", split + 1, size - mainSize - 1);
    else
        unlink((gDirectory + "/b.txt").c_str());

    ParserContext context;
    if (!context.init()) return 0;
    Path base;
    if (!SplitNativePath(base, gDirectory.data(), static_cast<uint32_t>(gDirectory.size()))) std::abort();
    auto reader = std::make_unique<ScriptReader>();
    if (reader->init(context)) {
        const bool parsed = reader->open("build.txt", base) && reader->finish();
        if (!parsed) {
            // Every failure has a text that names the file and line.
            const char* text = reader->errorText();
            if (text == nullptr || text[0] == '\0') std::abort();
        } else {
            PrepareJobs(context);
        }
    }
    reader->release();
    base.Release();
    context.release();
    return 0;
}
