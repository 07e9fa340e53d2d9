// A running agent with its own work directory, and what the tests ask of it.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent_process.h"
#include "agent/wire_client.h"
#include "client/wire.h"
#include "support/test_support.h"

namespace kestrel::test {

class AgentTest : public ::testing::Test {
protected:
    // Stops the agent: an orderly stop, and nothing the sanitizers complain of.
    void StopAgent();
    void TearDown() override { StopAgent(); }
    // Starts an agent working in `workDir` (temp/work), under `wrapper` when
    // set; `extra` are more options.
    void StartAgent(const std::vector<std::string>& extra = {});
    // A client that has said hello and negotiated.
    std::unique_ptr<WireClient> OpenClient();
    // Work areas in the agent's work directory.
    std::vector<std::string> WorkAreas() const;

    TempDir temp;
    std::string workDir;
    std::vector<std::string> wrapper;  // runs the agent: prlimit ...
    AgentProcess agent;
};

// Messages straight off a socket, for what the protocol layer absorbs and
// for bytes it would never send.
class RawPeer {
public:
    // Connects from `from` (a loopback address such as 127.0.0.2) when given.
    explicit RawPeer(uint16_t port, const char* from = nullptr);
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    // A message with our connection id.
    bool Send(uint16_t sequence, const std::string& payload);
    bool SendBytes(const std::string& bytes);
    void EndWriting();
    // Reads until the agent closes the connection: true then, false when
    // nothing came for 30 seconds. Bytes that came first go to `received`.
    bool WaitForClose(std::string* received = nullptr);
    // The next whole message (its header in `header`); `ended` when the agent closed.
    std::string Read(MessageHeader& header, bool& ended);
    std::string Read(MessageHeader& header) {
        bool ended = false;
        return Read(header, ended);
    }

    static constexpr uint32_t kId = 0xC0FFEE11;

private:
    std::string ReadBytes(size_t count);
    int fd_ = -1;
};

// Bytes that do not compress, of a given size (fixed seed).
std::string NoiseBytes(size_t size, uint32_t seed);

// How often `what` occurs in `text`.
size_t CountOf(const std::string& text, const std::string& what);

// Retries `condition` every 10 ms for up to 20 seconds.
bool WaitUntil(const std::function<bool()>& condition);

}  // namespace kestrel::test
