// The output transfer of the real kestrel, in one run:
//
//   1. Throughput, for a tree of source-like text and for one file of noise:
//      one archive (GNU tar --format=pax | gzip -6) unpacked by
//      `gzip -dc | tar -xf -`, and fetched and unpacked by kestrel from the
//      tests' scripted peer serving the same archive. Best of three rounds
//      each, MB/s of file content (10^6 bytes).
//   2. End to end: the same files made by a job on a real kestrel-agent (which
//      packs them with its own writer) against `tar -cf - | gzip -6 | gzip -dc |
//      tar -xf -`.
//   3. The client's peak resident memory (of the kestrel process) for an
//      output of 16 MiB and of 1 GiB served by the peer: flat is the goal.
//
// KESTREL_BENCH_MIB sizes the text tree (default 256).
//   build/bench/output_transfer_bench
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent_process.h"
#include "bench_tree.h"
#include "e2e_output/scripted_peer.h"
#include "support/test_support.h"

namespace kestrel::bench {
namespace {

uint64_t EnvironmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

struct Measured {
    double seconds = 0;
    long peakKib = 0;
    int exitCode = -1;
};

// Runs kestrel in `directory` (standard output into `log`), timing it and
// reading its peak resident memory from the kernel's accounting.
Measured RunKestrel(const std::string& directory, const std::string& log) {
    std::fflush(stdout);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(directory.c_str()) != 0) _exit(126);
        if (std::freopen(log.c_str(), "w", stdout) == nullptr) _exit(126);
        const std::string binary = test::KestrelBinary();
        execl(binary.c_str(), binary.c_str(), "--automated", "build.kv", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    Measured measured;
    measured.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    measured.peakKib = usage.ru_maxrss;
    measured.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
    return measured;
}

double TimeShell(const std::string& command) {
    const auto start = std::chrono::steady_clock::now();
    if (RunShell(command) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One job whose outputs are `outputs` (the peer serves its archive whatever they are).
void WriteScript(const std::string& project, uint16_t port, const std::vector<std::string>& outputs,
                 const std::string& command) {
    std::string script = "machine local\n    path\n        kv://127.0.0.1:" + std::to_string(port) +
                         "\njob main\n    machine\n        local\n    output\n";
    for (const std::string& output : outputs) script += "        " + output + "\n";
    if (!command.empty()) script += "    command break on error\n        sh\n            -c\n            " + command + "\n";
    test::WriteFile(project + "/build.kv", script);
}

// kestrel against the scripted peer serving `archive`; exits when the job did not succeed.
Measured FetchFromPeer(const std::string& work, const std::string& archive) {
    const std::string project = work + "/project";
    RemoveTree(project + "/out");
    test::PeerScript script;
    script.archiveFile = archive;
    test::ScriptedPeer peer(script);
    std::string failure;
    if (!peer.Start(failure)) {
        std::fprintf(stderr, "peer: %s\n", failure.c_str());
        std::exit(1);
    }
    WriteScript(project, peer.port(), {"out"}, "");
    const Measured measured = RunKestrel(project, work + "/kestrel.log");
    peer.Wait();
    if (measured.exitCode != 0 || test::ReadFile(work + "/kestrel.log").find("The job main succeeded") == std::string::npos) {
        std::fprintf(stderr, "kestrel did not fetch the archive:\n%s", test::ReadFile(work + "/kestrel.log").c_str());
        std::exit(1);
    }
    return measured;
}

double MegabytesPerSecond(uint64_t bytes, double seconds) { return static_cast<double>(bytes) / seconds / 1e6; }

// The files below work/src/out, as the job's outputs name them.
struct SourceTree {
    std::string label;
    std::vector<std::string> outputs;  // "out/..." paths
    uint64_t content = 0;
};

// kestrel from the peer against `gzip -dc | tar -xf -`, best of three rounds each.
void CompareUnpacking(const std::string& work, const SourceTree& tree) {
    const std::string archive = work + "/tree.tgz";
    TimeShell("tar --format=pax -C " + work + "/src -cf - out | gzip -6 > " + archive);
    double reference = 1e9;
    double ours = 1e9;
    for (int round = 0; round < 3; ++round) {
        RemoveTree(work + "/reference");
        TimeShell("mkdir -p " + work + "/reference");
        const double took = TimeShell("gzip -dc " + archive + " | tar -xf - -C " + work + "/reference");
        if (took < reference) reference = took;
        const Measured fetched = FetchFromPeer(work, archive);
        if (fetched.seconds < ours) ours = fetched.seconds;
    }
    TimeShell("diff -r " + work + "/src/out " + work + "/project/out");
    std::printf("%s: archive %llu bytes\n", tree.label.c_str(),
                static_cast<unsigned long long>(std::filesystem::file_size(archive)));
    std::printf("  unpacking the archive:    kestrel from a peer %8.1f MB/s (%.2f s), gzip -dc | tar -xf - %8.1f MB/s "
                "(%.2f s), ratio %.2f\n",
                MegabytesPerSecond(tree.content, ours), ours, MegabytesPerSecond(tree.content, reference), reference,
                reference / ours);
    std::remove(archive.c_str());
}

// The same files made by a job on a real agent, packed by its writer, against
// the whole pipeline of the reference tools.
void CompareEndToEnd(const std::string& work, const SourceTree& tree) {
    test::AgentProcess agent;
    if (!agent.Start({"--work-dir", work + "/agent"})) {
        std::fprintf(stderr, "agent: %s\n", agent.failure.c_str());
        std::exit(1);
    }
    const std::string project = work + "/project";
    RemoveTree(project + "/out");
    WriteScript(project, agent.port(), tree.outputs, "cp -a " + work + "/src/out .");
    const Measured endToEnd = RunKestrel(project, work + "/kestrel.log");
    agent.Stop();
    TimeShell("diff -r " + work + "/src/out " + project + "/out");
    RemoveTree(work + "/reference");
    TimeShell("mkdir -p " + work + "/reference");
    const double pipeline = TimeShell("tar -C " + work + "/src -cf - out | gzip -6 | gzip -dc | tar -xf - -C " + work +
                                      "/reference");
    std::printf("  end to end (agent packs): kestrel-agent and kestrel %8.1f MB/s (%.2f s, the command's copy "
                "included), tar | gzip -6 | gzip -dc | tar -x %8.1f MB/s (%.2f s)\n",
                MegabytesPerSecond(tree.content, endToEnd.seconds), endToEnd.seconds,
                MegabytesPerSecond(tree.content, pipeline), pipeline);
}

void CompareTree(const std::string& work, const SourceTree& tree) {
    CompareUnpacking(work, tree);
    CompareEndToEnd(work, tree);
    RemoveTree(work + "/src");
    RemoveTree(work + "/reference");
    RemoveTree(work + "/project/out");
}

void Throughput(const std::string& work, uint64_t mib) {
    SourceTree text;
    text.label = "source-like text, " + std::to_string(mib) + " MiB in 400 files";
    for (const TreeFile& file : GenerateTree(work + "/src/out", 400, mib << 20)) {
        text.outputs.push_back("out/" + (file.directory.empty() ? "" : file.directory + "/") + file.name);
        text.content += file.size;
    }
    CompareTree(work, text);

    SourceTree noise;
    noise.content = 300ull * 1000 * 1000;
    noise.label = "noise, one file of 300 MB";
    noise.outputs = {"out/noise.bin"};
    TimeShell("mkdir -p " + work + "/src/out && head -c " + std::to_string(noise.content) + " /dev/urandom > " + work +
              "/src/out/noise.bin");
    CompareTree(work, noise);
}

void PeakMemory(const std::string& work) {
    std::printf("client peak RSS (one output file of repeated text, from the peer)\n");
    for (const uint64_t mib : {16ull, 1024ull}) {
        RemoveTree(work + "/src");
        TimeShell("mkdir -p " + work + "/src/out && yes 'kestrel output line 0123456789 abcdefghijklmnopqrstuvwxyz' | "
                  "head -c " + std::to_string(mib << 20) + " > " + work + "/src/out/big.txt");
        const std::string archive = work + "/big.tgz";
        TimeShell("tar --format=pax -C " + work + "/src -cf - out | gzip -1 > " + archive);
        const Measured fetched = FetchFromPeer(work, archive);
        TimeShell("cmp " + work + "/src/out/big.txt " + work + "/project/out/big.txt");
        std::printf("  %5llu MiB output: %ld KiB  (%.2f s)\n", static_cast<unsigned long long>(mib), fetched.peakKib,
                    fetched.seconds);
        RemoveTree(work + "/project/out");
        std::remove(archive.c_str());
    }
    RemoveTree(work + "/src");
}

}  // namespace
}  // namespace kestrel::bench

int main() {
    const std::string work = kestrel::bench::MakeTempDirectory();
    kestrel::bench::RunShell("mkdir -p " + work + "/project");
    kestrel::bench::Throughput(work, kestrel::bench::EnvironmentNumber("KESTREL_BENCH_MIB", 256));
    kestrel::bench::PeakMemory(work);
    kestrel::bench::RemoveTree(work);
    return 0;
}
