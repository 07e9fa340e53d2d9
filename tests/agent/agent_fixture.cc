#include "agent/agent_fixture.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include <random>

namespace kestrel::test {

void AgentTest::StopAgent() {
    if (!agent.Running()) return;
    EXPECT_EQ(agent.Stop(), 0);
    const std::string errors = agent.Errors();
    for (const char* complaint : {"Sanitizer", "runtime error:"}) {
        EXPECT_EQ(errors.find(complaint), std::string::npos) << errors;
    }
}

void AgentTest::StartAgent(const std::vector<std::string>& extra) {
    workDir = temp / "work";
    std::vector<std::string> arguments = {"--work-dir", workDir, "--verbose"};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    ASSERT_TRUE(agent.Start(arguments, "", wrapper)) << agent.failure;
}

std::unique_ptr<WireClient> AgentTest::OpenClient() {
    auto client = std::make_unique<WireClient>();
    const std::string failure = client->Open(agent.port());
    EXPECT_EQ(failure, "");
    return client;
}

std::vector<std::string> AgentTest::WorkAreas() const {
    std::vector<std::string> names;
    DIR* directory = opendir(workDir.c_str());
    if (directory == nullptr) return names;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        if (name.rfind("job-", 0) == 0) names.push_back(name);
    }
    closedir(directory);
    return names;
}

RawPeer::RawPeer(uint16_t port, const char* from) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from != nullptr) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, from, &source.sin_addr), 1) << from;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&source), sizeof source), 0) << from;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // An agent that never answers must not hang the suite.
    timeval limit{30, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

RawPeer::~RawPeer() { close(fd_); }

bool RawPeer::Send(uint16_t sequence, const std::string& payload) {
    uint8_t header[8];
    WriteHeader(header, MessageHeader{kId, sequence, static_cast<uint16_t>(8 + payload.size())});
    return SendBytes(std::string(reinterpret_cast<char*>(header), 8) + payload);
}

bool RawPeer::SendBytes(const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t put = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (put <= 0) return false;
        sent += static_cast<size_t>(put);
    }
    return true;
}

void RawPeer::EndWriting() { shutdown(fd_, SHUT_WR); }

bool RawPeer::WaitForClose(std::string* received) {
    for (;;) {
        char chunk[4096];
        const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
        if (got > 0) {
            if (received != nullptr) received->append(chunk, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        return got == 0 || errno == ECONNRESET;
    }
}

std::string RawPeer::Read(MessageHeader& header, bool& ended) {
    header = MessageHeader{};
    const std::string bytes = ReadBytes(8);
    ended = bytes.size() < 8;
    if (ended) return "";
    header = ReadHeader(reinterpret_cast<const uint8_t*>(bytes.data()));
    return ReadBytes(header.length >= 8 ? header.length - 8u : 0);
}

std::string RawPeer::ReadBytes(size_t count) {
    std::string bytes;
    while (bytes.size() < count) {
        char chunk[4096];
        const ssize_t got = recv(fd_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
        if (got <= 0) break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

bool WaitUntil(const std::function<bool()>& condition) {
    for (int attempt = 0; attempt < 2000; ++attempt) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return condition();
}

std::string NoiseBytes(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

}  // namespace kestrel::test
