#include "driver/panic_archive.h"

#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "archive/paxgz_file.h"
#include "archive/paxgz_writer.h"
#include "driver/panic_map.h"
#include "platform/files.h"
#include "runtime/error_codes.h"
#include "runtime/format.h"

namespace kestrel {

namespace {

constexpr uint32_t kPanicBufferSize = 8192;
// The archive names its entries in UTF-16LE and separates with a backslash.
constexpr uint8_t kBackslashUtf16[] = {'\\', 0};

std::string Utf8(const std::u16string& text) { return FormatToString("{0}", {{FormatWideString, text.c_str()}}); }

// The walk over the collected files: each call finds the next file that can
// be opened, reporting the ones that cannot.
struct PanicSource {
    const PanicRecord* next = nullptr;
    // The file found ahead of time, before panic.bin was created.
    bool havePending = false;
    platform::FileHandle pendingFile;
    platform::FileFacts pendingFacts{};
    std::u16string pendingName;
    // The name of the entry handed out last, in UTF-16LE bytes.
    std::string nameBytes;
};

std::u16string LastComponent(const std::u16string& path) {
    const size_t slash = path.find_last_of(u"/\\");
    return slash == std::u16string::npos ? path : path.substr(slash + 1);
}

// Opens the next usable file of the list; false when none is left.
bool FindUsable(PanicSource& source) {
    while (source.next != nullptr) {
        const PanicRecord* record = source.next;
        source.next = record->next;
        if (record->path.empty()) continue;  // a message record, not a file
        const std::string path = Utf8(record->path);
        platform::FileHandle file;
        int error = 0;
        platform::FileFacts facts{};
        if (platform::OpenForReading(path.c_str(), file, facts, error) && facts.directory) {
            error = kErrorDirectoryNotSupported;
        } else if (error == 0) {
            source.havePending = true;
            source.pendingFile = file;
            source.pendingFacts = facts;
            source.pendingName = LastComponent(record->path);
            return true;
        }
        std::fprintf(stderr, "%s\n",
                     FormatToString("Cannot add {0} to panic.bin, error {1}",
                                    {{FormatString, path.c_str()}, {FormatI32, &error}})
                         .c_str());
    }
    return false;
}

bool NextPanicEntry(void* context, PaxgzEntry& entry, platform::FileHandle& file, bool& haveEntry, int32_t&) {
    PanicSource& source = *static_cast<PanicSource*>(context);
    haveEntry = source.havePending || FindUsable(source);
    if (!haveEntry) return true;
    source.havePending = false;
    source.nameBytes.clear();
    AppendUnitsLe(source.nameBytes, source.pendingName.data(), source.pendingName.size());
    entry = PaxgzEntry{};
    entry.name = reinterpret_cast<const uint8_t*>(source.nameBytes.data());
    entry.nameLength = static_cast<uint32_t>(source.nameBytes.size());
    entry.size = source.pendingFacts.size;
    entry.modifiedSeconds = source.pendingFacts.modifiedSeconds;
    entry.modifiedNanoseconds = source.pendingFacts.modifiedNanoseconds;
    entry.accessedSeconds = source.pendingFacts.accessedSeconds;
    entry.accessedNanoseconds = source.pendingFacts.accessedNanoseconds;
    entry.kind = PaxgzEntryKind::kRegularFile;
    file = source.pendingFile;
    source.pendingFile = platform::kNoFile;
    return true;
}

void ReportWriterFailure(const PaxgzWriter& writer) {
    std::string line = FormatToString("Cannot create panic.bin, error {0}",
                                      {{FormatString, PaxgzWriter::KindDescription(writer.ErrorKind())}});
    for (uint32_t i = 1; writer.Describe(i) != nullptr; ++i)
        line += FormatToString(": {0}", {{FormatString, writer.Describe(i)}});
    const int32_t code = writer.ErrorCode();
    line += FormatToString(" ({0})", {{FormatI32, &code}});
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

void BuildPanicArchive(const PanicRecord* collected) {
    PanicSource source;
    source.next = collected;
    if (!FindUsable(source)) return;

    platform::FileHandle archive;
    int32_t code = 0;
    if (!platform::CreateForWriting(kPanicArchiveName, archive, code)) {
        std::fprintf(stderr, "%s\n", FormatToString("Cannot create panic.bin, error {0}", {{FormatI32, &code}}).c_str());
        platform::CloseFile(source.pendingFile);
        return;
    }

    std::unique_ptr<PaxgzWriter> writer(new (std::nothrow) PaxgzWriter);
    std::unique_ptr<uint8_t[]> staging(new (std::nothrow) uint8_t[kPanicBufferSize]);
    std::unique_ptr<uint8_t[]> output(new (std::nothrow) uint8_t[kPanicBufferSize]);
    if (writer == nullptr || staging == nullptr || output == nullptr) {
        code = kErrorNotEnoughMemory;
        std::fprintf(stderr, "%s\n", FormatToString("Cannot create panic.bin, error {0}", {{FormatI32, &code}}).c_str());
        platform::CloseFile(archive);
        platform::CloseFile(source.pendingFile);
        return;
    }
    PaxgzWriterConfig config;
    config.context = &source;
    config.nextEntry = NextPanicEntry;
    config.staging = staging.get();
    config.stagingSize = kPanicBufferSize;
    config.output = output.get();
    config.outputSize = kPanicBufferSize;
    config.encoding = "UTF-16LE";
    config.separator = kBackslashUtf16;
    config.separatorLength = sizeof kBackslashUtf16;

    PaxgzFileRunResult result;
    if (WritePaxgzToFile(*writer, config, archive, result)) return;
    if (result.loopFailed) {
        std::fprintf(stderr, "%s\n",
                     FormatToString("Cannot wait for panic.bin to be built, error {0}", {{FormatI32, &result.loopError}})
                         .c_str());
    } else if (result.writeFailed) {
        std::fprintf(stderr, "%s\n",
                     FormatToString("Cannot write to panic.bin, error {0}", {{FormatI32, &result.writeError}}).c_str());
    } else {
        ReportWriterFailure(*writer);
    }
    platform::CloseFile(source.pendingFile);
}

}  // namespace kestrel
