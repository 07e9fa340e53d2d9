// The scheduler on a generated build where nothing needs to run: parse the
// script, select the project's jobs and link their files (Schedule), then
// check inputs and skip every job (Decide), and release it all. Counters
// split the time between the four phases. compare.sh runs the whole program
// against a no-op ninja on the same build.
//
//   scheduler_bench                      the benchmarks
//   scheduler_bench generate DIR JOBS    writes a build of JOBS jobs into DIR
//   scheduler_bench generate-flat DIR N  N jobs of one input and one output
//   scheduler_bench generate-wide DIR N  one job "main" of N inputs

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "generated_build.h"
#include "runtime/path.h"
#include "scheduler/job_scheduler.h"
#include "script/script_paths.h"
#include "script/script_reader.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

bool Parse(const std::string& directory, kestrel::ParserContext& context) {
    kestrel::Path base;
    if (!kestrel::SplitNativePath(base, directory.data(), static_cast<uint32_t>(directory.size()))) return false;
    auto reader = std::make_unique<kestrel::ScriptReader>();
    const bool ok = reader->init(context) && reader->open("build.txt", base) && reader->finish();
    if (!ok) std::fprintf(stderr, "%s\n", reader->errorText());
    reader->release();
    base.Release();
    return ok;
}

void BM_NothingToRun(benchmark::State& state) {
    const auto jobs = static_cast<uint32_t>(state.range(0));
    const kestrel::bench::BuildShape shape = kestrel::bench::ShapeWithJobs(jobs);
    kestrel::test::TempDir dir;
    std::string error;
    if (!kestrel::bench::GenerateBuild(dir.path(), shape, error)) {
        state.SkipWithError(error.c_str());
        return;
    }
    double parse = 0;
    double schedule = 0;
    double decide = 0;
    double release = 0;
    for (auto _ : state) {
        kestrel::ParserContext context;
        kestrel::JobScheduler scheduler;
        const Clock::time_point start = Clock::now();
        if (!context.init() || !Parse(dir.path(), context)) {
            state.SkipWithError("the script did not parse");
            break;
        }
        const Clock::time_point parsed = Clock::now();
        const bool scheduled = scheduler.Schedule(context, "all", true);
        const Clock::time_point selected = Clock::now();
        const bool decided = scheduled && scheduler.Decide();
        const Clock::time_point done = Clock::now();
        const bool nothingToRun = decided && scheduler.readyHead == nullptr;
        if (!nothingToRun) state.SkipWithError(scheduler.message != nullptr ? scheduler.message : "jobs left to run");
        parse += Seconds(start, parsed);
        schedule += Seconds(parsed, selected);
        decide += Seconds(selected, done);
        scheduler.Release();
        context.release();
        release += Seconds(done, Clock::now());
        if (!nothingToRun) break;
    }
    state.counters["parse_s"] = benchmark::Counter(parse, benchmark::Counter::kAvgIterations);
    state.counters["schedule_s"] = benchmark::Counter(schedule, benchmark::Counter::kAvgIterations);
    state.counters["decide_s"] = benchmark::Counter(decide, benchmark::Counter::kAvgIterations);
    state.counters["release_s"] = benchmark::Counter(release, benchmark::Counter::kAvgIterations);
    state.counters["jobs"] = shape.jobs();
    state.counters["files"] = static_cast<double>(shape.files());
}
BENCHMARK(BM_NothingToRun)->Arg(1000)->Arg(3000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (std::strcmp(argv[1], "generate-flat") == 0 || std::strcmp(argv[1], "generate-wide") == 0)) {
        std::string error;
        const auto count = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
        const bool flat = std::strcmp(argv[1], "generate-flat") == 0;
        const bool ok = flat ? kestrel::bench::GenerateFlatBuild(argv[2], count, error)
                             : kestrel::bench::GenerateWideJob(argv[2], count, error);
        if (!ok) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::printf(flat ? "%u jobs of one input and one output\n" : "one job of %u inputs\n", count);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "generate") == 0) {
        std::string error;
        const auto jobs = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
        if (jobs < 100 || jobs % 100 != 0) {
            std::fprintf(stderr, "JOBS must be a multiple of 100\n");
            return 1;
        }
        const kestrel::bench::BuildShape shape = kestrel::bench::ShapeWithJobs(jobs);
        if (!kestrel::bench::GenerateBuild(argv[2], shape, error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        std::printf("%u jobs, %llu files\n", shape.jobs(), static_cast<unsigned long long>(shape.files()));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
