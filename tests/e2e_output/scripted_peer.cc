#include "e2e_output/scripted_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "client/requests.h"
#include "client/wire.h"

namespace kestrel::test {

namespace {

constexpr int kSilenceSeconds = 120;

std::string U16(uint32_t value) { return {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8 & 0xFF)}; }
std::string U32(uint32_t value) { return U16(value & 0xFFFF) + U16(value >> 16); }
std::string U64(uint64_t value) { return U32(static_cast<uint32_t>(value)) + U32(static_cast<uint32_t>(value >> 32)); }

bool ReadExactly(int fd, char* out, size_t count) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = recv(fd, out + got, count - got, 0);
        if (n <= 0) return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string Message(uint32_t id, uint16_t sequence, const std::string& payload) {
    uint8_t header[kMessageHeaderSize];
    WriteHeader(header, MessageHeader{id, sequence, static_cast<uint16_t>(kMessageHeaderSize + payload.size())});
    return std::string(reinterpret_cast<char*>(header), kMessageHeaderSize) + payload;
}

// The end of a command: its return value, then both of its streams closed.
std::string CommandEndEvents(uint8_t job, uint32_t exitValue) {
    std::string events;
    events += static_cast<char>(4);
    events += static_cast<char>(job);
    events += U64(1000) + U32(exitValue);
    for (char stream : {static_cast<char>(1), static_cast<char>(3)}) {
        events += stream;
        events += static_cast<char>(job);
        events += U64(2000) + U16(0);
    }
    return events;
}

}  // namespace

std::string StatusPayload(uint32_t status) { return U32(status); }

std::string StatusAndText(uint32_t status, const std::string& text) { return U32(status) + text; }

std::vector<std::string> RequestStrings(const std::string& payload, bool utf16) {
    std::vector<std::string> strings;
    std::string current;
    const size_t unit = utf16 ? 2 : 1;
    for (size_t at = 2; at + unit <= payload.size(); at += unit) {
        const uint32_t code = utf16 ? static_cast<uint8_t>(payload[at]) | static_cast<uint8_t>(payload[at + 1]) << 8
                                    : static_cast<uint8_t>(payload[at]);
        if (code == 0) {
            strings.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(code < 0x80 ? code : '?');
        }
    }
    return strings;
}

ScriptedPeer::ScriptedPeer(PeerScript script) : script_(std::move(script)) {}

ScriptedPeer::~ScriptedPeer() {
    Wait();
    if (listener_ >= 0) close(listener_);
    if (archiveFd_ >= 0) close(archiveFd_);
}

bool ScriptedPeer::Start(std::string& failure) {
    if (!script_.archiveFile.empty()) {
        archiveFd_ = open(script_.archiveFile.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat status;
        if (archiveFd_ < 0 || fstat(archiveFd_, &status) != 0) {
            failure = "cannot open " + script_.archiveFile;
            return false;
        }
        archiveSize_ = static_cast<uint64_t>(status.st_size);
    } else {
        archiveSize_ = script_.archive.size();
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        failure = std::string("cannot listen: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
    return true;
}

void ScriptedPeer::Wait() {
    if (thread_.joinable()) thread_.join();
}

std::vector<PeerRequest> ScriptedPeer::requestsOfType(uint8_t type) const {
    std::vector<PeerRequest> chosen;
    for (const PeerRequest& request : requests_)
        if (request.type == type) chosen.push_back(request);
    return chosen;
}

void ScriptedPeer::Serve() {
    pollfd waiting{listener_, POLLIN, 0};
    if (poll(&waiting, 1, kSilenceSeconds * 1000) != 1) {
        problem_ = "no connection came";
        return;
    }
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
        problem_ = "accept failed";
        return;
    }
    timeval limit{kSilenceSeconds, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (!Converse(connection) && problem_.empty()) problem_ = "the client closed the connection early";
    close(connection);
}

// True when the conversation ended as the script says (EndConnection, or
// the peer hanging up on purpose).
bool ScriptedPeer::Converse(int connection) {
    bool admitted = false;
    for (;;) {
        char header[kMessageHeaderSize];
        if (!ReadExactly(connection, header, sizeof header)) return false;
        const MessageHeader fields = ReadHeader(reinterpret_cast<uint8_t*>(header));
        if (fields.length < kMessageHeaderSize) {
            problem_ = "a message shorter than its header";
            return false;
        }
        std::string payload(fields.length - kMessageHeaderSize, '\0');
        if (!ReadExactly(connection, payload.data(), payload.size())) return false;
        if (!admitted) {
            if (fields.sequence != 0 || payload != kHelloText) {
                problem_ = "no Hello first";
                return false;
            }
            admitted = true;
            if (!WriteAll(connection, Message(fields.connectionId, 0, "accept"))) return false;
            continue;
        }
        if (payload.empty()) continue;  // an echo of a keep-alive: none are sent
        const PeerRequest request{static_cast<uint8_t>(payload[0]), payload};
        requests_.push_back(request);
        if (request.type == static_cast<uint8_t>(MessageType::OutputTransfer) &&
            ++transfers_ == script_.hangUpAtTransfer)
            return true;
        const std::string answer = Answer(request);
        if (!WriteAll(connection, Message(fields.connectionId, fields.sequence, answer))) return false;
        if (request.type == static_cast<uint8_t>(MessageType::EndConnection)) return true;
    }
}

std::string ScriptedPeer::Text(const std::string& ascii) const {
    if (script_.encoding != "UTF-16LE") return ascii + '\0';
    std::string text;
    for (char c : ascii) text += U16(static_cast<uint8_t>(c));
    return text + U16(0);
}

std::string ScriptedPeer::Answer(const PeerRequest& request) {
    switch (static_cast<MessageType>(request.type)) {
    case MessageType::Encoding:
        return script_.encoding + '\0' + "kestrel-test" + '\0' + "linux" + '\0' + "x86_64" + '\0' + "peer" + '\0';
    case MessageType::Separators:
        return Text(script_.separator);
    case MessageType::Capabilities:
        return std::string(3, '\0');
    case MessageType::Version:
        return U16(1) + U16(0) + U16(0) + U32(0);
    case MessageType::Execute:
        runningJob_ = static_cast<uint8_t>(request.payload.size() > 1 ? request.payload[1] : 0);
        return StatusPayload(0);
    case MessageType::Poll:
        if (runningJob_ != 0) {
            const uint8_t job = runningJob_;
            runningJob_ = 0;
            return CommandEndEvents(job, script_.commandExit);
        }
        return std::string(1, static_cast<char>(12));
    case MessageType::AddOutput: {
        const uint32_t n = addOutputs_++;
        return script_.addOutput ? script_.addOutput(n, request.payload) : StatusPayload(0);
    }
    case MessageType::OutputTransfer:
        return script_.transferAnswer.empty() ? NextPiece() : script_.transferAnswer;
    default:
        // StartJob, environment, StepStart, InputWrite, OutputReset, EndJob, EndConnection.
        return StatusPayload(0);
    }
}

std::string ScriptedPeer::NextPiece() {
    if (archiveDone_) {
        problem_ = "OutputTransfer after the last piece";
        return StatusPayload(4);
    }
    const uint64_t left = archiveSize_ - served_;
    const uint32_t count = left < script_.pieceSize ? static_cast<uint32_t>(left) : script_.pieceSize;
    std::string bytes;
    if (archiveFd_ >= 0) {
        bytes.resize(count);
        if (pread(archiveFd_, bytes.data(), count, static_cast<off_t>(served_)) != static_cast<ssize_t>(count))
            problem_ = "archive file read failed";
    } else {
        bytes = script_.archive.substr(served_, count);
    }
    served_ += count;
    const bool last = served_ == archiveSize_ && (!script_.emptyLastPiece || count == 0);
    if (last) {
        archiveDone_ = true;
        if (script_.beforeLastPiece) script_.beforeLastPiece();
    }
    return StatusPayload(last ? 1 : 0) + bytes;
}

}  // namespace kestrel::test
