// The entry source of the input archive: the job's prepared inputs turned
// into archive entries, each missing directory on the way first, with the
// names in the machine's encoding and the facts read from the local file.
#include <cstdlib>
#include <cstring>

#include "client/input_transfer.h"
#include "client/remote_job.h"
#include "platform/files.h"
#include "runtime/error_codes.h"
#include "runtime/path.h"
#include "runtime/utf16.h"
#include "runtime/utf8.h"
#include "script/job.h"
#include "script/prepare_job.h"

namespace kestrel {

namespace {

constexpr char kNameNotUtf8[] = "INTERNAL ERROR: An input file name is not valid UTF-8 (26501)";

// ---- Input files ----

bool OpenInputFile(const char* path, platform::FileFacts& facts, platform::FileHandle& file, int32_t& error) {
    int code = 0;
    if (!platform::OpenForReading(path, file, facts, code)) {
        error = code;
        return false;
    }
    return true;
}

void CloseInputFile(platform::FileHandle& file) { platform::CloseFile(file); }

// The writer takes the file over (and closes it).
void HandOverInputFile(platform::FileHandle& file, platform::FileHandle& handed) {
    handed = file;
    file = platform::kNoFile;
}

// ---- Names -----------------------------------------------------------------

void FreeDirectoryKey(NameTableEntry* entry) { std::free(const_cast<char*>(entry->key)); }

uint32_t ComponentCount(const Path& input) {
    uint32_t count = 0;
    for (const PathComponent* c = input.first; c != nullptr; c = c->next) ++count;
    return count;
}

// One component in the machine's encoding.
bool AddEncoded(InputTransfer& t, InputText& out, const PathComponent& component, int32_t& error) {
    if (!t.utf16) {
        if (out.Add(component.text, component.length)) return true;
        error = kErrorNotEnoughMemory;
        return false;
    }
    // Every UTF-8 sequence becomes at most as many UTF-16LE bytes, but one byte becomes two.
    if (!out.Reserve(out.length + 2 * component.length + 1)) {
        error = kErrorNotEnoughMemory;
        return false;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(component.text);
    for (uint32_t at = 0; at < component.length;) {
        uint32_t code = 0;
        const uint32_t used = DecodeUtf8(bytes + at, component.length - at, code);
        if (used == 0) {
            error = kErrorNoUnicodeTranslation;
            return false;
        }
        at += used;
        out.length += 2 * EncodeUtf16Le(code, reinterpret_cast<uint8_t*>(out.bytes + out.length));
    }
    out.bytes[out.length] = 0;
    return true;
}

// The archive name of the first `depth` components: the directory part
// joined with the machine's separator, and the name part.
bool BuildArchiveName(InputTransfer& t, const Path& input, uint32_t depth, int32_t& error) {
    t.directoryPart.Clear();
    t.namePart.Clear();
    const PathComponent* c = input.first;
    for (uint32_t i = 1; i < depth; ++i, c = c->next) {
        if (i > 1 && !t.directoryPart.Add(t.separator, t.separatorLength)) {
            error = kErrorNotEnoughMemory;
            return false;
        }
        if (!AddEncoded(t, t.directoryPart, *c, error)) return false;
    }
    return AddEncoded(t, t.namePart, *c, error);
}

// The first `depth` components as UTF-8 text with `separator` between them,
// after what `out` holds already.
bool AddComponents(InputText& out, const Path& input, uint32_t depth, char separator) {
    const PathComponent* c = input.first;
    for (uint32_t i = 0; i < depth; ++i, c = c->next) {
        if (i > 0 && !out.Add(&separator, 1)) return false;
        if (!out.Add(c->text, c->length)) return false;
    }
    return true;
}

bool BuildKey(InputTransfer& t, const Path& input, uint32_t depth) {
    t.key.Clear();
    return AddComponents(t.key, input, depth, '/') && t.key.Add("", 0);
}

bool BuildLocalPath(InputTransfer& t, const Path& input, uint32_t depth) {
    t.localPath.Clear();
    if (!t.localPath.Add(t.rootText.bytes, t.rootText.length)) return false;
    const uint32_t rootLength = t.rootText.length;
    const bool rootEndsWithSeparator = rootLength > 0 && t.rootText.bytes[rootLength - 1] == kNativeSeparator;
    if (!rootEndsWithSeparator && !t.localPath.Add(&kNativeSeparator, 1)) return false;
    return AddComponents(t.localPath, input, depth, kNativeSeparator);
}

// Enters the key into the directory table (the table owns a copy).
bool RememberDirectory(InputTransfer& t) {
    char* copy = static_cast<char*>(std::malloc(t.key.length + 1));
    if (copy == nullptr) return false;
    std::memcpy(copy, t.key.bytes, t.key.length + 1);
    if (!t.directories.Insert(copy, copy, FreeDirectoryKey)) {
        std::free(copy);
        return false;
    }
    return true;
}

// ---- Entries ---------------------------------------------------------------

void FillEntry(const InputTransfer& t, const platform::FileFacts& facts, PaxgzEntry& entry) {
    entry = PaxgzEntry{};
    entry.directory = reinterpret_cast<const uint8_t*>(t.directoryPart.bytes);
    entry.directoryLength = t.directoryPart.length;
    entry.name = reinterpret_cast<const uint8_t*>(t.namePart.bytes);
    entry.nameLength = t.namePart.length;
    entry.kind = facts.directory ? PaxgzEntryKind::kDirectory : PaxgzEntryKind::kRegularFile;
    entry.size = facts.directory ? 0 : facts.size;
    entry.modifiedSeconds = facts.modifiedSeconds;
    entry.modifiedNanoseconds = facts.modifiedNanoseconds;
    entry.accessedSeconds = facts.accessedSeconds;
    entry.accessedNanoseconds = facts.accessedNanoseconds;
}

InputEntryResult Failed(InputTransfer& t, int32_t code, int32_t& error) {
    error = code;
    t.sourceMessage = code == kErrorNoUnicodeTranslation ? kNameNotUtf8 : kInputNoMemory;
    return InputEntryResult::NoMemory;
}

// The entry of the first `depth` components of `input`, read from the file system.
InputEntryResult MakeEntry(InputTransfer& t, const Path& input, uint32_t depth, PaxgzEntry& entry,
                           platform::FileHandle& file, int32_t& error) {
    int32_t code = kErrorNotEnoughMemory;
    if (!BuildArchiveName(t, input, depth, code)) return Failed(t, code, error);
    if (!BuildLocalPath(t, input, depth)) return Failed(t, kErrorNotEnoughMemory, error);
    t.currentFile.Clear();
    platform::FileFacts facts{};
    if (!OpenInputFile(t.localPath.bytes, facts, file, error)) {
        t.sourceMessage = kCouldNotOpenInput;
        if (!t.currentFile.Add(t.localPath.bytes, t.localPath.length)) t.currentFile.Clear();
        return InputEntryResult::OpenFailed;
    }
    if (file.valid() && !t.currentFile.Add(t.localPath.bytes, t.localPath.length)) {
        CloseInputFile(file);
        return Failed(t, kErrorNotEnoughMemory, error);
    }
    FillEntry(t, facts, entry);
    return InputEntryResult::Entry;
}

// The first directory of `input` not yet in the archive, entered into the
// table now; false when every directory on its way is there.
bool NextMissingDirectory(InputTransfer& t, const Path& input, uint32_t count, bool& noMemory) {
    noMemory = false;
    while (t.checkedDirectories + 1 < count) {
        const uint32_t depth = ++t.checkedDirectories;
        if (!BuildKey(t, input, depth)) {
            noMemory = true;
            return false;
        }
        if (t.directories.Find(t.key.bytes) != nullptr) continue;
        if (!RememberDirectory(t)) {
            noMemory = true;
            return false;
        }
        return true;
    }
    return false;
}

bool NextInputEntry(void* context, PaxgzEntry& entry, platform::FileHandle& descriptor, bool& haveEntry, int32_t& error) {
    auto& t = *static_cast<InputTransfer*>(context);
    platform::FileHandle file;
    InputEntryResult result;
    if (t.entryPending) {
        t.entryPending = false;
        entry = t.pendingEntry;
        file = t.pendingFile;
        t.pendingFile = platform::kNoFile;
        result = t.pendingResult;
    } else {
        result = MakeNextInputEntry(t, entry, file, error);
    }
    HandOverInputFile(file, descriptor);
    haveEntry = result == InputEntryResult::Entry;
    return result == InputEntryResult::Entry || result == InputEntryResult::End;
}

}  // namespace

bool InputText::Reserve(uint32_t size) {
    if (size <= capacity) return true;
    uint32_t grown = capacity == 0 ? 256 : capacity;
    while (grown < size) grown *= 2;
    auto* bigger = static_cast<char*>(std::realloc(bytes, grown));
    if (bigger == nullptr) return false;
    bytes = bigger;
    capacity = grown;
    return true;
}

bool InputText::Add(const void* data, uint32_t count) {
    if (!Reserve(length + count + 1)) return false;
    if (count > 0) std::memcpy(bytes + length, data, count);
    length += count;
    bytes[length] = 0;
    return true;
}

void InputText::Release() {
    std::free(bytes);
    *this = InputText{};
}

bool BeginInputEntries(InputTransfer& t) {
    const Job& job = *t.job->job;
    if (!t.directories.Init()) return false;
    const Path root;
    const uint32_t length = RenderPreparedPath(job, root, nullptr, 0);
    if (!t.rootText.Reserve(length + 1)) return false;
    RenderPreparedPath(job, root, t.rootText.bytes, length);
    t.rootText.length = length;
    t.rootText.bytes[length] = 0;
    return true;
}

InputEntryResult MakeNextInputEntry(InputTransfer& t, PaxgzEntry& entry, platform::FileHandle& file,
                                    int32_t& error) {
    const Job& job = *t.job->job;
    while (t.nextInput < job.preparedInputCount) {
        const Path& input = job.preparedInputs[t.nextInput];
        // The root is the machine's work area already.
        if (NamesJobRoot(input)) {
            ++t.nextInput;
            continue;
        }
        const uint32_t count = ComponentCount(input);
        bool noMemory = false;
        if (NextMissingDirectory(t, input, count, noMemory))
            return MakeEntry(t, input, t.checkedDirectories, entry, file, error);
        if (noMemory) return Failed(t, kErrorNotEnoughMemory, error);
        ++t.nextInput;
        t.checkedDirectories = 0;
        if (!BuildKey(t, input, count)) return Failed(t, kErrorNotEnoughMemory, error);
        // A listed directory goes in once, even when files below it are listed too.
        if (t.directories.Find(t.key.bytes) != nullptr) continue;
        const InputEntryResult result = MakeEntry(t, input, count, entry, file, error);
        if (result == InputEntryResult::Entry && entry.kind == PaxgzEntryKind::kDirectory && !RememberDirectory(t))
            return Failed(t, kErrorNotEnoughMemory, error);
        return result;
    }
    return InputEntryResult::End;
}

void UseInputEntries(PaxgzWriterConfig& config) { config.nextEntry = NextInputEntry; }

void EndInputEntries(InputTransfer& t) {
    CloseInputFile(t.pendingFile);
    t.entryPending = false;
    if (t.directories.entries != nullptr) t.directories.Destroy();
    t.directories = NameTable{};
    for (InputText* text : {&t.rootText, &t.key, &t.directoryPart, &t.namePart, &t.localPath, &t.currentFile})
        text->Release();
}

}  // namespace kestrel
