// The output archive state of one job while its outputs are fetched, and the
// pieces of the output stage that its three sources share:
//
//   output_list.cc      AddOutput requests (the output list or the failed-
//                       output list, directories first) and OutputReset
//   output_transfer.cc  the stage steps, OutputTransfer and the reader's
//                       input, end and failure
//   output_files.cc     the files and directories the reader has made, their
//                       times, and their report to the scheduler
#pragma once

#include <cstdint>

#include "archive/paxgz_reader.h"
#include "archive/safe_path.h"
#include "client/requests.h"
#include "eventloop/event_loop.h"
#include "platform/handles.h"
#include "runtime/name_table.h"

namespace kestrel {

struct RemoteJob;

inline constexpr uint32_t kOutputInputSize = 65536;
inline constexpr uint32_t kOutputInflateSize = 65536;

inline constexpr char kNoMemoryForOutputs[] = "Insufficient memory to request the output archive";
inline constexpr char kOutputExtractionFailed[] = "Failed to extract the output archive for job {0}, {1}";

// One path of the last AddOutput request.
struct SentOutputPath {
    uint32_t offset;       // of its text in OutputTransfer::lastRequest
    uint32_t length;       // bytes, terminator excluded
    uint32_t pathIndex;    // in the list being sent
    uint32_t prefixDepth;  // components of a directory prefix; 0: the path itself
};

struct OutputTransfer {
    RemoteJob* job = nullptr;  // null once the job has let go of it
    EventLoop* loop = nullptr;

    // Sending a list: the next path, the directories already sent, and the
    // last request as it went out (a status 6 or 7 names one of its paths).
    uint32_t nextIndex = 0;
    NameTable sentDirectories;
    uint8_t lastRequest[kMaxAddOutputPayload];
    uint32_t lastRequestLength = 0;
    SentOutputPath* sent = nullptr;
    uint32_t sentCount = 0;
    uint32_t sentCapacity = 0;
    char* text = nullptr;  // a path being rendered, NUL-terminated
    uint32_t textSize = 0;

    // The archive: each response's bytes go into `input`; what does not fit
    // waits in the overflow area.
    PaxgzReader reader;
    bool readerStarted = false;
    bool lastPieceReceived = false;
    bool readerDone = false;  // the trailer was reached: later pieces are not read
    bool failureReported = false;
    uint8_t input[kOutputInputSize];
    uint8_t inflated[kOutputInflateSize];
    uint8_t* overflow = nullptr;
    uint32_t overflowStart = 0;
    uint32_t overflowCount = 0;
    uint32_t overflowCapacity = 0;

    // Where the files go: the job root, opened once, and the full local path
    // of the latest entry (UTF-8), kept until a pending file is reported.
    ExtractionRoot root;
    char* rootText = nullptr;
    uint32_t rootLength = 0;
    char* currentPath = nullptr;
    uint32_t currentPathLength = 0;
    uint32_t currentPathSize = 0;
    bool pathBeingWritten = false;  // the path is being made or its data written

    // The regular file whose data the reader is writing; it is reported to
    // the scheduler when the next entry comes or the archive ends.
    bool filePending = false;
    bool fileComplete = false;
    platform::FileHandle file;  // the reader's until the last byte is written
    uint64_t fileSize = 0;
    uint64_t fileWritten = 0;
    uint64_t modifiedSeconds = 0;
    uint32_t modifiedNanoseconds = 0;
    bool accessTimeGiven = false;
    uint64_t accessedSeconds = 0;
    uint32_t accessedNanoseconds = 0;

    // A failure the client found itself (the reader's error kinds).
    bool localFailure = false;
    uint32_t localKind = 0;
    int32_t localCode = 0;

    // Calls into the reader and from it that are on the stack: the record is
    // freed only after they have returned.
    uint32_t readerCalls = 0;
    IoObject releaseTurn;
};

// Holds the record while a reader call or callback runs.
class ReaderCall {
public:
    explicit ReaderCall(OutputTransfer& transfer) : transfer_(transfer) { ++transfer_.readerCalls; }
    ~ReaderCall() { --transfer_.readerCalls; }
    ReaderCall(const ReaderCall&) = delete;
    ReaderCall& operator=(const ReaderCall&) = delete;

private:
    OutputTransfer& transfer_;
};

// ---- output_list.cc ----

// The table of sent directories, empty (again). False when memory ran out.
bool ResetSentDirectories(OutputTransfer& transfer);
void SendAddOutput(RemoteJob& job);
void ReleaseSentPaths(OutputTransfer& transfer);

// ---- output_transfer.cc ----

void StartTransfer(RemoteJob& job);
void SendOutputTransfer(RemoteJob& job);
// The archive could not be extracted: the failure record, the message, EndJob.
void OutputArchiveFailed(RemoteJob& job);
// Records a failure of the client's own making for OutputArchiveFailed.
void SetLocalFailure(OutputTransfer& transfer, PaxgzReaderError kind, int32_t code);
// "Output transfer {0}K" in the job's row; `stamp` restarts the status age.
void ShowOutputProgress(RemoteJob& job, bool stamp);

// ---- output_files.cc ----

// The job root as the place the entries go; false with `error` (8 for memory).
bool OpenOutputRoot(OutputTransfer& transfer, int32_t& error);
// Reader operations.
bool CreateOutputEntry(void* context, const PaxgzReadEntry& entry, platform::FileHandle& file, int32_t& error);
void OutputProgress(void* context, uint32_t bytesWritten);
// A file still pending is reported to the scheduler; false with `error`.
bool ReportPendingFile(OutputTransfer& transfer, int32_t& error);
void ReleaseOutputFiles(OutputTransfer& transfer);

}  // namespace kestrel
