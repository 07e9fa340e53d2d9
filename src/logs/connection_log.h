// The connection log writer: the binary record of what one connection asked
// its machine and what it was told, kept parseable at every moment by a
// commit point, truncation back to it, and fillers that complete the record
// of a request whose response is still out.
//
// A record is written in steps: its request part when the request is sent
// (BeginRecord), then, when the response has passed its checks, the response
// part and the client's fields (Append and the Append* helpers), then Commit.
// The InputWrite record alone begins at its response, with Append.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kestrel {

struct TempLog;

// Error record kinds (after the bytes FF FF FF).
inline constexpr uint8_t kLogConnectionError = 0xFF;
inline constexpr uint8_t kLogProtocolError = 0xFE;
inline constexpr uint8_t kLogJobFailure = 0xFC;
inline constexpr uint8_t kLogJobFileFailure = 0xFB;
inline constexpr uint8_t kLogInputArchiveFailure = 0xFA;
inline constexpr uint8_t kLogOutputArchiveFailure = 0xF9;

// Record type of a hop, and the end mark the client adds to a Poll record.
inline constexpr uint8_t kLogHopRecord = 22;
inline constexpr uint8_t kLogPollEnd = 15;
// A job without an ID on the connection is referenced by this byte and its name.
inline constexpr uint8_t kLogNoJobId = 0xFF;
// Job state bit: the job failed.
inline constexpr uint32_t kJobStateFailed = 0x4000;

inline constexpr char kCannotWriteConnectionLog[] = "Cannot write to the log for connection {0}, error {1}";
inline constexpr char kCannotCreateConnectionLog[] = "Cannot create a connection log for job {0}";

// Which filler completes the record of the request that is outstanding.
enum class LogFiller : uint8_t {
    None,
    StartJob,        // status 0, time, machine name, PathID, job name
    EndJob,          // status 0, time, job state
    Version,         // ten 0 bytes
    Tunnel,          // kind 0, address length 0
    Poll,            // the end event
    OutputTransfer,  // status 1
    InputWrite,      // 12, job ID, status 0
    Status,          // status 0: every other logged request
};

struct LogFillerInfo {
    LogFiller kind = LogFiller::None;
    uint8_t jobId = 0;                   // InputWrite
    const char* jobName = nullptr;       // StartJob
    const uint32_t* jobState = nullptr;  // EndJob: read when the filler is written
};

// How an error record names its job: the ID, or kLogNoJobId and the name.
struct LogJobReference {
    uint8_t jobId = kLogNoJobId;
    const char* jobName = nullptr;
};

struct ConnectionLog {
    TempLog* file = nullptr;             // the temporary file, when the log has one
    std::FILE* stream = nullptr;         // open while the connection writes
    bool utf16 = false;                  // the connection's text encoding
    const char* machineName = nullptr;   // for the StartJob filler and messages
    uint32_t pathId = 0;
    int64_t commitPoint = -1;            // -1: unset
    LogFillerInfo filler;
    // Set when a filler completed the outstanding record: the response part
    // that arrives later is dropped, up to the next commit or record.
    bool recordFilled = false;
    int error = 0;                       // the runtime library's code of the last failed write

    bool IsOpen() const { return stream != nullptr; }

    // Creates the temporary file (tag "connlog", described by `description`,
    // the first hop URL); false when the file table has posted why not.
    bool Create(const char* description);
    // Writes the header, machine name and PathID, to the created file.
    bool Start(const char* machineName, uint32_t pathId);
    // The same on a stream of the caller's (empty, binary, read-write).
    bool Start(std::FILE* stream, const char* machineName, uint32_t pathId);
    // Begins the first hop record: the byte 22, the URL and its 0 byte. Its
    // kind part follows when the connection has been prepared.
    bool BeginFirstHop(const char* url);

    // A new record: its request part (starting with its type byte).
    bool BeginRecord(const void* bytes, uint32_t count);
    // More of the current record.
    bool Append(const void* bytes, uint32_t count);
    bool AppendU8(uint8_t value);
    bool AppendU32(uint32_t value);
    bool AppendTime();                 // the current local time as a FILETIME count
    bool AppendString(const char* text);  // UTF-8 and one 0 byte
    // The machine's text as a string: up to its first 0 byte, then one 0 byte.
    // A UTF-16 machine's text is converted to UTF-8 first.
    bool AppendMachineText(const uint8_t* text, uint32_t length);
    // The empty text string in the log's encoding: ends Execute parameters.
    bool AppendEmptyText();
    // Ends an AddOutput path list: failedList selects the alternative mark.
    bool AppendOutputListEnd(bool failedList);
    // StartJob client fields: time, machine name, PathID, job name.
    bool AppendStartJobFields(const char* jobName);
    // EndJob client fields: time, job state.
    bool AppendEndJobFields(uint32_t jobState);
    // The kind part of the first hop: reached (0), reached through ssh (5, the
    // command line at most 127 bytes) or failed with code and message (4).
    bool AppendHopReached(const void* address, uint32_t addressLength);
    bool AppendHopReachedBySsh(const void* address, uint32_t addressLength, const char* commandLine);
    bool AppendHopFailed(uint32_t code, const char* message);

    // The current end of the file becomes the commit point.
    bool Commit();
    // Cuts the file back to the commit point, if one is set, and clears it.
    bool Truncate();

    void SetFiller(const LogFillerInfo& info) { filler = info; }
    void ClearFiller() { filler = LogFillerInfo{}; }
    // Completes the outstanding record with its filler, if any, and commits.
    bool ApplyFiller();

    // Connection and protocol errors replace the unfinished record.
    bool WriteConnectionError(uint32_t code, const char* message);
    bool WriteProtocolError(uint32_t code, const char* message);
    // Job-level errors complete the outstanding record first.
    bool WriteJobFailure(LogJobReference job, uint32_t code, const char* message);
    bool WriteJobFileFailure(LogJobReference job, uint32_t code, const char* message, const char* subject);
    bool WriteInputArchiveFailure(LogJobReference job, uint32_t code, const char* const* chain,
                                  uint32_t chainCount, const char* jobMessage, const char* path);
    bool WriteOutputArchiveFailure(LogJobReference job, uint32_t code, const char* const* chain,
                                   uint32_t chainCount, const char* path);
    // The EndJob record the client makes for a job abandoned on a failed or
    // ending connection: status 0, time, state with the failed bit as given.
    bool WriteAbandonedEndJob(uint8_t jobId, uint32_t jobState);

    // Flushes and closes the stream; the file itself stays for the reader.
    bool Close();
    // The end of the connection: closes the stream and gives the file to the
    // build log generator, which reads it with the UTF-16 bit of `utf16`.
    TempLog* HandOver();

private:
    bool AppendUtf16MachineText(const uint8_t* text, uint32_t length);
    bool Write(const void* bytes, size_t count);
    bool WriteErrorHead(uint8_t kind);
    bool WriteJobReference(LogJobReference job);
    bool WriteChain(const char* const* chain, uint32_t chainCount);
    bool EndRecord();
    template <typename Body>
    bool WholeRecord(Body body);
};

}  // namespace kestrel
