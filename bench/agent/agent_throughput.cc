// One job with 200 MiB of inputs and outputs through a real kestrel-agent on
// loopback: the input archive goes out in InputWrite pieces, the same files
// come back in OutputTransfer pieces. Next to it, in the same run, the
// reference pipelines over the same files: `tar -cf - . | gzip -6` and
// `gzip -dc | tar -xf -`. Reported as MB/s of file content (10^6 bytes).
// KESTREL_BENCH_MIB and KESTREL_BENCH_FILES size the tree (200 MiB, 400 files).
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "agent/agent_process.h"
#include "agent/wire_client.h"
#include "support/test_support.h"

namespace kestrel::bench {
namespace {

uint64_t EnvironmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// Source-like text for most files (it compresses about five to one) and
// noise for every eighth (it does not compress at all).
std::string FileContent(uint64_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes;
    bytes.reserve(size);
    if (seed % 8 == 7) {
        while (bytes.size() < size) bytes += static_cast<char>(random() & 0xFF);
        return bytes;
    }
    static const char* const kWords[] = {"int", "return", "static", "const", "value", "count", "buffer", "if",
                                         "for", "while", "struct", "length", "offset", "error", "=", "+", "{", "}"};
    while (bytes.size() < size) {
        const int words = 3 + static_cast<int>(random() % 9);
        bytes.append(static_cast<size_t>(random() % 4) * 4, ' ');
        for (int i = 0; i < words; ++i) {
            bytes += kWords[random() % (sizeof kWords / sizeof *kWords)];
            bytes += i + 1 < words ? ' ' : ';';
        }
        bytes += std::to_string(random() % 1000) + "\n";
    }
    bytes.resize(size);
    return bytes;
}

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double TimeShell(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) return -1;
    return Seconds(start);
}

void AgentThroughput(benchmark::State& state) {
    const uint64_t total = EnvironmentNumber("KESTREL_BENCH_MIB", 200) << 20;
    const uint32_t fileCount = static_cast<uint32_t>(EnvironmentNumber("KESTREL_BENCH_FILES", 400));
    test::TempDir temp;
    const std::string tree = temp / "tree";
    std::vector<std::string> entries;
    std::vector<std::string> outputs;
    for (uint32_t i = 0; i < fileCount; ++i) {
        const std::string directory = "d" + std::to_string(i % 20);
        const std::string name = directory + "/file" + std::to_string(i) + ".txt";
        if (i < 20) {
            entries.push_back(directory + "/");
            outputs.push_back(directory);
        }
        test::WriteFile(tree + "/" + name, FileContent(total / fileCount, i));
        entries.push_back(name);
        outputs.push_back(name);
    }

    test::AgentProcess agent;
    if (!agent.Start({"--work-dir", temp / "work"})) {
        state.SkipWithError(agent.failure.c_str());
        return;
    }
    for (auto _ : state) {
        test::WireClient client;
        const std::string opened = client.Open(agent.port());
        if (!opened.empty() || test::StartJob(client, 1, 1).status() != 0) {
            state.SkipWithError(("cannot start the job: " + opened).c_str());
            return;
        }
        auto start = std::chrono::steady_clock::now();
        const test::InputResult input = test::SendInputs(client, 1, tree, entries);
        const double inputSeconds = Seconds(start);
        if (!input.failure.empty() || input.last.status() != 0 || test::StepStart(client, 1).status() != 0 ||
            test::AddOutputs(client, 1, outputs).status() != 0) {
            state.SkipWithError("the input or the output list failed");
            return;
        }
        const std::string fetched = temp / "fetched";
        mkdir(fetched.c_str(), 0755);
        start = std::chrono::steady_clock::now();
        const test::OutputResult output = test::FetchOutputs(client, 1, fetched);
        const double outputSeconds = Seconds(start);
        if (!output.failure.empty() || std::system(("diff -r -q " + tree + " " + fetched).c_str()) != 0) {
            state.SkipWithError(("the outputs differ: " + output.failure).c_str());
            return;
        }
        test::EndJob(client, 1);

        const std::string archive = temp / "reference.tgz";
        const double tarSeconds = TimeShell("tar -cf - -C " + tree + " . | gzip -6 > " + archive);
        const std::string unpacked = temp / "unpacked";
        mkdir(unpacked.c_str(), 0755);
        const double untarSeconds = TimeShell("gzip -dc " + archive + " | tar -xf - -C " + unpacked);
        struct stat reference;
        stat(archive.c_str(), &reference);

        const double megabytes = static_cast<double>(total) / 1e6;
        state.counters["input_MBps"] = megabytes / inputSeconds;
        state.counters["output_MBps"] = megabytes / outputSeconds;
        state.counters["tar_gzip6_MBps"] = tarSeconds > 0 ? megabytes / tarSeconds : 0;
        state.counters["gunzip_untar_MBps"] = untarSeconds > 0 ? megabytes / untarSeconds : 0;
        state.counters["output_archive_MB"] = static_cast<double>(output.archiveBytes) / 1e6;
        state.counters["reference_archive_MB"] = static_cast<double>(reference.st_size) / 1e6;
        state.counters["input_pieces"] = input.pieces;
        state.counters["output_pieces"] = output.pieces;
    }
    agent.Stop();
}

BENCHMARK(AgentThroughput)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
}  // namespace kestrel::bench

BENCHMARK_MAIN();
