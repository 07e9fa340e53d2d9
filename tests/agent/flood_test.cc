// Floods of connections that never say Hello: a client that arrives in the
// middle of one is served at once, the agent's descriptors and memory stay
// bounded, one address holds only a few such connections, and connections
// past their Hello (or with jobs) are never closed to make room.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "agent/agent_fixture.h"

namespace kestrel::test {
namespace {

// The test program and the agent come from one build, with or without the sanitizer.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAgentUnderAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAgentUnderAddressSanitizer = true;
#else
constexpr bool kAgentUnderAddressSanitizer = false;
#endif
#else
constexpr bool kAgentUnderAddressSanitizer = false;
#endif

using Flood = AgentTest;

// A silent connection from a loopback address of our choice.
int OpenSilent(uint16_t port, uint32_t fromHost) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in source{};
    source.sin_family = AF_INET;
    source.sin_addr.s_addr = htonl(fromHost);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0 ||
        (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS)) {
        close(fd);
        return -1;
    }
    return fd;
}

// 127.0.0.`n`
uint32_t Loopback(uint32_t n) { return (127u << 24) | n; }

// Whether the agent has ended the connection (a silent peer never gets a byte).
bool EndedByAgent(int fd) {
    pollfd watch{fd, POLLIN, 0};
    return poll(&watch, 1, 0) > 0;
}

// `count` silent connections spread evenly over `addresses` loopback
// addresses from 127.0.0.`first` on; each one the agent ends is opened
// again at once, until Stop: an attacker that reopens as fast as it can.
class SilentCrowd {
public:
    SilentCrowd(uint16_t port, size_t count, uint32_t first, uint32_t addresses)
        : port_(port), fds_(count, -1), first_(first), addresses_(addresses) {
        for (size_t i = 0; i < fds_.size(); ++i) Open(i);
        thread_ = std::thread([this] { Run(); });
    }
    ~SilentCrowd() { Stop(); }
    void Stop() {
        stopping_ = true;
        if (thread_.joinable()) thread_.join();
        for (int& fd : fds_) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    uint64_t closedByAgent() const { return closedByAgent_; }

private:
    void Open(size_t i) { fds_[i] = OpenSilent(port_, Loopback(first_ + static_cast<uint32_t>(i % addresses_))); }
    void Run() {
        std::vector<pollfd> watch(fds_.size());
        while (!stopping_) {
            for (size_t i = 0; i < fds_.size(); ++i) watch[i] = {fds_[i], POLLIN, 0};
            if (poll(watch.data(), watch.size(), 50) <= 0) continue;
            for (size_t i = 0; i < fds_.size(); ++i) {
                if (watch[i].revents == 0) continue;
                close(fds_[i]);
                ++closedByAgent_;
                Open(i);
            }
        }
    }
    uint16_t port_;
    std::vector<int> fds_;
    uint32_t first_;
    uint32_t addresses_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> closedByAgent_{0};
    std::thread thread_;
};

size_t OpenDescriptors(pid_t pid) {
    std::error_code error;
    size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", error), end;
         !error && it != end; it.increment(error))
        ++count;
    return count;
}

// VmRSS of the process, in KiB (0 when unreadable).
uint64_t ResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
    }
    return 0;
}

// The places of the start-up message "... leaves room for N connections".
uint32_t PlacesSaid(const std::string& errors) {
    const std::string mark = "leaves room for ";
    const size_t at = errors.find(mark);
    return at == std::string::npos ? 0 : static_cast<uint32_t>(std::stoul(errors.substr(at + mark.size())));
}

// A job on an admitted client, with input, command and output.
void RunSmallJob(WireClient& client, const std::string& root, uint8_t job) {
    WriteFile(root + "/in.txt", "through the flood\n");
    ASSERT_EQ(StartJob(client, job, 1).status(), 0u);
    const InputResult input = SendInputs(client, job, root, {"in.txt"});
    ASSERT_EQ(input.failure, "");
    ASSERT_EQ(input.last.status(), 0u) << input.last.text;
    ASSERT_EQ(StepStart(client, job).status(), 0u);
    const CommandResult copied = RunCommand(client, job, "", {"sh", "-c", "cat in.txt; cp in.txt out.txt"});
    ASSERT_EQ(copied.failure, "");
    EXPECT_EQ(copied.out, "through the flood\n");
    ASSERT_EQ(AddOutputs(client, job, {"out.txt"}).status(), 0u);
    TempDir fetched;
    const OutputResult output = FetchOutputs(client, job, fetched.path());
    ASSERT_EQ(output.failure, "");
    EXPECT_EQ(ReadFile(fetched / "out.txt"), "through the flood\n");
    EXPECT_EQ(EndJob(client, job).status(), 0u);
}

TEST_F(Flood, SixHundredSilentConnectionsAtADescriptorLimitOf256) {
    struct Case {
        const char* name;
        uint32_t addresses;  // the crowd's, from 127.0.0.2 on; the client is 127.0.0.1
        int maxAttempts;     // Hellos the client may need
    };
    const Case cases[] = {
        // Ten from each address: the crowd fills every place and pushes out its own.
        {"from 60 addresses", 60, 1},
        // Held to 32 pending connections by the address bound.
        {"from one address", 1, 1},
        // One from each address: the client is as likely a choice as any of
        // them, yet it sends its Hello long before 1 of 168 comes round.
        {"from 600 addresses", 600, 20},
    };
    constexpr size_t kCrowd = 600;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StopAgent();
        wrapper = {"prlimit", "--nofile=256", "--"};
        // The limit of open files, not --max-connections, sets the places.
        StartAgent({"--max-connections", "1000"});
        const uint32_t places = PlacesSaid(agent.Errors());
        ASSERT_GT(places, 100u) << agent.Errors();
        // Admitted before the flood, with a command running through it.
        auto early = OpenClient();
        ASSERT_EQ(StartJob(*early, 1, 1).status(), 0u);
        ASSERT_EQ(StepStart(*early, 1).status(), 0u);
        ASSERT_EQ(CheckStatus(MessageType::Execute, early->Request([](PayloadWriter& w) {
                                  BeginExecute(w, 1, nullptr, 0);
                                  AddExecuteString(w, "", 0);
                                  for (const char* part : {"sh", "-c", "sleep 2; echo outlasted"})
                                      AddExecuteString(w, part, static_cast<uint32_t>(std::strlen(part)));
                              })).status(),
                  0u);
        const size_t descriptorsBefore = OpenDescriptors(agent.pid());
        const uint64_t memoryBefore = ResidentKiB(agent.pid());

        SilentCrowd crowd(agent.port(), kCrowd, 2, c.addresses);
        // Every place taken and the crowd pushing itself out again and again.
        ASSERT_TRUE(WaitUntil([&] { return crowd.closedByAgent() >= kCrowd; })) << crowd.closedByAgent();
        const uint64_t memoryInFlood = ResidentKiB(agent.pid());

        const auto arrived = std::chrono::steady_clock::now();
        WireClient late;
        std::string failure = "not tried";
        int attempts = 0;
        while (!failure.empty() && attempts < c.maxAttempts) {
            ++attempts;
            late.Close();
            failure = late.Open(agent.port());
        }
        ASSERT_EQ(failure, "") << attempts << " attempts";
        const auto admitted = std::chrono::steady_clock::now();
        RunSmallJob(late, temp / "late", 1);
        const auto served = std::chrono::steady_clock::now();
        const auto ms = [](auto span) {
            return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(span).count());
        };
        EXPECT_LT(ms(served - arrived), 5000) << "served at once, not after the crowd's time-out";

        // Bounded: the places, the rejection places, the connections being
        // pushed out, the accept; memory does not grow with the churn.
        const size_t descriptors = OpenDescriptors(agent.pid());
        EXPECT_LE(descriptors, descriptorsBefore + places + 8 + 8 + 1);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const uint64_t memoryLater = ResidentKiB(agent.pid());
        // An agent built with AddressSanitizer keeps what it frees in
        // quarantine, so its resident size grows with any churn.
        if (!kAgentUnderAddressSanitizer) {
            EXPECT_LT(memoryInFlood, memoryBefore + 64 * 1024) << "KiB";
            EXPECT_LT(memoryLater, memoryInFlood + 16 * 1024) << "KiB after another second of churn";
        }
        const uint64_t churned = crowd.closedByAgent();
        std::printf("%s: %u places; client admitted after %lld ms (%d Hello%s), job done after %lld ms; "
                    "%zu descriptors (%zu before); VmRSS %llu KiB before, %llu in the flood, %llu a second later; "
                    "%llu silent connections closed by the agent\n",
                    c.name, places, ms(admitted - arrived), attempts, attempts == 1 ? "" : "s", ms(served - arrived),
                    descriptors, descriptorsBefore, static_cast<unsigned long long>(memoryBefore),
                    static_cast<unsigned long long>(memoryInFlood), static_cast<unsigned long long>(memoryLater),
                    static_cast<unsigned long long>(churned));
        crowd.Stop();

        // The connection with a command running was never touched.
        const CommandResult rest = [&] {
            CommandResult result;
            for (int polls = 0; polls < 1000 && !result.returned; ++polls) {
                const PollResult poll = Poll(*early, {1});
                EXPECT_EQ(poll.fault, nullptr);
                if (poll.fault != nullptr) break;
                for (const PolledEvent& event : poll.events) {
                    if (event.code == kPollStdout || event.code == kPollStdoutEnd) result.out += event.data;
                    if (event.code == kPollReturned) result.returned = true;
                }
            }
            return result;
        }();
        EXPECT_TRUE(rest.returned);
        EXPECT_EQ(rest.out, "outlasted\n");
        EXPECT_EQ(EndJob(*early, 1).status(), 0u);
        EXPECT_TRUE(agent.Running());
    }
}

TEST_F(Flood, OneAddressHoldsABoundedNumberOfConnectionsBeforeTheirHello) {
    struct Case {
        std::vector<std::string> options;
        size_t opened;  // silent, from 127.0.0.1, where the client comes from too
        size_t kept;
    };
    const Case cases[] = {
        {{}, 40, 32},
        {{"--max-pending-per-address", "3"}, 8, 3},
        {{"--max-pending-per-address", "1"}, 4, 1},
        {{"--max-pending-per-address", "40"}, 30, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.options));
        StopAgent();
        wrapper.clear();
        StartAgent(c.options);
        std::vector<int> fds;
        for (size_t i = 0; i < c.opened; ++i) fds.push_back(OpenSilent(agent.port(), Loopback(1)));
        const auto endedCount = [&] {
            size_t ended = 0;
            for (int fd : fds) ended += EndedByAgent(fd) ? 1 : 0;
            return ended;
        };
        const size_t expectedEnded = c.opened - c.kept;
        const auto closedSaid = [&] {
            return CountOf(agent.Errors(), "closed a connection from 127.0.0.1 that had not finished its Hello");
        };
        EXPECT_TRUE(WaitUntil([&] { return closedSaid() == expectedEnded; })) << agent.Errors();
        EXPECT_TRUE(WaitUntil([&] { return endedCount() == expectedEnded; })) << endedCount();
        // Another address is not held back by this one.
        std::vector<int> others;
        for (size_t i = 0; i < std::min<size_t>(c.kept, 3); ++i) others.push_back(OpenSilent(agent.port(), Loopback(3)));
        // A client from the crowded address itself still gets in, in place of one of the silent ones.
        WireClient client;
        ASSERT_TRUE(client.Connect(agent.port()));
        EXPECT_EQ(client.Hello().payload, "accept");
        const size_t endedAfter = expectedEnded + (c.kept < c.opened ? 1 : 0);
        EXPECT_TRUE(WaitUntil([&] { return endedCount() == endedAfter; })) << endedCount();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_EQ(endedCount(), endedAfter) << "nobody else was closed";
        EXPECT_EQ(closedSaid(), endedAfter);
        for (int fd : others) EXPECT_FALSE(EndedByAgent(fd));
        for (int fd : fds) close(fd);
        for (int fd : others) close(fd);
    }

    // Connections past their Hello do not count: eleven admitted from one address.
    StopAgent();
    StartAgent();
    std::vector<std::unique_ptr<WireClient>> admitted;
    for (int i = 0; i < 11; ++i) admitted.push_back(OpenClient());
    for (auto& client : admitted) EXPECT_EQ(StartJob(*client, 1, 1).status(), 0u);
    for (auto& client : admitted) EXPECT_EQ(EndJob(*client, 1).status(), 0u);
}

// Jobs have taken the descriptors that silent connections left: a client
// that arrives gets the descriptor of one of the silent ones, without the
// agent waiting and saying it cannot accept.
TEST_F(Flood, OutOfDescriptorsASilentConnectionGivesItsDescriptorUp) {
    wrapper = {"prlimit", "--nofile=64", "--"};
    StartAgent();
    auto greedy = OpenClient();
    const size_t before = OpenDescriptors(agent.pid());
    std::vector<int> silent;
    for (uint32_t i = 0; i < 4; ++i) silent.push_back(OpenSilent(agent.port(), Loopback(2 + i)));
    ASSERT_TRUE(WaitUntil([&] { return OpenDescriptors(agent.pid()) >= before + silent.size(); }));
    uint8_t jobs = 0;
    Checked refused;
    while (jobs < 200) {
        refused = StartJob(*greedy, static_cast<uint8_t>(jobs + 1), 1);
        if (refused.status() != 0) break;
        ++jobs;
    }
    ASSERT_EQ(refused.status(), 6u) << "the work area could not be opened";
    // The refused StartJob gave back its descriptor: one more silent takes it.
    silent.push_back(OpenSilent(agent.port(), Loopback(9)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const auto arrived = std::chrono::steady_clock::now();
    WireClient client;
    ASSERT_EQ(client.Open(agent.port()), "");
    EXPECT_LT(std::chrono::steady_clock::now() - arrived, std::chrono::seconds(2));
    size_t ended = 0;
    for (int fd : silent) ended += EndedByAgent(fd) ? 1 : 0;
    EXPECT_GE(ended, 1u);
    EXPECT_EQ(agent.Errors().find("cannot accept connections for now"), std::string::npos) << agent.Errors();
    for (uint8_t job = 1; job <= jobs; ++job) ASSERT_EQ(EndJob(*greedy, job).status(), 0u);
    for (int fd : silent) close(fd);
}

}  // namespace
}  // namespace kestrel::test
