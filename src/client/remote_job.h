// A job on one connection: where it stands (one of the connection's stage
// lists), its job ID there, and the state its stages keep while it moves
// from StartJob to EndJob. Records come from a per-connection pool and never
// move, so lists, the job ID table and the event loop may point at them.
#pragma once

#include <cstdint>

namespace kestrel {

struct Job;
struct Command;
struct Connection;
struct DisplayRow;
struct InputTransfer;
struct OutputTransfer;
struct CommandWork;

// RemoteJob::flags
inline constexpr uint32_t kRemoteJobWaitingToStart = 0x01;
inline constexpr uint32_t kRemoteJobInputMayProduce = 0x02;  // the last input piece was acknowledged
inline constexpr uint32_t kRemoteJobInputPieceReady = 0x04;  // a piece waits to be sent
inline constexpr uint32_t kRemoteJobSendingOutputs = 0x08;
inline constexpr uint32_t kRemoteJobSendingFailedOutputs = 0x10;
inline constexpr uint32_t kRemoteJobExtracting = 0x20;
inline constexpr uint32_t kRemoteJobExtractionWaiting = 0x40;
inline constexpr uint32_t kRemoteJobPrefixPhase = 0x80;
inline constexpr uint32_t kRemoteJobSuffixPhase = 0x100;
inline constexpr uint32_t kRemoteJobReplacePhase = 0x200;
inline constexpr uint32_t kRemoteJobReturnedZero = 0x400;
inline constexpr uint32_t kRemoteJobEndedOtherwise = 0x800;
inline constexpr uint32_t kRemoteJobStdoutEnded = 0x1000;
inline constexpr uint32_t kRemoteJobStderrEnded = 0x2000;
inline constexpr uint32_t kRemoteJobFailed = 0x4000;
inline constexpr uint32_t kRemoteJobStarted = 0x8000;

// A job that holds no ID on its connection.
inline constexpr uint8_t kNoJobId = 255;

// The stage lists of a connection, in the order of the job's road.
enum class Stage : uint8_t {
    Start,
    DevelopmentEnvironment,
    Environment,
    EnvironmentEdits,
    Input,
    InputTransfer,
    StepStart,
    Execute,
    Running,
    CommandEnded,
    OutputStart,
    Output,
    End,
    Pooled,  // not on any list: free in the pool
};
inline constexpr uint32_t kStageCount = static_cast<uint32_t>(Stage::Pooled);

// The 52-byte transfer progress text ("Input transfer {0}K").
inline constexpr uint32_t kStatusTextSize = 52;

struct RemoteJob {
    RemoteJob* next = nullptr;
    RemoteJob* previous = nullptr;
    Stage stage = Stage::Pooled;
    uint8_t jobId = kNoJobId;
    char key[3] = {};  // the job key of jobId, the job ID table's key
    uint32_t flags = 0;

    Job* job = nullptr;
    Connection* connection = nullptr;
    uint32_t machineIndex = 0;  // which of the job's machines this record runs on

    DisplayRow* row = nullptr;
    char* statusText = nullptr;  // kStatusTextSize bytes while a transfer runs
    uint64_t transferredBytes = 0;

    // Environment edits: the current variable of the current block, and the
    // next value to send of it.
    uint32_t environmentVariable = 0;
    const char* environmentValue = nullptr;

    // Commands: the current one, its index, its flags with the client's
    // done bit, and the work area of its argument parts.
    const Command* command = nullptr;
    uint32_t commandIndex = 0;
    uint32_t commandFlags = 0;
    CommandWork* work = nullptr;

    InputTransfer* input = nullptr;    // while the input archive is sent
    OutputTransfer* output = nullptr;  // while the output archive is fetched
};

// A doubly linked list; records join at the head.
struct JobList {
    RemoteJob* head = nullptr;
    uint32_t count = 0;
};

// Records at stable addresses: blocks of 20, then of twice the records so far.
struct RemoteJobPool {
    struct Block;
    Block* blocks = nullptr;
    RemoteJob* free = nullptr;  // linked through `next`
    uint32_t capacity = 0;

    // A cleared record, or null when memory ran out.
    RemoteJob* Take();
    void Give(RemoteJob* record);
    void Release();
};

}  // namespace kestrel
