// The connection log reader: reads a log once from its start and hands each
// record, decoded, to the handler registered for its kind. It checks the
// layout (every field present, statuses and kinds within their records'
// ranges); what a record means for jobs is the handlers' business, and a
// handler that finds a record inconsistent (a job reference naming no known
// job, say) answers Corrupt.
//
//   ConnectionLogHandlers handlers{};
//   handlers.context = &writer;
//   handlers.startJob = OnStartJob;          // null handlers skip their records
//   ConnectionLogReader reader;
//   if (!reader.Open(path, utf16)) post(reader.message) ...
//   switch (reader.Read(handlers)) { ... }   // reader.message says why it stopped
#pragma once

#include <cstdint>
#include <cstdio>

namespace kestrel {

inline constexpr char kConnectionLogCorrupt[] = "The connection log is corrupt";
inline constexpr char kConnectionLogOpenFailed[] = "Failed to open the connection log, error {0}";

// A string of the log, without its terminator. In a UTF-16 log a text string
// holds UTF-16LE units (`length` counts bytes). Valid during the handler call.
struct LogText {
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
};

struct LogJob {
    uint8_t jobId = 0;
    LogText name;  // set when jobId is 0xFF: the job is named instead
};

struct LogHeaderRecord {
    LogText machineName;
    uint32_t pathId = 0;
};

struct LogStartJobRecord {
    uint8_t jobId = 0;
    uint8_t concurrency = 0;
    uint32_t status = 0;     // 0 to 8
    uint32_t errorCode = 0;  // statuses 4, 5 and 6
    int64_t time = 0;
    LogText machineName;
    uint32_t pathId = 0;
    LogText jobName;
};

// Prefix (1), Suffix (2) and ReplaceEnvironment (3).
struct LogEnvironmentRecord {
    uint8_t type = 0;
    uint8_t jobId = 0;
    LogText name;   // text strings
    LogText value;
    uint32_t status = 0;
};

struct LogEndJobRecord {
    uint8_t jobId = 0;
    uint32_t status = 0;
    int64_t time = 0;
    uint32_t jobState = 0;
};

// StepStart (7), OutputReset (10), OutputTransfer (11), InputWrite (12) and
// SetDevelopmentEnvironment (8): a job, a status, and what the status carries.
struct LogJobStatusRecord {
    uint8_t type = 0;
    uint8_t jobId = 0;
    LogText environment;     // SetDevelopmentEnvironment: the name
    uint32_t status = 0;
    uint32_t errorCode = 0;  // when the status carries one
    bool hasErrorCode = false;
    LogText text;            // when the status carries text
};

struct LogAddOutputRecord {
    uint8_t jobId = 0;
    const LogText* paths = nullptr;  // text strings
    uint32_t pathCount = 0;
    bool failedOutputList = false;   // the list ended with the alternative mark
    uint32_t status = 0;
    uint32_t errorCode = 0;          // status 8
    LogText text;                    // status 6, 7: the path; status 8: the text
};

struct LogExecuteRecord {
    uint8_t jobId = 0;
    bool hasBitmap = false;          // argument flags byte 1
    const uint8_t* bitmap = nullptr; // in a UTF-16 log without flags: the one zero byte
    uint32_t bitmapBytes = 0;
    LogText directory;
    LogText executable;
    const LogText* parameters = nullptr;
    uint32_t parameterCount = 0;
    uint32_t status = 0;
    uint32_t errorCode = 0;          // status 6
    LogText text;                    // status 6
    // Whether argument i (0: the executable) names an environment variable.
    bool IsEnvironmentArgument(uint32_t i) const {
        return hasBitmap && i / 8 < bitmapBytes && (bitmap[i / 8] >> (i % 8) & 1) != 0;
    }
};

struct LogVersionRecord {
    uint16_t major = 0;
    uint16_t minor = 0;
    uint16_t build = 0;
    uint32_t patch = 0;
};

struct LogHopRecord {
    LogText url;
    uint32_t kind = 0;       // 0 to 5
    LogText address;         // kinds 0 and 5
    int64_t time = 0;        // kinds 1 to 4
    uint32_t errorCode = 0;  // kind 4
    LogText text;            // kind 4
    LogText sshCommandLine;  // kind 5
};

struct LogPollEvent {
    uint8_t code = 0;        // 0 to 14, 16, 17 (15 ends the record)
    uint8_t jobId = 0;
    uint64_t elapsed = 0;    // nanoseconds
    uint32_t value = 0;      // events 4 to 11
    uint8_t capacity = 0;    // events 16, 17
    LogText data;            // output (0 to 3) or message (9 to 11)
};

// Connection (0xFF) and protocol (0xFE) errors.
struct LogConnectionErrorRecord {
    uint8_t kind = 0;
    int64_t time = 0;
    uint32_t errorCode = 0;
    LogText message;
};

// Job failure (0xFC), job file failure (0xFB), input archive failure (0xFA)
// and output archive failure (0xF9).
struct LogJobErrorRecord {
    uint8_t kind = 0;
    LogJob job;
    int64_t time = 0;
    uint32_t errorCode = 0;
    LogText message;                 // 0xFC, 0xFB; 0xFA: the job's message
    LogText subject;                 // 0xFB
    const LogText* chain = nullptr;  // 0xFA, 0xF9: most general first
    uint32_t chainCount = 0;
    LogText path;                    // 0xFA, 0xF9
};

enum class LogAction { Continue, Corrupt, Stop };

// The dispatch table. A null entry skips its records.
struct ConnectionLogHandlers {
    void* context = nullptr;
    LogAction (*header)(void* context, const LogHeaderRecord& record) = nullptr;
    LogAction (*startJob)(void* context, const LogStartJobRecord& record) = nullptr;
    LogAction (*environment)(void* context, const LogEnvironmentRecord& record) = nullptr;
    LogAction (*endJob)(void* context, const LogEndJobRecord& record) = nullptr;
    LogAction (*jobStatus)(void* context, const LogJobStatusRecord& record) = nullptr;
    LogAction (*addOutput)(void* context, const LogAddOutputRecord& record) = nullptr;
    LogAction (*execute)(void* context, const LogExecuteRecord& record) = nullptr;
    LogAction (*version)(void* context, const LogVersionRecord& record) = nullptr;
    LogAction (*hop)(void* context, const LogHopRecord& record) = nullptr;
    // A Poll record: one call per event, then pollEnd at the end mark.
    LogAction (*pollEvent)(void* context, const LogPollEvent& event) = nullptr;
    LogAction (*pollEnd)(void* context) = nullptr;
    LogAction (*connectionError)(void* context, const LogConnectionErrorRecord& record) = nullptr;
    LogAction (*jobError)(void* context, const LogJobErrorRecord& record) = nullptr;
};

enum class LogReadResult {
    Done,     // the file ended after a whole record
    Corrupt,  // message: kConnectionLogCorrupt
    Stopped,  // a handler answered Stop; its own failure stands
    Failed,   // message says why (memory)
};

struct ConnectionLogReader {
    std::FILE* stream = nullptr;
    bool utf16 = false;
    bool ownsStream = false;
    const char* message = nullptr;  // the failure text, when messageOwned heap-owned
    bool messageOwned = false;
    bool corrupt = false;

    ConnectionLogReader() = default;
    ~ConnectionLogReader();
    ConnectionLogReader(const ConnectionLogReader&) = delete;
    ConnectionLogReader& operator=(const ConnectionLogReader&) = delete;

    // Opens the file for reading in binary mode; on failure the message is
    // "Failed to open the connection log, error {0}" with the runtime library's code.
    bool Open(const char* path, bool utf16Log);
    // Reads from a stream the caller opened (and keeps).
    void Attach(std::FILE* file, bool utf16Log);
    // Reads the header and every record, dispatching each.
    LogReadResult Read(const ConnectionLogHandlers& handlers);
    void Close();

    // Record assembly (see the .cc): bytes of the current record and the
    // spans of its string lists.
    struct Span {
        uint32_t offset;
        uint32_t length;
    };
    uint8_t* bytes = nullptr;
    uint32_t byteCount = 0;
    uint32_t byteCapacity = 0;
    Span* spans = nullptr;
    uint32_t spanCount = 0;
    uint32_t spanCapacity = 0;
    LogText* texts = nullptr;
    uint32_t textCapacity = 0;
    bool outOfMemory = false;

private:
    void SetMessage(const char* text, bool owned);
};

}  // namespace kestrel
