#include "runtime/temp_files.h"

#include <cstring>
#include <new>
#include <string>

#include "platform/files.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/streams.h"
#include "platform/system_errors.h"
#include "runtime/format.h"
#include "runtime/messages.h"
#include "runtime/path.h"
#include "runtime/utf16.h"

namespace kestrel {

namespace {

constexpr uint32_t kLastCounter = 65535;
// "/KVLOG." + 16 digits + "." + 5 digits + ".tmp" + NUL
constexpr size_t kNameRoom = 7 + 16 + 1 + 5 + 4 + 1;

// An address as 16 upper-case hexadecimal digits, zero-padded.
uint32_t FormatAddress(const void* address, char* out, uint32_t room) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    uint64_t value = reinterpret_cast<uintptr_t>(address);
    char text[16];
    for (int i = 15; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 0xF];
    if (room > 0) std::memcpy(out, text, room < 16 ? room : 16);
    return 16;
}

void CloseStream(TempLog* entry) {
    if ((entry->flags & kTempLogOpen) == 0) return;
    std::fclose(entry->stream);
    entry->stream = nullptr;
    entry->flags &= ~kTempLogOpen;
}

void PostCode(const char* format, int code) {
    const int32_t value = code;
    PostMessageText(format, {{FormatI32, &value}});
}

}  // namespace

TempFileTable::~TempFileTable() {
    for (TempFileBlock* block = first_.next; block != nullptr;) {
        TempFileBlock* next = block->next;
        platform::UnmapMemory(block, kTempFileBlockSize);
        block = next;
    }
}

TempLog* TempFileTable::NextEntry() {
    TempFileBlock* current = current_ != nullptr ? current_ : &first_;
    if (current->count == kTempLogsPerBlock) {
        int error = 0;
        void* memory = platform::MapMemory(kTempFileBlockSize, error);
        if (memory == nullptr) return nullptr;
        auto* block = new (memory) TempFileBlock{};
        block->previous = current;
        current->next = block;
        current_ = current = block;
    }
    return &current->entries[current->count++];
}

TempLog* TempFileTable::Create(const char* description, const char* kind) {
    TempLog* entry = NextEntry();
    if (entry == nullptr) {
        PostMessageText(kInsufficientMemoryForClient);
        return nullptr;
    }
    uint32_t units = 0;
    int error = 0;
    if (!Utf8ToUtf16(description, static_cast<uint32_t>(std::strlen(description)), entry->description,
                     kTempLogDescriptionUnits, units, error)) {
        const int32_t code = error;
        PostMessageText("Cannot convert {0} to UTF-16, error {1}", {{FormatString, description}, {FormatI32, &code}});
        return nullptr;
    }
    // Kinds are the callers' own constants; one that does not fit is cut.
    Utf8ToUtf16(kind, static_cast<uint32_t>(std::strlen(kind)), entry->kind, kTempLogKindUnits, units, error);

    std::string directory;
    int directoryError = 0;
    if (!platform::TemporaryDirectory(directory, directoryError)) {
        PostCode("Cannot get temporary path, error {0}", directoryError);
        return nullptr;
    }
    if (directory.size() + kNameRoom > kTempLogPathBytes) {
        // The name would have to be cut, and a cut name is another file.
        PostCode("Cannot get temporary path, error {0}", platform::kErrorNameTooLong);
        return nullptr;
    }
    for (uint32_t counter = 1; counter <= kLastCounter; ++counter) {
        static constexpr char kSeparator[] = {kNativeSeparator, '\0'};
        FormatText(entry->path, kTempLogPathBytes, "{0}{1}KVLOG.{2}.{3}.tmp",
                   {{FormatString, directory.c_str()},
                    {FormatString, kSeparator},
                    {FormatAddress, entry},
                    {FormatU32, &counter}});
        // Exclusive creation, so a leftover of an earlier run is never taken
        // over; private to the user, since logs hold command lines and output.
        int error = 0;
        std::FILE* stream = platform::CreatePrivateFile(entry->path, error);
        if (stream == nullptr) {
            if (error == platform::kErrorExists) continue;
            PostCode("Cannot create temporary file, error {0}", error);
            return nullptr;
        }
        entry->stream = stream;
        entry->flags = kTempLogExists | kTempLogOpen;
        return entry;
    }
    PostMessageText("Ran out of temporary files");
    return nullptr;
}

bool TempFileTable::Reopen(TempLog* entry, int& error) {
    // A deleted entry stays deleted: opening it would make a file nobody removes.
    if ((entry->flags & kTempLogExists) == 0) {
        error = platform::kErrorNotFound;
        return false;
    }
    CloseStream(entry);
    std::FILE* stream = platform::ReopenPrivateFile(entry->path, error);
    if (stream == nullptr) return false;
    entry->stream = stream;
    entry->flags |= kTempLogOpen;
    return true;
}

void TempFileTable::Close(TempLog* entry) { CloseStream(entry); }

void TempFileTable::Delete(TempLog* entry) {
    CloseStream(entry);
    // Only a file that still belongs to the table: the name may have been
    // taken by someone else since.
    int ignored = 0;
    if ((entry->flags & kTempLogExists) != 0) platform::RemoveFile(entry->path, ignored);
    entry->flags = 0;
}

void TempFileTable::DeleteAll() {
    for (TempFileBlock* block = &first_; block != nullptr; block = block->next)
        for (uint32_t i = 0; i < block->count; ++i)
            if ((block->entries[i].flags & kTempLogExists) != 0) Delete(&block->entries[i]);
}

void TempFileTable::FlushAll() {
    for (TempFileBlock* block = &first_; block != nullptr; block = block->next)
        for (uint32_t i = 0; i < block->count; ++i) {
            const TempLog& entry = block->entries[i];
            if ((entry.flags & kTempLogFlagMask) == kTempLogFlagMask) std::fflush(entry.stream);
        }
}

namespace {

// Constant-initialised and never destroyed: the panic report may read it
// while the process is ending.
union ProcessTable {
    constexpr ProcessTable() : table() {}
    ~ProcessTable() {}
    TempFileTable table;
};
constinit ProcessTable gProcessTable;

}  // namespace

TempFileTable& ProcessTempFiles() { return gProcessTable.table; }

}  // namespace kestrel
