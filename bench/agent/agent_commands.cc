// Commands one after another on one job through a real kestrel-agent on
// loopback: Execute, then Poll until the command has ended, for `true`. What
// a command costs beyond its own work: the keeper and the command started,
// watched and reaped, the round trips of the requests. Reported as commands
// per second. KESTREL_BENCH_COMMANDS sets how many (500); KESTREL_BENCH_AGENT
// names another agent binary to measure.
#include <chrono>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "agent/agent_process.h"
#include "agent/wire_client.h"
#include "support/test_support.h"

namespace kestrel::bench {
namespace {

void AgentCommands(benchmark::State& state) {
    const char* count = std::getenv("KESTREL_BENCH_COMMANDS");
    const int commands = count != nullptr && *count != '\0' ? std::atoi(count) : 500;
    const char* binary = std::getenv("KESTREL_BENCH_AGENT");
    test::TempDir temp;
    test::AgentProcess agent;
    if (!agent.Start({"--work-dir", temp / "work"}, binary != nullptr ? binary : "")) {
        state.SkipWithError(agent.failure.c_str());
        return;
    }
    for (auto _ : state) {
        test::WireClient client;
        if (!client.Open(agent.port()).empty() || test::StartJob(client, 1, 1).status() != 0 ||
            test::StepStart(client, 1).status() != 0) {
            state.SkipWithError("cannot start the job");
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < commands; ++i) {
            const test::CommandResult result = test::RunCommand(client, 1, "", {"true"});
            if (!result.failure.empty() || !result.returned || result.value != 0) {
                state.SkipWithError(("the command failed: " + result.failure).c_str());
                return;
            }
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.counters["commands/s"] = commands / seconds;
        state.counters["us/command"] = seconds * 1e6 / commands;
        test::EndJob(client, 1);
    }
}

BENCHMARK(AgentCommands)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace kestrel::bench

BENCHMARK_MAIN();
