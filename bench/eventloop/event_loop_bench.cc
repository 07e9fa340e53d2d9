// 1 GiB through a loopback TCP connection in 64 KiB operations: through event
// loops, and through a plain pair of threads blocking in send and recv. The
// program ends with the ratio of the two throughputs.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "eventloop/event_loop.h"
#include "platform/process.h"

namespace {

using namespace kestrel;

constexpr uint64_t kTotal = uint64_t{1} << 30;
constexpr uint32_t kChunk = 64 * 1024;

bool MakeTcpPair(int* client, int* server) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    bool ok = listener >= 0 && bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              listen(listener, 1) == 0 &&
              getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size) == 0;
    *client = ok ? socket(AF_INET, SOCK_STREAM, 0) : -1;
    ok = ok && *client >= 0 && connect(*client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    *server = ok ? accept(listener, nullptr, nullptr) : -1;
    if (listener >= 0) close(listener);
    return ok && *server >= 0;
}

// One direction of the transfer, as an owner record of the loop.
struct Side {
    IoObject io;
    std::vector<char> buffer = std::vector<char>(kChunk, 'k');
    uint64_t remaining = kTotal;
    bool failed = false;
    uint8_t operation = 0;

    void Next() {
        io.operation = operation;
        io.length = static_cast<uint32_t>(std::min<uint64_t>(kChunk, remaining));
        int32_t error = 0;
        if (!EventLoop::Start(&io, &error)) failed = true;
    }
};

void SideDone(IoObject* io) {
    auto* side = static_cast<Side*>(io->owner);
    side->remaining -= io->position;
    if (side->remaining == 0 || (io->flags & kIoStateEndOfStream)) {
        side->failed = side->remaining != 0;
        EventLoop::Unregister(io);
        return;
    }
    side->Next();
}

void SideFailed(IoObject* io, int32_t) {
    static_cast<Side*>(io->owner)->failed = true;
    EventLoop::Unregister(io);
}

void Prepare(Side& side, int socket, uint8_t operation) {
    side.io.socket = platform::SocketHandle{socket};
    side.io.owner = &side;
    side.io.buffer = side.buffer.data();
    side.io.completionCallback = SideDone;
    side.io.failureCallback = SideFailed;
    side.io.timeout = 90 * kIoTicksPerSecond;
    side.operation = operation;
    side.io.operation = operation;
    side.io.length = kChunk;
}

bool RunLoopWith(std::vector<IoObject*> objects) {
    objects.push_back(nullptr);
    EventLoop loop;
    int32_t error = 0;
    return loop.Run(objects.data(), &error);
}

// Sender and receiver each on a loop of its own thread, like the blocking pair.
bool TransferThroughTwoLoops() {
    int client, server;
    if (!MakeTcpPair(&client, &server)) return false;
    Side sender, receiver;
    Prepare(sender, client, kIoWrite);
    Prepare(receiver, server, kIoRead);
    bool sent = false;
    std::thread sending([&] { sent = RunLoopWith({&sender.io}); });
    bool received = RunLoopWith({&receiver.io});
    sending.join();
    return sent && received && !sender.failed && !receiver.failed;
}

// Both ends on one loop and one thread: what a single client loop can carry.
bool TransferThroughOneLoop() {
    int client, server;
    if (!MakeTcpPair(&client, &server)) return false;
    Side sender, receiver;
    Prepare(sender, client, kIoWrite);
    Prepare(receiver, server, kIoRead);
    return RunLoopWith({&sender.io, &receiver.io}) && !sender.failed && !receiver.failed;
}

bool TransferBlocking() {
    int client, server;
    if (!MakeTcpPair(&client, &server)) return false;
    bool sendFailed = false, receiveFailed = false;
    std::thread sending([&] {
        std::vector<char> buffer(kChunk, 'k');
        for (uint64_t left = kTotal; left > 0;) {
            ssize_t sent = send(client, buffer.data(), std::min<uint64_t>(kChunk, left), MSG_NOSIGNAL);
            if (sent <= 0) { sendFailed = true; break; }
            left -= static_cast<uint64_t>(sent);
        }
    });
    std::vector<char> buffer(kChunk);
    for (uint64_t left = kTotal; left > 0;) {
        ssize_t got = recv(server, buffer.data(), std::min<uint64_t>(kChunk, left), MSG_WAITALL);
        if (got <= 0) { receiveFailed = true; break; }
        left -= static_cast<uint64_t>(got);
    }
    sending.join();
    close(client);
    close(server);
    return !sendFailed && !receiveFailed;
}

template <bool (*Transfer)()>
void Throughput(benchmark::State& state) {
    platform::IgnoreBrokenPipe();
    for (auto _ : state) {
        if (!Transfer()) {
            state.SkipWithError("transfer failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}

void BlockingTransfer(benchmark::State& state) { Throughput<TransferBlocking>(state); }
void LoopTransferTwoThreads(benchmark::State& state) { Throughput<TransferThroughTwoLoops>(state); }
void LoopTransferOneThread(benchmark::State& state) { Throughput<TransferThroughOneLoop>(state); }

// The two ways in turn within every iteration, so that load from elsewhere
// on the machine weighs on both alike; the counters give the comparison.
void AlternatingComparison(benchmark::State& state) {
    platform::IgnoreBrokenPipe();
    double blockingSeconds = 0, loopSeconds = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        bool ok = TransferBlocking();
        auto t1 = std::chrono::steady_clock::now();
        ok = ok && TransferThroughTwoLoops();
        auto t2 = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError("transfer failed");
            return;
        }
        blockingSeconds += std::chrono::duration<double>(t1 - t0).count();
        loopSeconds += std::chrono::duration<double>(t2 - t1).count();
    }
    double bytes = static_cast<double>(kTotal) * static_cast<double>(state.iterations());
    state.counters["blocking_MiBps"] = bytes / blockingSeconds / (1 << 20);
    state.counters["loop_MiBps"] = bytes / loopSeconds / (1 << 20);
    state.counters["loop_to_blocking"] = blockingSeconds / loopSeconds;
}

BENCHMARK(BlockingTransfer)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LoopTransferTwoThreads)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(LoopTransferOneThread)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(AlternatingComparison)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each benchmark's throughput for the closing comparison.
class ThroughputReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            for (const char* counter : {"bytes_per_second", "loop_to_blocking", "loop_MiBps", "blocking_MiBps"}) {
                auto found = run.counters.find(counter);
                if (found != run.counters.end()) {
                    values[run.run_name.function_name + "." + counter] = found->second.value;
                }
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> values;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    ThroughputReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto& values = reporter.values;
    double blocking = values["BlockingTransfer.bytes_per_second"];
    if (blocking > 0) {
        std::printf("blocking send/recv threads: %.1f MiB/s\n", blocking / (1 << 20));
        for (std::string name : {"LoopTransferTwoThreads", "LoopTransferOneThread"}) {
            double rate = values[name + ".bytes_per_second"];
            if (rate > 0) {
                std::printf("%s: %.1f MiB/s, ratio to blocking %.3f\n", name.c_str(), rate / (1 << 20),
                            rate / blocking);
            }
        }
    }
    if (values.count("AlternatingComparison.loop_to_blocking")) {
        std::printf("alternating: blocking %.1f MiB/s, loop %.1f MiB/s, ratio %.3f (goal 0.9 or more)\n",
                    values["AlternatingComparison.blocking_MiBps"], values["AlternatingComparison.loop_MiBps"],
                    values["AlternatingComparison.loop_to_blocking"]);
    }
    return 0;
}
