// Parsing speed of generated 10 MB scripts of file lists, data blocks and
// machines, against `wc -l` on the same file as the floor for reading its
// bytes. Both report bytes per second. With many small blocks the time goes
// to the name tables: a byte-sum hash gives numbered names few distinct
// values.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "runtime/path.h"
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

// Argument 0: many small blocks; 1: a few hundred large ones.
void BM_ParseScript(benchmark::State& state) {
    using namespace kestrel;
    GeneratedScript& script = Script(static_cast<int>(state.range(0)));
    Path base;
    SplitNativePath(base, script.directory.data(), static_cast<uint32_t>(script.directory.size()));
    for (auto _ : state) {
        ParserContext context;
        if (!context.init()) state.SkipWithError("no memory");
        auto reader = std::make_unique<ScriptReader>();
        reader->init(context);
        const bool parsed = reader->open(script.path.c_str(), base) && reader->finish();
        if (!parsed) state.SkipWithError(reader->errorText());
        reader->release();
        context.release();
    }
    base.Release();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * script.size));
}
BENCHMARK(BM_ParseScript)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

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
