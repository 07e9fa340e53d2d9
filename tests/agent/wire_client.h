// The client's side of a conversation with a real agent, through the
// project's own protocol layer: every request goes out with SendRequest on
// a Connection, its answer comes back through CheckResponse on the event
// loop (keep-alives echoed, framing faults reported as the client reports
// them). Each exchange runs its own short event loop on a duplicate of the
// socket, so that a test can be written as a plain sequence of requests.
//
// Also the archive transfers (our writer for inputs, our reader for
// outputs) and a command runner that polls until the command has ended.
// Free of GoogleTest, so that the benchmarks can drive an agent too.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "client/connection.h"
#include "client/direct_client.h"
#include "client/requests.h"
#include "client/responses.h"

namespace kestrel::test {

// One exchange: the response payload, or the failure the client reported.
struct Answer {
    bool ok = false;
    std::string payload;  // after the 8-byte header
    std::string failure;  // the client's failure message when !ok
};

class WireClient;

struct TestConnection : Connection {
    WireClient* owner = nullptr;
};

class WireClient {
public:
    WireClient();
    ~WireClient();
    WireClient(const WireClient&) = delete;
    WireClient& operator=(const WireClient&) = delete;

    bool Connect(uint16_t port);
    // The Hello and its answer ("accept", "recalculate", "reject\n...").
    Answer Hello();
    // Any request: `build` writes the payload (the machine's encoding is set
    // in the writer).
    Answer Request(const std::function<void(PayloadWriter&)>& build);
    // A raw payload, as given.
    Answer Raw(const std::string& payload);
    // The payload already in the message buffer from offset 8.
    Answer SendPrepared(uint32_t payloadLength);
    uint8_t* buffer() { return connection_.protocol.messageBuffer; }
    // Hello, then Encoding, Separators, Capabilities and Version. Sets the
    // encoding for later requests. Empty on success, else what went wrong.
    std::string Open(uint16_t port);
    std::string Negotiate();

    bool utf16() const { return utf16_; }
    void set_utf16(bool utf16) { utf16_ = utf16; }
    bool secure() const { return secure_; }
    const std::string& separator() const { return separator_; }  // as the machine sent it
    const std::string& encodingName() const { return encodingName_; }
    VersionResponse version() const { return version_; }
    bool protocolFailureSeen() const { return (client_.stateFlags & kClientProtocolFailureSeen) != 0; }
    int fd() const { return fd_; }
    Connection& connection() { return connection_; }
    void Close();

private:
    Answer Exchange(uint8_t* buffer, uint32_t payloadLength, bool hello);
    static void OnAnswer(Connection& connection, uint8_t* message, uint32_t length);
    static void OnFailure(Connection& connection);

    DirectClient client_;
    TestConnection connection_;
    int fd_ = -1;
    bool utf16_ = false;
    bool secure_ = false;
    std::string separator_;
    std::string encodingName_;
    VersionResponse version_;
    Answer answer_;
};

// Formats a catalogue message with the connection's URL, as the client would show it.
std::string Shown(const char* format);

// The status-led answer checked against its row of the catalogue. `fault`
// receives the client's malformed-response message (null when the row holds).
struct Checked {
    StatusResponse response;
    std::string fault;  // empty when the row holds
    std::string text;   // the trailing text or bytes
    uint32_t status() const { return response.status; }
};
Checked CheckStatus(MessageType type, const Answer& answer);

// ASCII text in the machine's encoding (with no terminator).
std::string Encoded(const std::string& text, bool utf16);

// Requests of a job.
Checked StartJob(WireClient& client, uint8_t job, uint8_t concurrency);
Checked EndJob(WireClient& client, uint8_t job);
Checked StepStart(WireClient& client, uint8_t job);
Checked EditEnvironment(WireClient& client, MessageType type, uint8_t job, const std::string& name,
                        const std::string& value);
Checked SetDevelopmentEnvironment(WireClient& client, uint8_t job, const std::string& name);
Checked AddOutputs(WireClient& client, uint8_t job, const std::vector<std::string>& paths);

// The archive code is not thread-safe: tests that transfer from several
// threads hold this around each transfer.
std::mutex& ArchiveLock();

// Sends the listed entries below `root` ("dir/" names a directory entry) as
// the input archive, one InputWrite per piece. Returns the first status
// that was not 0 (with its check), or status 0 when every piece went in.
struct InputResult {
    Checked last;
    uint32_t pieces = 0;
    std::string failure;  // a local failure (the writer, the connection)
};
InputResult SendInputs(WireClient& client, uint8_t job, const std::string& root,
                       const std::vector<std::string>& entries);

// Sends archive bytes as they come from `next` (false: no more), one
// InputWrite per piece of at most kMaxInputWritePiece bytes, until a piece
// is refused or the bytes run out. For archives our writer would not make.
InputResult SendArchiveBytes(WireClient& client, uint8_t job, const std::function<bool(std::string& piece)>& next);

// Fetches the output archive with OutputTransfer and unpacks it below
// `destination`. Empty on success, else the failure.
struct OutputResult {
    std::string failure;
    Checked last;  // the last OutputTransfer answer
    uint32_t pieces = 0;
    uint64_t archiveBytes = 0;
};
OutputResult FetchOutputs(WireClient& client, uint8_t job, const std::string& destination);

// Runs one command (Execute, then Poll until it has ended) and gathers what
// the Poll responses said about it.
struct CommandResult {
    Checked execute;
    std::string out;
    std::string err;
    bool returned = false;
    int32_t value = 0;
    bool signalled = false;
    uint32_t signal = 0;
    bool startFailed = false;
    uint32_t startError = 0;
    bool outEnded = false;
    bool errEnded = false;
    uint32_t polls = 0;
    uint32_t throttled = 0;    // events 13 and 14
    uint32_t stillRunning = 0; // events 12
    std::vector<uint8_t> capacity;  // the capacity events seen ([code, n] pairs)
    uint64_t lastElapsed = 0;
    bool elapsedOrdered = true;  // elapsed never went backwards
    std::string failure;         // malformed Poll, or the connection failed
};
CommandResult RunCommand(WireClient& client, uint8_t job, const std::string& directory,
                         const std::vector<std::string>& arguments, const std::vector<uint32_t>& environmentParts = {});

// One Poll, checked; `running` names the jobs whose command is running.
struct PolledEvent {
    uint8_t code = 0;
    uint8_t jobId = 0;
    uint64_t elapsed = 0;
    uint32_t value = 0;
    uint8_t capacity = 0;
    std::string data;
};
struct PollResult {
    Answer answer;
    const char* fault = nullptr;
    std::vector<PolledEvent> events;
};
PollResult Poll(WireClient& client, const std::vector<uint8_t>& running = {});

}  // namespace kestrel::test
