#include "agent/wire_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <set>

#include "archive/paxgz_file.h"
#include "archive/paxgz_reader.h"
#include "archive/paxgz_writer.h"
#include "archive/safe_path.h"
#include "eventloop/event_loop.h"
#include "platform/files.h"
#include "runtime/format.h"
#include "runtime/utf16.h"

namespace kestrel::test {

namespace {

constexpr char kUrl[] = "kv://127.0.0.1";

}  // namespace

std::string Shown(const char* format) { return FormatToString(format, {{FormatString, kUrl}}); }

WireClient::WireClient() {
    connection_.owner = this;
    connection_.machineName = "agent";
    connection_.firstHopUrl = kUrl;
    connection_.client = &client_;
    connection_.onFailure = OnFailure;
    AllocateMessageBuffer(connection_);
}

WireClient::~WireClient() {
    Close();
    FreeMessageBuffer(connection_);
}

void WireClient::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool WireClient::Connect(uint16_t port) {
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Close();
        return false;
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    connection_.state = 0;
    return true;
}

void WireClient::OnAnswer(Connection& connection, uint8_t* message, uint32_t length) {
    WireClient& self = *static_cast<TestConnection&>(connection).owner;
    self.answer_.ok = true;
    self.answer_.payload.assign(reinterpret_cast<const char*>(message) + kMessageHeaderSize, length - kMessageHeaderSize);
    EventLoop::Unregister(&connection.protocol.socket);
}

void WireClient::OnFailure(Connection& connection) {
    WireClient& self = *static_cast<TestConnection&>(connection).owner;
    self.answer_.ok = false;
    self.answer_.failure = self.client_.message != nullptr ? self.client_.message : "failure";
    CloseConnectionSocket(connection);
}

Answer WireClient::Exchange(uint8_t* buffer, uint32_t payloadLength, bool hello) {
    answer_ = Answer{};
    if (fd_ < 0 || (connection_.state & kConnectionFailed) != 0) {
        answer_.failure = "not connected";
        return answer_;
    }
    // The loop closes what it was given: give it a duplicate and keep the socket.
    AttachSocket(connection_, platform::SocketHandle{dup(fd_)});
    if (hello) {
        SendHello(connection_, OnAnswer);
    } else {
        SendRequestFrom(connection_, buffer, payloadLength, OnAnswer, LogFillerInfo{});
    }
    if (connection_.protocol.socket.socket.valid() && (connection_.state & kConnectionFailed) == 0) {
        EventLoop loop;
        IoObject* initial[] = {&connection_.protocol.socket, nullptr};
        int32_t error = 0;
        if (!loop.Run(initial, &error)) answer_.failure = "the event loop failed";
    } else {
        platform::CloseSocket(connection_.protocol.socket.socket);
    }
    return answer_;
}

Answer WireClient::Hello() { return Exchange(buffer(), 0, true); }

Answer WireClient::SendPrepared(uint32_t payloadLength) { return Exchange(buffer(), payloadLength, false); }

Answer WireClient::Request(const std::function<void(PayloadWriter&)>& build) {
    PayloadWriter writer = BeginPayload(buffer(), utf16_);
    build(writer);
    return SendPrepared(writer.length);
}

Answer WireClient::Raw(const std::string& payload) {
    std::memcpy(buffer() + kMessageHeaderSize, payload.data(), payload.size());
    return SendPrepared(static_cast<uint32_t>(payload.size()));
}

std::string WireClient::Open(uint16_t port) {
    if (!Connect(port)) return "cannot connect";
    const Answer hello = Hello();
    if (!hello.ok) return hello.failure;
    if (hello.payload != "accept") return "not accepted: " + hello.payload;
    return Negotiate();
}

std::string WireClient::Negotiate() {
    const auto bare = [&](MessageType type) { return Request([type](PayloadWriter& w) { BuildBareRequest(w, type); }); };
    Answer answer = bare(MessageType::Encoding);
    if (!answer.ok) return answer.failure;
    EncodingResponse encoding;
    const auto bytes = [](const Answer& a) { return reinterpret_cast<const uint8_t*>(a.payload.data()); };
    const auto size = [](const Answer& a) { return static_cast<uint32_t>(a.payload.size()); };
    if (const char* fault = CheckEncodingResponse(bytes(answer), size(answer), encoding)) return Shown(fault);
    utf16_ = encoding.utf16;
    encodingName_ = reinterpret_cast<const char*>(encoding.strings[0]);
    if (utf16_) connection_.state |= kConnectionUtf16;

    answer = bare(MessageType::Separators);
    if (!answer.ok) return answer.failure;
    SeparatorsResponse separators;
    if (const char* fault = CheckSeparatorsResponse(bytes(answer), size(answer), utf16_, separators)) return Shown(fault);
    separator_.assign(reinterpret_cast<const char*>(separators.first), separators.firstLength);

    answer = bare(MessageType::Capabilities);
    if (!answer.ok) return answer.failure;
    if (const char* fault = CheckCapabilitiesResponse(bytes(answer), size(answer), secure_)) return Shown(fault);

    answer = bare(MessageType::Version);
    if (!answer.ok) return answer.failure;
    if (const char* fault = CheckVersionResponse(bytes(answer), size(answer), version_)) return Shown(fault);
    return "";
}

Checked CheckStatus(MessageType type, const Answer& answer) {
    Checked checked;
    if (!answer.ok) {
        checked.fault = answer.failure.empty() ? "no answer" : answer.failure;
        return checked;
    }
    const char* fault = CheckStatusResponse(type, reinterpret_cast<const uint8_t*>(answer.payload.data()),
                                            static_cast<uint32_t>(answer.payload.size()), checked.response);
    if (fault != nullptr) checked.fault = Shown(fault);
    if (checked.response.text != nullptr) {
        checked.text.assign(reinterpret_cast<const char*>(checked.response.text), checked.response.textLength);
    }
    return checked;
}

std::string Encoded(const std::string& text, bool utf16) {
    if (!utf16) return text;
    std::vector<char16_t> units(text.size() + 1);
    uint32_t count = 0;
    int error = 0;
    Utf8ToUtf16(text.data(), static_cast<uint32_t>(text.size()), units.data(), static_cast<uint32_t>(units.size()),
                count, error);
    std::string bytes;
    for (uint32_t i = 0; i < count; ++i) {
        bytes += static_cast<char>(units[i] & 0xFF);
        bytes += static_cast<char>(units[i] >> 8);
    }
    return bytes;
}

Checked StartJob(WireClient& client, uint8_t job, uint8_t concurrency) {
    return CheckStatus(MessageType::StartJob,
                       client.Request([&](PayloadWriter& w) { BuildStartJob(w, job, concurrency); }));
}

Checked EndJob(WireClient& client, uint8_t job) {
    return CheckStatus(MessageType::EndJob,
                       client.Request([&](PayloadWriter& w) { BuildJobRequest(w, MessageType::EndJob, job); }));
}

Checked StepStart(WireClient& client, uint8_t job) {
    return CheckStatus(MessageType::StepStart,
                       client.Request([&](PayloadWriter& w) { BuildJobRequest(w, MessageType::StepStart, job); }));
}

Checked EditEnvironment(WireClient& client, MessageType type, uint8_t job, const std::string& name,
                        const std::string& value) {
    return CheckStatus(type, client.Request([&](PayloadWriter& w) {
        BuildEnvironmentEdit(w, type, job, name.data(), static_cast<uint32_t>(name.size()), value.data(),
                             static_cast<uint32_t>(value.size()));
    }));
}

Checked SetDevelopmentEnvironment(WireClient& client, uint8_t job, const std::string& name) {
    const std::string stored = name + std::string(1, '\0');
    return CheckStatus(MessageType::SetDevelopmentEnvironment, client.Request([&](PayloadWriter& w) {
        BuildSetDevelopmentEnvironment(w, job, reinterpret_cast<const uint8_t*>(stored.data()),
                                       static_cast<uint32_t>(stored.size()));
    }));
}

Checked AddOutputs(WireClient& client, uint8_t job, const std::vector<std::string>& paths) {
    return CheckStatus(MessageType::AddOutput, client.Request([&](PayloadWriter& w) {
        BeginAddOutput(w, job);
        for (const std::string& path : paths) AddOutputPath(w, path.data(), static_cast<uint32_t>(path.size()));
    }));
}

std::mutex& ArchiveLock() {
    static std::mutex lock;
    return lock;
}

// ---- input ----

namespace {

struct InputSource {
    WireClient* client;
    uint8_t job;
    std::string root;
    const std::vector<std::string>* entries;
    size_t next = 0;
    std::string directory;
    std::string name;
    InputResult* result;
};

bool NextInput(void* context, PaxgzEntry& entry, platform::FileHandle& fd, bool& haveEntry, int32_t& error) {
    auto& source = *static_cast<InputSource*>(context);
    fd = platform::kNoFile;
    if (source.next >= source.entries->size()) {
        haveEntry = false;
        return true;
    }
    std::string path = (*source.entries)[source.next++];
    if (!path.empty() && path.back() == '/') path.pop_back();
    const size_t slash = path.rfind('/');
    const bool utf16 = source.client->utf16();
    source.directory = Encoded(slash == std::string::npos ? "" : path.substr(0, slash), utf16);
    source.name = Encoded(slash == std::string::npos ? path : path.substr(slash + 1), utf16);
    platform::FileFacts facts{};
    int code = 0;
    if (!platform::OpenForReading((source.root + "/" + path).c_str(), fd, facts, code)) {
        error = code;
        return false;
    }
    entry = PaxgzEntry{};
    entry.directory = reinterpret_cast<const uint8_t*>(source.directory.data());
    entry.directoryLength = static_cast<uint32_t>(source.directory.size());
    entry.name = reinterpret_cast<const uint8_t*>(source.name.data());
    entry.nameLength = static_cast<uint32_t>(source.name.size());
    entry.kind = facts.directory ? PaxgzEntryKind::kDirectory : PaxgzEntryKind::kRegularFile;
    entry.size = facts.size;
    entry.modifiedSeconds = facts.modifiedSeconds;
    entry.modifiedNanoseconds = facts.modifiedNanoseconds;
    haveEntry = true;
    return true;
}

PaxgzWriteResult SendPiece(void* context, const uint8_t*, uint32_t count, int32_t& error) {
    auto& source = *static_cast<InputSource*>(context);
    // The piece sits in the message buffer already, after the type and job ID.
    BeginInputWrite(source.client->buffer(), source.job);
    const Answer answer = source.client->SendPrepared(count + 2);
    ++source.result->pieces;
    source.result->last = CheckStatus(MessageType::InputWrite, answer);
    if (!source.result->last.fault.empty() || source.result->last.status() != 0) {
        error = 5;
        return PaxgzWriteResult::kFailed;
    }
    return PaxgzWriteResult::kCompleted;
}

}  // namespace

InputResult SendInputs(WireClient& client, uint8_t job, const std::string& root, const std::vector<std::string>& entries) {
    std::lock_guard<std::mutex> hold(ArchiveLock());
    InputResult result;
    InputSource source{&client, job, root, &entries, 0, "", "", &result};
    auto writer = std::make_unique<PaxgzWriter>();
    std::vector<uint8_t> staging(65536);
    const std::string separator = Encoded("/", client.utf16());
    PaxgzWriterConfig config;
    config.context = &source;
    config.nextEntry = NextInput;
    config.write = SendPiece;
    config.staging = staging.data();
    config.stagingSize = static_cast<uint32_t>(staging.size());
    config.output = client.buffer() + kInputWriteDataOffset;
    config.outputSize = kMaxInputWritePiece;
    config.encoding = client.utf16() ? "UTF-16LE" : "UTF-8";
    config.separator = reinterpret_cast<const uint8_t*>(separator.data());
    config.separatorLength = static_cast<uint32_t>(separator.size());
    const bool ok = writer->Start(config);
    if (!ok && result.last.fault.empty() && result.last.status() == 0)
        result.failure = std::string("the writer failed: ") + (writer->Describe(0) ? writer->Describe(0) : "");
    writer->Close();
    return result;
}

InputResult SendArchiveBytes(WireClient& client, uint8_t job, const std::function<bool(std::string& piece)>& next) {
    InputResult result;
    std::string piece;
    while (next(piece)) {
        if (piece.size() > kMaxInputWritePiece) {
            result.failure = "a piece larger than an InputWrite carries";
            return result;
        }
        BeginInputWrite(client.buffer(), job);
        std::memcpy(client.buffer() + kInputWriteDataOffset, piece.data(), piece.size());
        ++result.pieces;
        result.last = CheckStatus(MessageType::InputWrite, client.SendPrepared(static_cast<uint32_t>(piece.size() + 2)));
        if (!result.last.fault.empty() || result.last.status() != 0) break;
    }
    return result;
}

// ---- output ----

namespace {

struct OutputSink {
    ExtractionRoot root;
    bool finished = false;
};

bool CreateOutput(void* context, const PaxgzReadEntry& entry, platform::FileHandle& file, int32_t& error) {
    return CreateEntryBeneath(static_cast<OutputSink*>(context)->root, entry, file, error);
}

void OutputNeedsInput(void*) {}
void OutputFailed(void*) {}
void OutputFinished(void* context, uint32_t) { static_cast<OutputSink*>(context)->finished = true; }

}  // namespace

OutputResult FetchOutputs(WireClient& client, uint8_t job, const std::string& destination) {
    std::lock_guard<std::mutex> hold(ArchiveLock());
    OutputResult result;
    OutputSink sink;
    int error = 0;
    if (!sink.root.Open(destination.c_str(), error)) {
        result.failure = "cannot open " + destination;
        return result;
    }
    auto reader = std::make_unique<PaxgzReader>();
    std::vector<uint8_t> input(65536), output(65536);
    PaxgzReaderConfig config;
    config.context = &sink;
    config.input = input.data();
    config.inputSize = static_cast<uint32_t>(input.size());
    config.output = output.data();
    config.outputSize = static_cast<uint32_t>(output.size());
    config.create = CreateOutput;
    config.needInput = OutputNeedsInput;
    config.failed = OutputFailed;
    config.finished = OutputFinished;
    config.headerRecordLimit = kPaxgzTransferHeaderRecords;
    if (!reader->Start(config)) {
        result.failure = "the reader did not start";
        return result;
    }
    bool last = false;
    while (!sink.finished && !last) {
        const Answer answer =
            client.Request([&](PayloadWriter& w) { BuildJobRequest(w, MessageType::OutputTransfer, job); });
        result.last = CheckStatus(MessageType::OutputTransfer, answer);
        if (!result.last.fault.empty()) {
            result.failure = result.last.fault;
            break;
        }
        const uint32_t status = result.last.status();
        if (status > 1) {
            result.failure = "OutputTransfer status " + std::to_string(status) + " " + result.last.text;
            break;
        }
        ++result.pieces;
        last = status == 1;
        const uint32_t count = static_cast<uint32_t>(answer.payload.size() - 4);
        result.archiveBytes += count;
        std::memcpy(input.data(), answer.payload.data() + 4, count);
        if (!reader->Process(count, last)) {
            result.failure = std::string("the reader failed: ") + (reader->Describe(0) ? reader->Describe(0) : "") +
                             " " + (reader->Describe(1) ? reader->Describe(1) : "");
            break;
        }
    }
    if (result.failure.empty() && !sink.finished) result.failure = "the archive did not end";
    reader->Close();
    return result;
}

// ---- commands ----

PollResult Poll(WireClient& client, const std::vector<uint8_t>& running) {
    PollResult result;
    result.answer = client.Request([](PayloadWriter& w) { BuildBareRequest(w, MessageType::Poll); });
    if (!result.answer.ok) {
        result.fault = "no answer";
        return result;
    }
    const auto* payload = reinterpret_cast<const uint8_t*>(result.answer.payload.data());
    const auto length = static_cast<uint32_t>(result.answer.payload.size());
    std::set<uint8_t> jobs(running.begin(), running.end());
    const RunningJobCheck isRunning = [](void* context, uint8_t id) {
        return static_cast<std::set<uint8_t>*>(context)->count(id) != 0;
    };
    result.fault = CheckPollResponse(payload, length, isRunning, &jobs);
    if (result.fault != nullptr) return result;
    uint32_t offset = 0;
    PollEvent event;
    while (NextPollEvent(payload, length, offset, event)) {
        PolledEvent polled{event.code, event.jobId, event.elapsed, event.value, event.capacity, ""};
        if (event.data != nullptr) polled.data.assign(reinterpret_cast<const char*>(event.data), event.dataLength);
        result.events.push_back(std::move(polled));
    }
    return result;
}

CommandResult RunCommand(WireClient& client, uint8_t job, const std::string& directory,
                         const std::vector<std::string>& arguments, const std::vector<uint32_t>& environmentParts) {
    CommandResult result;
    std::vector<uint8_t> bitmap;
    for (uint32_t part : environmentParts) {
        if (bitmap.size() < ExecuteBitmapBytes(part)) bitmap.resize(ExecuteBitmapBytes(part));
        SetBitmapBit(bitmap.data(), part);
    }
    const Answer answer = client.Request([&](PayloadWriter& w) {
        BeginExecute(w, job, bitmap.data(), static_cast<uint32_t>(bitmap.size()));
        AddExecuteString(w, directory.data(), static_cast<uint32_t>(directory.size()));
        for (const std::string& argument : arguments)
            AddExecuteString(w, argument.data(), static_cast<uint32_t>(argument.size()));
    });
    result.execute = CheckStatus(MessageType::Execute, answer);
    if (!result.execute.fault.empty()) {
        result.failure = result.execute.fault;
        return result;
    }
    if (result.execute.status() != 0) return result;
    // As the client sees it: an abnormal end ends the command at once; a
    // return value only together with the end of both streams.
    const auto ended = [&] {
        return result.signalled || result.startFailed || (result.returned && result.outEnded && result.errEnded);
    };
    // Bounded, so that an agent that never ends a command fails the test instead of hanging it.
    while (!ended() && result.polls < 100000 && result.stillRunning < 2000) {
        PollResult poll = Poll(client, {job});
        ++result.polls;
        if (poll.fault != nullptr) {
            result.failure = poll.answer.ok ? Shown(poll.fault) : poll.answer.failure;
            return result;
        }
        for (const PolledEvent& event : poll.events) {
            const bool concernsJob = event.code <= kPollStderrThrottled && event.code != kPollStillRunning;
            if (concernsJob && event.jobId != job) continue;
            if (concernsJob && ended()) {
                result.failure = "an event after the command ended: " + std::to_string(event.code);
                return result;
            }
            if (concernsJob) {
                if (event.elapsed < result.lastElapsed) result.elapsedOrdered = false;
                result.lastElapsed = event.elapsed;
            }
            switch (event.code) {
            case kPollStdout:
            case kPollStdoutEnd:
                result.out += event.data;
                result.outEnded |= event.code == kPollStdoutEnd;
                break;
            case kPollStderr:
            case kPollStderrEnd:
                result.err += event.data;
                result.errEnded |= event.code == kPollStderrEnd;
                break;
            case kPollReturned:
                result.returned = true;
                result.value = static_cast<int32_t>(event.value);
                break;
            case kPollSignalled:
                result.signalled = true;
                result.signal = event.value;
                break;
            case kPollStartFailed:
                result.startFailed = true;
                result.startError = event.value;
                break;
            case kPollStdoutThrottled:
            case kPollStderrThrottled: ++result.throttled; break;
            case kPollStillRunning: ++result.stillRunning; break;
            case kPollCapacityUnits:
            case kPollCapacityBlocks:
                result.capacity.push_back(event.code);
                result.capacity.push_back(event.capacity);
                break;
            default:
                result.failure = "unexpected event " + std::to_string(event.code);
                return result;
            }
        }
    }
    if (!ended()) result.failure = "the command did not end";
    return result;
}

}  // namespace kestrel::test
