// FormatText against snprintf on the messages the client builds most often.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "runtime/format.h"

namespace {

using kestrel::FormatI32;
using kestrel::FormatString;
using kestrel::FormatText;
using kestrel::FormatU32;
using kestrel::FormatU64;

const char* const kPath = "src/compiler/backend/register_allocator.c";
const char* const kJob = "compile-backend";

void BM_FormatText_ErrorMessage(benchmark::State& state) {
    char buffer[256];
    const int32_t code = 10054;
    for (auto _ : state) {
        const uint32_t n = FormatText(buffer, sizeof buffer, "Cannot read {0} for job {1}, error {2}",
                                      {{FormatString, kPath}, {FormatString, kJob}, {FormatI32, &code}});
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

void BM_Snprintf_ErrorMessage(benchmark::State& state) {
    char buffer[256];
    const int32_t code = 10054;
    for (auto _ : state) {
        const int n = std::snprintf(buffer, sizeof buffer, "Cannot read %s for job %s, error %d", kPath, kJob, code);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

void BM_FormatText_Numbers(benchmark::State& state) {
    char buffer[256];
    const uint32_t line = 4711;
    const uint64_t size = 8'589'934'592ull;
    for (auto _ : state) {
        const uint32_t n = FormatText(buffer, sizeof buffer, "<kv:output line=\"{0}\" size=\"{1}\" file=\"{2}\"/>",
                                      {{FormatU32, &line}, {FormatU64, &size}, {FormatString, kPath}});
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

void BM_Snprintf_Numbers(benchmark::State& state) {
    char buffer[256];
    const uint32_t line = 4711;
    const uint64_t size = 8'589'934'592ull;
    for (auto _ : state) {
        const int n = std::snprintf(buffer, sizeof buffer, "<kv:output line=\"%u\" size=\"%llu\" file=\"%s\"/>", line,
                                    static_cast<unsigned long long>(size), kPath);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}

// The two-pass pattern of every caller: size, then write.
void BM_FormatText_TwoPass(benchmark::State& state) {
    char buffer[256];
    const int32_t code = 2;
    for (auto _ : state) {
        const uint32_t n = FormatText(nullptr, 0, "Cannot open {0}, error {1}", {{FormatString, kPath}, {FormatI32, &code}});
        FormatText(buffer, n, "Cannot open {0}, error {1}", {{FormatString, kPath}, {FormatI32, &code}});
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
    }
}

void BM_Snprintf_TwoPass(benchmark::State& state) {
    char buffer[256];
    const int32_t code = 2;
    for (auto _ : state) {
        const int n = std::snprintf(nullptr, 0, "Cannot open %s, error %d", kPath, code);
        std::snprintf(buffer, static_cast<size_t>(n) + 1, "Cannot open %s, error %d", kPath, code);
        benchmark::DoNotOptimize(buffer);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_FormatText_ErrorMessage);
BENCHMARK(BM_Snprintf_ErrorMessage);
BENCHMARK(BM_FormatText_Numbers);
BENCHMARK(BM_Snprintf_Numbers);
BENCHMARK(BM_FormatText_TwoPass);
BENCHMARK(BM_Snprintf_TwoPass);

}  // namespace

BENCHMARK_MAIN();
