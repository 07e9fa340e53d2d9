// A build machine played by the test: a thread on a loopback socket that
// speaks just enough of the protocol to take one job from Hello to
// EndConnection, answers the output requests as its script says and serves
// an output archive of the test's choosing. It records every request, so a
// test can check what the client asked and in which order. Free of
// GoogleTest, so that the benchmarks can use it too.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::test {

// A request as it arrived: its payload, from the type byte on.
struct PeerRequest {
    uint8_t type = 0;
    std::string payload;
};

struct PeerScript {
    std::string encoding = "UTF-8";  // or "UTF-16LE": every text then goes in UTF-16LE
    std::string separator = "/";
    uint32_t commandExit = 0;  // the exit value every command reports

    // The output archive, from memory or from a file (read piece by piece),
    // cut into OutputTransfer answers of at most pieceSize bytes; the last
    // one has status 1, or an extra answer with status 1 and no bytes
    // follows when emptyLastPiece is set.
    std::string archive;
    std::string archiveFile;
    uint32_t pieceSize = 65523;
    bool emptyLastPiece = false;

    // The answer payload to the n-th AddOutput (from 0); unset: status 0.
    std::function<std::string(uint32_t n, const std::string& request)> addOutput;
    // When set, every OutputTransfer is answered with this payload instead.
    std::string transferAnswer;
    // Runs on the peer's thread before the last piece goes out.
    std::function<void()> beforeLastPiece;
    // When not 0, the peer hangs up instead of answering this OutputTransfer (from 1).
    uint32_t hangUpAtTransfer = 0;
};

class ScriptedPeer {
public:
    explicit ScriptedPeer(PeerScript script);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // Listens on 127.0.0.1 and serves the first connection on its thread.
    bool Start(std::string& failure);
    uint16_t port() const { return port_; }
    // Waits for the conversation to end (EndConnection, the client closing,
    // or 120 seconds of silence).
    void Wait();

    // After Wait.
    const std::vector<PeerRequest>& requests() const { return requests_; }
    std::vector<PeerRequest> requestsOfType(uint8_t type) const;
    // What surprised the peer (empty when the client kept to the protocol).
    const std::string& problem() const { return problem_; }
    uint64_t archiveBytesServed() const { return served_; }

private:
    void Serve();
    bool Converse(int connection);
    std::string Answer(const PeerRequest& request);
    std::string NextPiece();
    std::string Text(const std::string& ascii) const;  // with its terminator

    PeerScript script_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
    std::vector<PeerRequest> requests_;
    std::string problem_;
    uint32_t addOutputs_ = 0;
    uint32_t transfers_ = 0;
    uint8_t runningJob_ = 0;  // the job whose command runs (0: none)
    uint64_t served_ = 0;
    uint64_t archiveSize_ = 0;
    bool archiveDone_ = false;
    int archiveFd_ = -1;
};

// Answer payloads.
std::string StatusPayload(uint32_t status);
std::string StatusAndText(uint32_t status, const std::string& text);

// A request's strings (after the type byte and job ID), each up to its
// terminator, in the encoding given; UTF-16 texts come back as ASCII.
std::vector<std::string> RequestStrings(const std::string& payload, bool utf16);

}  // namespace kestrel::test
