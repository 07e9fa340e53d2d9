// Our writer and reader against the reference pipelines on one generated tree:
// `tar -cf - DIR | gzip -6 > /dev/null` and `gzip -dc ARCHIVE | tar -x`.
// KESTREL_BENCH_FILES and KESTREL_BENCH_MIB size the tree (2000 files, 200 MiB).
// The *Parallel cases hand the compression to worker threads past the
// threshold the client uses; *Objects write a link's inputs (120 object files
// of 50-500 KiB). `compressed` is the archive's size in bytes.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "bench_tree.h"

namespace kestrel::bench {
namespace {

struct Tree {
    std::string base;
    std::string root;
    std::string archive;
    std::vector<TreeFile> files;
    uint64_t bytes = 0;
};

uint64_t EnvironmentNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

Tree& SharedTree() {
    static Tree* tree = [] {
        auto* made = new Tree;
        made->base = MakeTempDirectory();
        made->root = made->base + "/tree";
        made->archive = made->base + "/ours.tgz";
        made->files = GenerateTree(made->root, static_cast<uint32_t>(EnvironmentNumber("KESTREL_BENCH_FILES", 2000)),
                                   EnvironmentNumber("KESTREL_BENCH_MIB", 200) << 20);
        for (const TreeFile& file : made->files) made->bytes += file.size;
        const int fd = open(made->archive.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        WriteArchive(made->root, made->files, fd);
        close(fd);
        std::atexit([] { RemoveTree(SharedTree().base); });
        return made;
    }();
    return *tree;
}


// 0 workers: one per core.
constexpr PaxgzParallelConfig kParallel{kPaxgzParallelFrom, 0, kPaxgzParallelPieceSize};

void WriteTree(benchmark::State& state, const std::string& root, const std::vector<TreeFile>& files,
               uint64_t bytes, const PaxgzParallelConfig& parallel) {
    uint64_t written = 0;
    for (auto _ : state) {
        const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        written = WriteArchive(root, files, fd, parallel);
        close(fd);
        if (written == 0) state.SkipWithError("writer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
    state.counters["compressed"] = static_cast<double>(written);
}

void WriteOurs(benchmark::State& state) {
    Tree& tree = SharedTree();
    WriteTree(state, tree.root, tree.files, tree.bytes, {});
}

void WriteOursParallel(benchmark::State& state) {
    Tree& tree = SharedTree();
    WriteTree(state, tree.root, tree.files, tree.bytes, kParallel);
}

struct Objects {
    std::string base;
    std::vector<TreeFile> files;
    uint64_t bytes = 0;
};

Objects& SharedObjects() {
    static Objects* objects = [] {
        auto* made = new Objects;
        made->base = MakeTempDirectory();
        made->files = GenerateObjects(made->base, 120);
        for (const TreeFile& file : made->files) made->bytes += file.size;
        std::atexit([] { RemoveTree(SharedObjects().base); });
        return made;
    }();
    return *objects;
}

void WriteObjects(benchmark::State& state) {
    Objects& objects = SharedObjects();
    WriteTree(state, objects.base, objects.files, objects.bytes, {});
}

void WriteObjectsParallel(benchmark::State& state) {
    Objects& objects = SharedObjects();
    WriteTree(state, objects.base, objects.files, objects.bytes, kParallel);
}

void WriteOursEventLoopParallel(benchmark::State& state) {
    Tree& tree = SharedTree();
    for (auto _ : state) {
        const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const uint64_t ok = WriteArchiveWithLoop(tree.root, tree.files, fd, kParallel);
        close(fd);
        if (ok == 0) state.SkipWithError("writer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tree.bytes));
}

void WriteOursEventLoop(benchmark::State& state) {
    Tree& tree = SharedTree();
    for (auto _ : state) {
        const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        const uint64_t ok = WriteArchiveWithLoop(tree.root, tree.files, fd);
        close(fd);
        if (ok == 0) state.SkipWithError("writer failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tree.bytes));
}

void WriteReference(benchmark::State& state) {
    Tree& tree = SharedTree();
    const std::string command = "tar -cf - -C '" + tree.root + "' . | gzip -6 > /dev/null";
    for (auto _ : state) {
        if (RunShell(command) != 0) state.SkipWithError("tar | gzip failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tree.bytes));
}

void ReadOurs(benchmark::State& state) {
    Tree& tree = SharedTree();
    const std::string out = tree.base + "/out-ours";
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTree(out);
        std::filesystem::create_directories(out);
        state.ResumeTiming();
        if (!ReadArchive(tree.archive, out)) state.SkipWithError("reader failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tree.bytes));
}

void ReadReference(benchmark::State& state) {
    Tree& tree = SharedTree();
    const std::string out = tree.base + "/out-reference";
    const std::string command = "gzip -dc '" + tree.archive + "' | tar -x -C '" + out + "'";
    for (auto _ : state) {
        state.PauseTiming();
        RemoveTree(out);
        std::filesystem::create_directories(out);
        state.ResumeTiming();
        if (RunShell(command) != 0) state.SkipWithError("gzip | tar failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * tree.bytes));
}

BENCHMARK(WriteOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(WriteOursParallel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(WriteOursEventLoop)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(WriteOursEventLoopParallel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(WriteObjects)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(WriteObjectsParallel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(WriteReference)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ReadOurs)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(ReadReference)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace kestrel::bench

BENCHMARK_MAIN();
