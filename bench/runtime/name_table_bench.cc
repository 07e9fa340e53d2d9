// NameTable against std::unordered_map on the keys a large C project gives
// it: relative source paths dirN/subM/fileK.c.
#include <benchmark/benchmark.h>

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "runtime/name_table.h"

namespace {

using kestrel::NameTable;

const std::vector<std::string>& SourcePaths(size_t count) {
    static std::vector<std::string> paths;
    if (paths.size() < count) {
        paths.clear();
        // 100 directories of 10 subdirectories of 100 files.
        for (int dir = 0; dir < 100; ++dir)
            for (int sub = 0; sub < 10; ++sub)
                for (int file = 0; file < 100; ++file)
                    paths.push_back("dir" + std::to_string(dir) + "/sub" + std::to_string(sub) + "/file" +
                                    std::to_string(file) + ".c");
    }
    return paths;
}

// Spread the first `count` keys over the whole tree rather than one directory.
std::vector<const char*> Keys(size_t count) {
    const std::vector<std::string>& all = SourcePaths(100000);
    std::vector<const char*> keys;
    const size_t step = all.size() / count;
    for (size_t i = 0; i < count; ++i) keys.push_back(all[i * step].c_str());
    return keys;
}

void Fill(NameTable& table, const std::vector<const char*>& keys) {
    table.Init();
    for (const char* key : keys) table.Insert(key, const_cast<char*>(key), nullptr);
}

void BM_NameTableInsert(benchmark::State& state) {
    const auto keys = Keys(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        NameTable table;
        Fill(table, keys);
        benchmark::DoNotOptimize(table.entries);
        state.PauseTiming();
        state.counters["capacity"] = table.capacity;
        table.Destroy();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_NameTableFind(benchmark::State& state) {
    const auto keys = Keys(static_cast<size_t>(state.range(0)));
    NameTable table;
    Fill(table, keys);
    for (auto _ : state)
        for (const char* key : keys) benchmark::DoNotOptimize(table.Find(key));
    // How far entries sit from their home slot: the cost of every lookup.
    double distance = 0;
    for (uint32_t slot = 0; slot < table.capacity; ++slot)
        if (table.entries[slot].value != nullptr)
            distance += (slot - table.entries[slot].hash) & (table.capacity - 1);
    state.counters["mean_probe"] = distance / static_cast<double>(keys.size());
    state.counters["capacity"] = table.capacity;
    state.SetItemsProcessed(state.iterations() * state.range(0));
    table.Destroy();
}

void BM_UnorderedMapInsert(benchmark::State& state) {
    const auto keys = Keys(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        std::unordered_map<std::string_view, const char*> map;
        for (const char* key : keys) map.emplace(key, key);
        benchmark::DoNotOptimize(map);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_UnorderedMapFind(benchmark::State& state) {
    const auto keys = Keys(static_cast<size_t>(state.range(0)));
    std::unordered_map<std::string_view, const char*> map;
    for (const char* key : keys) map.emplace(key, key);
    for (auto _ : state)
        for (const char* key : keys) benchmark::DoNotOptimize(map.find(key));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

constexpr int64_t kSmall = 1000, kMedium = 10000, kLarge = 100000;

BENCHMARK(BM_NameTableInsert)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapInsert)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NameTableFind)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapFind)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
