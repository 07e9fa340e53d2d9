// Parsing speed of generated 10 MB scripts of file lists, data blocks,
// machines, steps and jobs, against `wc -l` on the same file as the floor for
// reading its bytes, and the same parse followed by the preparation of every
// job. All report bytes per second.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "runtime/path.h"
#include "script/job.h"
#include "script/prepare_job.h"
#include "script/script_paths.h"
#include "script/script_reader.h"

namespace {

constexpr size_t kScriptSize = 10u << 20;

// Many small blocks: every name is a table entry of the parser context.
std::string ManyBlocks() {
    std::string text = "# generated for the parser benchmark\n";
    for (int i = 0; text.size() < kScriptSize; ++i) {
        const std::string n = std::to_string(i);
        text += "data settings" + n + "\n    value\n        compiler = cl\n        flags = /O2 /W4 /DNUMBER=" + n +
                "\n        flags = /Zi\n    path\n        source = src/module" + n + "/main.c\n" +
                "        header = ../include/module" + n + ".h\n";
        text += "file list sources" + n + "\n    file\n        src/module" + n + "/a.c\n        src/module" + n +
                "/b.c\n        src\\module" + n + "\\c.c\n";
        if (i > 0) text += "    include\n        sources0\n";
        text += "machine builder" + n + "\n    path\n        kvs://gateway" + n + ":6000\n        kvi://agent" + n +
                "\n    path list\n        kv://builder" + n + "a\n        kv://builder" + n + "b:5018/\n";
        text += "step compile" + n +
                "\n    parameter\n        files\n        flags\n    command break on error\n"
                "        cc <flags> -c <<enumerate>files>\n            -o\n"
                "            out/<<enumerate along, base name>files>.o\n"
                "    command ignore error\n        echo\n            <<environment>PATH>\n";
        text += "job build" + n + "\n    machine\n        builder" + n + "\n        host" + std::to_string(i % 16) +
                ":6001\n    include input\n        sources" + n + "\n    output\n        ../lib/module" + n +
                ".a\n    include data\n        settings" + n + "\n    include data with name files\n        sources" +
                n + "\n    concurrency high\n    include step compile" + n + "\n        files\n        flags\n";
        if (i % 8 == 0) text += "# module " + n + " done\n\n";
    }
    return text;
}

// The same kinds of lines in a few hundred large blocks.
std::string LargeBlocks() {
    std::string text = "# generated for the parser benchmark\n";
    for (int i = 0; text.size() < kScriptSize; ++i) {
        const std::string n = std::to_string(i);
        text += "data settings" + n + "\n    value\n";
        for (int v = 0; v < 100; ++v) text += "        flags = /O2 /W4 /DNUMBER=" + std::to_string(v) + "\n";
        text += "    path\n";
        for (int p = 0; p < 30; ++p) text += "        source = src/module" + std::to_string(p) + "/main.c\n";
        text += "file list sources" + n + "\n    file\n";
        for (int f = 0; f < 100; ++f) text += "        src/module" + n + "/file" + std::to_string(f) + ".c\n";
        text += "machine builder" + n + "\n    path list\n";
        for (int m = 0; m < 10; ++m) text += "        kv://builder" + std::to_string(m) + ":6000/\n";
        text += "step compile" + n + "\n    parameter\n        files\n        flags\n    command break on error\n";
        for (int c = 0; c < 20; ++c) {
            text += "        cc <flags> -DPASS=" + std::to_string(c) +
                    " -c <<enumerate>files>\n            -o\n            out/<<enumerate along, base name>files>.o\n";
        }
        text += "job build" + n + "\n    machine\n        builder" + n + "\n    include input\n        sources" + n +
                "\n    include data\n        settings" + n + "\n    include data with name files\n        sources" + n +
                "\n    output\n";
        for (int f = 0; f < 100; ++f) text += "        out/module" + n + "/file" + std::to_string(f) + ".o\n";
        for (int c = 0; c < 10; ++c) text += "    include step compile" + n + "\n        files\n        flags\n";
        text += "# module " + n + " done\n\n";
    }
    return text;
}

struct GeneratedScript {
    std::string directory;
    std::string path;
    size_t size = 0;

    explicit GeneratedScript(const std::string& text) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kestrel-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        directory = pattern;
        path = directory + "/build.txt";
        std::ofstream(path, std::ios::binary) << text;
        size = text.size();
    }
    ~GeneratedScript() {
        unlink(path.c_str());
        rmdir(directory.c_str());
    }
};

GeneratedScript& Script(int shape) {
    static GeneratedScript many(ManyBlocks());
    static GeneratedScript large(LargeBlocks());
    return shape == 0 ? many : large;
}

// Argument 0: many small blocks; 1: a few hundred large ones. The time and
// the bytes per second are the parse's; release_s is the time taken to free
// what it built, outside the timing.
void BM_ParseScript(benchmark::State& state) {
    using namespace kestrel;
    GeneratedScript& script = Script(static_cast<int>(state.range(0)));
    Path base;
    SplitNativePath(base, script.directory.data(), static_cast<uint32_t>(script.directory.size()));
    double release = 0;
    for (auto _ : state) {
        ParserContext context;
        if (!context.init()) state.SkipWithError("no memory");
        auto reader = std::make_unique<ScriptReader>();
        reader->init(context);
        const bool parsed = reader->open(script.path.c_str(), base) && reader->finish();
        if (!parsed) state.SkipWithError(reader->errorText());
        state.PauseTiming();
        const auto start = std::chrono::steady_clock::now();
        reader->release();
        context.release();
        release += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.ResumeTiming();
    }
    base.Release();
    state.counters["release_s"] = benchmark::Counter(release, benchmark::Counter::kAvgIterations);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * script.size));
}
BENCHMARK(BM_ParseScript)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The parse, then every job prepared as the scheduler would.
void BM_ParseAndPrepare(benchmark::State& state) {
    using namespace kestrel;
    GeneratedScript& script = Script(static_cast<int>(state.range(0)));
    Path base;
    SplitNativePath(base, script.directory.data(), static_cast<uint32_t>(script.directory.size()));
    int64_t jobs = 0;
    for (auto _ : state) {
        ParserContext context;
        if (!context.init()) state.SkipWithError("no memory");
        auto reader = std::make_unique<ScriptReader>();
        reader->init(context);
        const bool parsed = reader->open(script.path.c_str(), base) && reader->finish();
        if (!parsed) state.SkipWithError(reader->errorText());
        reader->release();
        jobs = 0;
        for (uint32_t slot = 0; slot < context.blocks.capacity; ++slot) {
            void* record = context.blocks.entries[slot].value;
            if (record == nullptr || KindOf(record) != BlockKind::Job) continue;
            BlockMessage message;
            if (!prepareJob(*static_cast<Job*>(record), message)) state.SkipWithError(message.text);
            ++jobs;
        }
        context.release();
    }
    base.Release();
    state.counters["jobs"] = static_cast<double>(jobs);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * script.size));
}
BENCHMARK(BM_ParseAndPrepare)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_WcLines(benchmark::State& state) {
    GeneratedScript& script = Script(static_cast<int>(state.range(0)));
    const std::string command = "wc -l < '" + script.path + "' > /dev/null";
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) state.SkipWithError("wc failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * script.size));
}
BENCHMARK(BM_WcLines)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
