// Temporary log files: connection logs, job logs and captured command output
// live in "KVLOG.<entry address>.<counter>.tmp" files in the temporary
// directory while the build runs. The table hands out a read-write binary
// stream per file, reopens files for appending, and deletes every file it
// still knows at exit. The panic report walks the blocks and entries as laid
// out here, so the layout is part of the interface.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kestrel {

inline constexpr uint32_t kTempLogDescriptionUnits = 256;  // UTF-16 units with the NUL
inline constexpr uint32_t kTempLogKindUnits = 8;
inline constexpr uint32_t kTempLogPathBytes = 512;         // UTF-8 with the NUL
inline constexpr uint32_t kTempLogsPerBlock = 62;
inline constexpr uint32_t kTempFileBlockSize = 65536;

// Entry flags; anything above 3 means the table is corrupt.
inline constexpr uint32_t kTempLogExists = 1;  // the file exists and belongs to the table
inline constexpr uint32_t kTempLogOpen = 2;    // `stream` is open
inline constexpr uint32_t kTempLogFlagMask = kTempLogExists | kTempLogOpen;

struct TempLog {
    char16_t description[kTempLogDescriptionUnits];  // NUL-terminated
    char16_t kind[kTempLogKindUnits];                // "connlog", "joblog", "stdout" or "stderr"
    char path[kTempLogPathBytes];                    // full file name, NUL-terminated
    std::FILE* stream;                               // valid while kTempLogOpen is set
    uint32_t flags;
};

// Entries are never reused: one handed out stays in its block until the
// process ends, also when its creation failed (its flags stay 0).
struct TempFileBlock {
    TempFileBlock* previous;
    TempFileBlock* next;
    TempLog entries[kTempLogsPerBlock];
    uint32_t count;  // entries handed out from this block
};
static_assert(sizeof(TempFileBlock) <= kTempFileBlockSize);

class TempFileTable {
public:
    constexpr TempFileTable() = default;
    // Unmaps the blocks after the first. Files are left alone: DeleteAll is
    // the one that removes them.
    ~TempFileTable();
    TempFileTable(const TempFileTable&) = delete;
    TempFileTable& operator=(const TempFileTable&) = delete;

    // A new empty file in the user's temporary directory with
    // its stream open for reading and writing. Both texts are UTF-8; the
    // description may take at most 255 UTF-16 units. On failure a message is
    // posted and null returned.
    TempLog* Create(const char* description, const char* kind);
    // Opens the file again for appending and reading; false with the
    // runtime library's code.
    static bool Reopen(TempLog* entry, int& error);
    // Closes the stream so that another reader may use the file.
    static void Close(TempLog* entry);
    // Closes the stream if open and deletes the file; the entry is done.
    static void Delete(TempLog* entry);
    // Deletes every file still in use, first block first.
    void DeleteAll();
    // Flushes every open stream, so that the files on disk are complete.
    void FlushAll();

    const TempFileBlock* FirstBlock() const { return &first_; }

private:
    TempLog* NextEntry();

    TempFileBlock first_{};
    TempFileBlock* current_ = nullptr;  // the last block; null: the first
};

// The process-wide table, never destroyed.
TempFileTable& ProcessTempFiles();

}  // namespace kestrel
