#include "agent/session.h"

#include <cstring>
#include <thread>

#include "agent/os/files.h"
#include "agent/os/host.h"
#include "agent/os/tcp.h"
#include "agent/wire_text.h"
#include "client/requests.h"

namespace kestrel::agent {

namespace {

constexpr char kAccept[] = "accept";
constexpr char kRecalculate[] = "recalculate";
constexpr char kReject[] = "reject\n";
// A corrupt answer: one byte that no response row allows (an event byte 15
// for Poll, too short for every status, unterminated for the string lists).
constexpr uint8_t kCorruptPayload[] = {0x0F};

constexpr uint16_t kVersionMajor = 0;
constexpr uint16_t kVersionMinor = 1;
constexpr uint16_t kVersionBuild = 2024;
constexpr uint32_t kVersionPatch = 0;

uint16_t PreviousSequence(uint16_t sequence) { return sequence <= 1 ? uint16_t{65535} : uint16_t(sequence - 1); }

}  // namespace

Session::Session(AgentMachine& machine, Transport& transport, uint64_t number, bool served, uint64_t ticket)
    : machine_(machine),
      transport_(transport),
      number_(number),
      served_(served),
      ticket_(ticket),
      helloDeadline_(std::chrono::steady_clock::now() + std::chrono::milliseconds(machine.Options().helloTimeoutMs)) {}

Session::~Session() {
    ReturnGrantedRoom();
    while (!jobs_.empty()) {
        EndJob(*jobs_.begin()->second);
        jobs_.erase(jobs_.begin());
    }
    if (tunnelFd_ >= 0) {
        machine_.Untrack(tunnelFd_);
        os::CloseDescriptor(tunnelFd_);
    }
}

void Session::Log(const std::string& line) const { machine_.Log("connection " + std::to_string(number_) + ": " + line); }

// ---- framing ----

// A whole message must arrive in time: before the Hello deadline until the
// connection is admitted, then within the idle time-out of starting to wait.
bool Session::ReadMessage(MessageHeader& header, bool& ended) {
    transport_.SetReadDeadline(admitted_ ? std::chrono::steady_clock::now() +
                                               std::chrono::milliseconds(machine_.Options().idleTimeoutMs)
                                         : helloDeadline_);
    uint8_t raw[kMessageHeaderSize];
    if (!transport_.Read(raw, kMessageHeaderSize, ended)) return false;
    header = ReadHeader(raw);
    if (header.length < kMessageHeaderSize) {
        Log("a message shorter than its header");
        return false;
    }
    bool cut = false;
    const uint32_t payload = header.length - kMessageHeaderSize;
    return payload == 0 || transport_.Read(in_, payload, cut);
}

void Session::LogReadFailure(bool ended) const {
    if (ended) return;
    if (!transport_.TimedOut()) return Log("the connection broke off");
    Log(admitted_ ? "closed: silent for longer than the idle time-out" : "closed: no Hello in time");
}

bool Session::SendMessage(uint32_t connectionId, uint16_t sequence, const uint8_t* payload, uint32_t length) {
    uint8_t* message = reply_.Message();
    // The payload is either the reply's own or a short one of our choosing.
    if (payload != reply_.Payload()) std::memmove(reply_.Payload(), payload, length);
    WriteHeader(message, MessageHeader{connectionId, sequence, static_cast<uint16_t>(length + kMessageHeaderSize)});
    if (transport_.Write(message, length + kMessageHeaderSize)) return true;
    writeFailed_ = true;
    return false;
}

bool Session::SendKeepAlive(uint16_t sequence) {
    uint8_t message[kMessageHeaderSize];
    WriteHeader(message, MessageHeader{connectionId_, sequence, kMessageHeaderSize});
    lastKeepAlive_ = std::chrono::steady_clock::now();
    if (transport_.Write(message, kMessageHeaderSize)) return true;
    writeFailed_ = true;
    return false;
}

void Session::Tick() {
    if (!busy_ || writeFailed_) return;
    const auto interval = std::chrono::milliseconds(machine_.Options().keepAliveMs);
    if (std::chrono::steady_clock::now() - lastKeepAlive_ >= interval) SendKeepAlive(sequence_);
}

bool Session::WaitForEcho() {
    MessageHeader header;
    bool ended = false;
    if (!ReadMessage(header, ended)) return false;
    if (header.length != kMessageHeaderSize || header.connectionId != connectionId_) {
        Log("expected a keep-alive echo");
        return false;
    }
    Log("keep-alive echo");
    return true;
}

void Session::Delay(uint32_t milliseconds, uint16_t sequence) {
    const auto slice = std::chrono::milliseconds(machine_.Options().keepAliveMs);
    auto left = std::chrono::milliseconds(milliseconds);
    while (left.count() > 0 && !machine_.Stopping() && !writeFailed_) {
        const auto step = left < slice ? left : slice;
        std::this_thread::sleep_for(step);
        left -= step;
        if (left.count() > 0) SendKeepAlive(sequence);
    }
}

bool Session::SendReply(uint32_t kind, uint16_t sequence) {
    busy_ = false;
    if (writeFailed_) return false;
    const MessageFaults& faults = machine_.Options().faults.perKind[kind];
    if (faults.keepAlive == KeepAliveFault::Current) {
        if (!SendKeepAlive(sequence) || !WaitForEcho()) return false;
    } else if (faults.keepAlive == KeepAliveFault::Stale) {
        if (!SendKeepAlive(PreviousSequence(sequence))) return false;
    }
    if (faults.delayMs > 0) Delay(faults.delayMs, sequence);
    const uint32_t id = faults.wrongId ? ~connectionId_ : connectionId_;
    const uint16_t answered = faults.wrongSequence ? static_cast<uint16_t>(sequence + 1) : sequence;
    if (faults.corrupt) return SendMessage(id, answered, kCorruptPayload, sizeof kCorruptPayload);
    return SendMessage(id, answered, reply_.Payload(), reply_.Length());
}

// ---- the connection ----

void Session::Run() {
    for (;;) {
        if (machine_.Stopping()) return;
        MessageHeader header;
        bool ended = false;
        if (!ReadMessage(header, ended)) {
            LogReadFailure(ended);
            return;
        }
        if (header.length == kMessageHeaderSize) {
            // The echo of a keep-alive sent during an earlier request.
            Log("keep-alive echo");
            continue;
        }
        reply_.Clear();
        After after;
        if (!admitted_) {
            after = OnHello(header);
        } else {
            if (header.connectionId != connectionId_) {
                Log("a request with another connection id");
                return;
            }
            sequence_ = header.sequence;
            ++requests_;
            const uint32_t closeAt = machine_.Options().faults.closeAt;
            if (closeAt != 0 && requests_ == closeAt) {
                Log("closing at request " + std::to_string(requests_) + " (test)");
                return;
            }
            const Request request{in_[0], in_, header.length - kMessageHeaderSize};
            if (request.type != static_cast<uint8_t>(MessageType::StartJob)) ReturnGrantedRoom();
            busy_ = true;
            lastKeepAlive_ = std::chrono::steady_clock::now();
            after = Dispatch(request);
            if (after != After::Close || request.type == static_cast<uint8_t>(MessageType::EndConnection)) {
                if (!SendReply(request.type, header.sequence)) return;
            }
        }
        if (after == After::Close) return;
        if (after == After::Tunnel) {
            Log("relaying to the tunnel");
            os::RelayStreams(transport_.SocketFd(), tunnelFd_, machine_.Options().idleTimeoutMs);
            return;
        }
    }
}

Session::After Session::Dispatch(const Request& request) {
    if (request.type != static_cast<uint8_t>(MessageType::Tunnel)) negotiated_ = true;
    switch (static_cast<MessageType>(request.type)) {
    case MessageType::Encoding: OnEncoding(); break;
    case MessageType::Separators: OnSeparators(); break;
    case MessageType::Capabilities: OnCapabilities(); break;
    case MessageType::Version: OnVersion(); break;
    case MessageType::Tunnel: return OnTunnel(request);
    case MessageType::StartJob: OnStartJob(request); break;
    case MessageType::SetDevelopmentEnvironment: OnSetDevelopmentEnvironment(request); break;
    case MessageType::ReplaceEnvironment:
    case MessageType::PrefixEnvironment:
    case MessageType::SuffixEnvironment: OnEnvironmentEdit(request); break;
    case MessageType::InputWrite: OnInputWrite(request); break;
    case MessageType::StepStart: OnStepStart(request); break;
    case MessageType::Execute: OnExecute(request); break;
    case MessageType::Poll: OnPoll(); break;
    case MessageType::AddOutput: OnAddOutput(request); break;
    case MessageType::OutputReset: OnOutputReset(request); break;
    case MessageType::OutputTransfer: OnOutputTransfer(request); break;
    case MessageType::EndJob: OnEndJob(request); break;
    case MessageType::EndConnection:
        Status(0);
        Log("end of connection");
        return After::Close;
    default:
        // No row of the catalogue to answer with: the stream cannot be trusted.
        Log("unknown request type " + std::to_string(request.type));
        return After::Close;
    }
    return After::Continue;
}

// ---- admission ----

Session::After Session::OnHello(const MessageHeader& header) {
    const uint32_t length = header.length - kMessageHeaderSize;
    connectionId_ = header.connectionId;
    const bool hello = header.sequence == 0 && length == kHelloTextLength && std::memcmp(in_, kHelloText, length) == 0;
    const TestFaults& faults = machine_.Options().faults;
    After after = After::Continue;
    const auto reject = [&](const std::string& reason) {
        reply_.Bytes(kReject, sizeof kReject - 1);
        reply_.Bytes(reason);
        Log("rejected: " + reason);
        after = After::Close;
    };
    if (!hello) {
        reject("This machine speaks Kestrelvane Direct 1.0");
    } else if (faults.reject) {
        reject(faults.rejectReason);
    } else if (++hellos_ <= faults.recalculate) {
        reply_.Bytes(kRecalculate, sizeof kRecalculate - 1);
        Log("recalculate (test)");
    } else if (!served_) {
        reject("The machine is serving too many connections");
    } else if (!machine_.FinishHello(ticket_)) {
        // Closed to make room an instant ago: there is nobody to answer.
        Log("closed to make room before its Hello was answered");
        return After::Close;
    } else {
        admitted_ = true;
        reply_.Bytes(kAccept, sizeof kAccept - 1);
        Log("accepted");
    }
    if (!SendReply(kHelloKind, header.sequence)) return After::Close;
    return after;
}

// ---- negotiation ----

void Session::OnEncoding() {
    std::string systemName;
    std::string machine;
    os::DescribeSystem(systemName, machine);
    const std::string strings[5] = {Utf16() ? "UTF-16LE" : "UTF-8", "kestrel-agent", "0.1.2024",
                                    systemName.empty() ? "Linux" : systemName,
                                    machine.empty() ? "unknown" : machine};
    // Five non-empty strings in at most 127 bytes: cut the descriptive ones to fit.
    uint32_t room = 127;
    for (const std::string& text : strings) {
        const uint32_t length = static_cast<uint32_t>(text.size() < 24 ? text.size() : 24);
        if (length + 1 > room) break;
        reply_.Bytes(text.data(), length);
        reply_.U8(0);
        room -= length + 1;
    }
}

void Session::OnSeparators() {
    // The path separator, then the separator of path lists in environment values.
    for (const char* text : {machine_.Options().separator.c_str(), ":"}) {
        reply_.Bytes(ResponseText(text, Utf16()));
        reply_.Bytes(ResponseText(std::string(1, '\0'), Utf16()));
    }
}

void Session::OnCapabilities() {
    reply_.U8(0);
    reply_.U8(1);
    reply_.U8(machine_.ConfiguredSecurely() ? 1 : 0);
}

void Session::OnVersion() {
    reply_.U16(kVersionMajor);
    reply_.U16(kVersionMinor);
    reply_.U16(kVersionBuild);
    reply_.U32(kVersionPatch);
}

Session::After Session::OnTunnel(const Request& request) {
    // A tunnel replaces the conversation: only before anything else was asked.
    if (negotiated_ || tunnelFd_ >= 0) {
        Status(3);
        return After::Continue;
    }
    const uint32_t urlLength = request.length - 1;
    const char* url = reinterpret_cast<const char*>(request.payload + 1);
    const void* end = std::memchr(url, 0, urlLength);
    std::string name;
    if (end != nullptr && static_cast<const char*>(end) == url + urlLength - 1) name.assign(url, urlLength - 1);
    const TunnelTarget* target = nullptr;
    if (name.size() > 6 && (name.compare(0, 6, "kvi://") == 0 || name.compare(0, 6, "KVI://") == 0)) {
        for (const TunnelTarget& candidate : machine_.Options().tunnels) {
            if (candidate.name == name.substr(6)) target = &candidate;
        }
    }
    if (target == nullptr) {
        Log("tunnel to an unknown name " + name);
        Status(1);
        return After::Continue;
    }
    os::SocketAddress peer;
    int fd = -1;
    int error = 0;
    std::string text;
    if (!os::ConnectTcp(target->host, target->port, static_cast<int>(machine_.Options().tunnelConnectMs), fd, peer,
                        error, text)) {
        Log("tunnel failed: " + text);
        // Before the negotiation, texts travel in UTF-8 like the URL.
        StatusWithError(4, error, text);
        return After::Continue;
    }
    std::string refusal;
    if (!AdmitThroughTunnel(fd, refusal)) {
        Log("tunnel refused: " + refusal);
        os::CloseDescriptor(fd);
        StatusWithError(4, 0, refusal);
        return After::Continue;
    }
    tunnelFd_ = fd;
    machine_.Track(fd);
    Status(0);
    reply_.U32(peer.length);
    reply_.Bytes(peer.bytes, peer.length);
    Log("tunnel open to " + name);
    return After::Tunnel;
}

// The client's Hello travels only to the first hop: the agent behind a
// tunnel is asked to admit the connection by the server that opens it, with
// the client's connection id, so that the client's next request reaches an
// agent that has already admitted it.
bool Session::AdmitThroughTunnel(int fd, std::string& refusal) {
    constexpr uint32_t kMaxRecalculations = 100;
    for (uint32_t attempt = 0; attempt <= kMaxRecalculations; ++attempt) {
        uint8_t hello[kMessageHeaderSize + kHelloTextLength];
        WriteHeader(hello, MessageHeader{connectionId_, 0, static_cast<uint16_t>(sizeof hello)});
        std::memcpy(hello + kMessageHeaderSize, kHelloText, kHelloTextLength);
        int error = 0;
        bool ended = false;
        uint8_t header[kMessageHeaderSize];
        // The agent behind answers at once, or not at all.
        const os::Deadline deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(machine_.Options().tunnelConnectMs);
        if (!os::WriteAll(fd, hello, sizeof hello, deadline, error) ||
            !os::ReadExact(fd, header, sizeof header, deadline, ended, error)) {
            refusal = "The agent closed the connection before admitting it";
            return false;
        }
        const MessageHeader answer = ReadHeader(header);
        std::string payload(answer.length > kMessageHeaderSize ? answer.length - kMessageHeaderSize : 0, '\0');
        if (!payload.empty() &&
            !os::ReadExact(fd, reinterpret_cast<uint8_t*>(payload.data()), static_cast<uint32_t>(payload.size()),
                           deadline, ended, error)) {
            refusal = "The agent closed the connection before admitting it";
            return false;
        }
        if (payload == kAccept) return true;
        if (payload == kRecalculate) continue;
        const std::string rejected(kReject, sizeof kReject - 1);
        refusal = payload.compare(0, rejected.size(), rejected) == 0 ? payload.substr(rejected.size())
                                                                    : "The agent sent an unexpected answer";
        return false;
    }
    refusal = "The agent is too busy to accept connections";
    return false;
}

// ---- helpers ----

AgentJob* Session::FindJob(const Request& request) {
    if (request.length < 2) return nullptr;
    const auto found = jobs_.find(request.payload[1]);
    return found == jobs_.end() ? nullptr : found->second.get();
}

void Session::StatusWithError(uint32_t status, int32_t code, const std::string& text) {
    reply_.U32(status);
    reply_.U32(static_cast<uint32_t>(code));
    // Every text carries at least one unit: the rows ask for it.
    const std::string shown = text.empty() ? std::string("error") : text;
    // Tunnel answers come before the client knows the encoding.
    const bool utf16 = negotiated_ && Utf16();
    reply_.Bytes(ResponseText(shown, utf16));
}

}  // namespace kestrel::agent
