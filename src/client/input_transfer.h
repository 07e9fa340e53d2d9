// The input archive of one job while it is sent: the paxgz writer with its
// staging buffer and the second message buffer that holds its output area,
// the directories already put into the archive, and the entry being made.
//
// The entries follow the job's prepared inputs (sorted, relative to the job
// root): for each input, every directory on its way that the archive does not
// hold yet, outermost first, then the input itself. Archive names are in the
// machine's encoding, the directory part joined with the machine's separator.
#pragma once

#include <cstdint>

#include "archive/paxgz_writer.h"
#include "client/wire.h"
#include "platform/handles.h"
#include "runtime/name_table.h"

namespace kestrel {

struct Connection;
struct RemoteJob;

// The writer's staging buffer: uncompressed tar bytes, a multiple of 512.
inline constexpr uint32_t kInputStagingSize = 65536;

inline constexpr char kInputNoMemory[] = "Insufficient memory to construct the input archive";
inline constexpr char kCouldNotOpenInput[] = "Could not open the input file";

// A byte buffer from malloc that grows on demand.
struct InputText {
    char* bytes = nullptr;
    uint32_t length = 0;
    uint32_t capacity = 0;

    // Room for `size` bytes in all; false when memory ran out.
    bool Reserve(uint32_t size);
    // Appends and keeps a NUL after the text; false when memory ran out.
    bool Add(const void* data, uint32_t count);
    void Clear() { length = 0; }
    void Release();
};

// What the entry source answers.
enum class InputEntryResult : uint8_t {
    Entry,       // `entry` (and for a non-empty file `file`) describe the next entry
    End,         // every input has been delivered
    OpenFailed,  // the file could not be opened: the system error code is set
    NoMemory,    // (or a name that cannot be encoded): the code and sourceMessage say which
};

struct InputTransfer {
    RemoteJob* job = nullptr;  // null once the job let go of a transfer the writer was still inside
    Connection* connection = nullptr;
    PaxgzWriter writer;

    // The second message buffer, laid out as the connection's: header, type
    // 12, job ID, then the writer's output area; the InputWrite response is
    // read back into it.
    alignas(8) uint8_t message[kMessageBufferSize];
    alignas(8) uint8_t staging[kInputStagingSize];
    uint32_t pieceLength = 0;  // of the piece in the output area

    // Path texts (UTF-8, '/' between components, below the job root) of the
    // directories already in the archive. Keys are owned by the table.
    NameTable directories;
    // The machine's separator in its encoding, and the encoding.
    uint8_t separator[32] = {'/'};
    uint32_t separatorLength = 1;
    bool utf16 = false;

    // The entry source: the next input, how many of its leading directories
    // are known to be in the archive, and the texts of the entry being made.
    uint32_t nextInput = 0;
    uint32_t checkedDirectories = 0;
    InputText rootText;       // the job root as a local path
    InputText key;            // directory table key of the entry
    InputText directoryPart;  // archive name, machine encoding
    InputText namePart;
    InputText localPath;      // what is opened, NUL-terminated
    // The first entry, taken before the writer starts (its failure is the
    // job's, not the archive's).
    bool entryPending = false;
    InputEntryResult pendingResult = InputEntryResult::End;
    PaxgzEntry pendingEntry{};
    platform::FileHandle pendingFile;

    // For the failure records: the entry source's message, if it failed, and
    // the file being read or the one that could not be opened.
    const char* sourceMessage = nullptr;
    InputText currentFile;

    // A piece was handed over: the writer waits for Resume() once the machine
    // has acknowledged it.
    bool awaitingResume = false;
    // The writer's code is on the stack: the transfer must outlive it, so a
    // release meanwhile only marks it.
    bool insideWriter = false;
    bool released = false;
};

// ---- The entry source (input_entries.cc) -----------------------------------

// Prepares the entry source of a new transfer; false when memory ran out.
bool BeginInputEntries(InputTransfer& transfer);
// The next entry. The byte runs of `entry` stay valid until the next call.
InputEntryResult MakeNextInputEntry(InputTransfer& transfer, PaxgzEntry& entry,
                                    platform::FileHandle& file, int32_t& error);
// Makes the transfer the writer's entry source (its context is the transfer);
// the writer's first call gets the pending entry.
void UseInputEntries(PaxgzWriterConfig& config);
// Frees the entry source's texts, table and any file not handed over.
void EndInputEntries(InputTransfer& transfer);

}  // namespace kestrel
