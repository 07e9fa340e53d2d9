// NameTable against std::unordered_map<std::string, void*> on the keys a
// large C project gives it (relative source paths dirN/subM/fileK.c) and on
// the numbered block names of a generated script; and the string hashes that
// were candidates for the table, on the same keys.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/name_table.h"

namespace {

using kestrel::NameTable;

// 100 directories of 10 subdirectories of 100 files, in tree order.
const std::vector<std::string>& SourcePaths() {
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> all;
        for (int dir = 0; dir < 100; ++dir)
            for (int sub = 0; sub < 10; ++sub)
                for (int file = 0; file < 100; ++file)
                    all.push_back("dir" + std::to_string(dir) + "/sub" + std::to_string(sub) + "/file" +
                                  std::to_string(file) + ".c");
        return all;
    }();
    return paths;
}

// The names of a script with many small blocks: settings0, sources0, ...
const std::vector<std::string>& BlockNames() {
    static const std::vector<std::string> names = [] {
        static const char* const kinds[] = {"settings", "sources", "builder", "compile", "build"};
        std::vector<std::string> all;
        for (int i = 0; all.size() < 100000; ++i)
            for (const char* kind : kinds) all.push_back(kind + std::to_string(i));
        return all;
    }();
    return names;
}

// The first `count` keys spread over the whole set rather than one corner of it.
std::vector<const char*> Keys(const std::vector<std::string>& all, size_t count) {
    std::vector<const char*> keys;
    const size_t step = all.size() / count;
    for (size_t i = 0; i < count; ++i) keys.push_back(all[i * step].c_str());
    return keys;
}

std::vector<const char*> PathKeys(const benchmark::State& state) {
    return Keys(SourcePaths(), static_cast<size_t>(state.range(0)));
}

void Fill(NameTable& table, const std::vector<const char*>& keys) {
    table.Init();
    for (const char* key : keys) table.Insert(key, const_cast<char*>(key), nullptr);
}

void BM_NameTableInsert(benchmark::State& state) {
    const auto keys = PathKeys(state);
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
    const auto keys = PathKeys(state);
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
    state.counters["load"] = static_cast<double>(table.live) / table.capacity;
    state.SetItemsProcessed(state.iterations() * state.range(0));
    table.Destroy();
}

void BM_UnorderedMapInsert(benchmark::State& state) {
    const auto keys = PathKeys(state);
    for (auto _ : state) {
        std::unordered_map<std::string, void*> map;
        for (const char* key : keys) map.emplace(key, const_cast<char*>(key));
        benchmark::DoNotOptimize(map);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_UnorderedMapFind(benchmark::State& state) {
    const auto keys = PathKeys(state);
    std::unordered_map<std::string, void*> map;
    for (const char* key : keys) map.emplace(key, const_cast<char*>(key));
    // Looked up as the table is: from a NUL-terminated text.
    std::string probe;
    for (auto _ : state)
        for (const char* key : keys) {
            probe.assign(key);
            benchmark::DoNotOptimize(map.find(probe));
        }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

constexpr int64_t kSmall = 1000, kMedium = 10000, kLarge = 100000;

BENCHMARK(BM_NameTableInsert)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapInsert)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NameTableFind)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapFind)->Arg(kSmall)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond);

// ---- Hash candidates -----------------------------------------------------

uint64_t Load64(const unsigned char* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// The signed byte sum the table started with.
uint32_t ByteSum(const char* key) {
    uint32_t sum = 0;
    for (; *key != '\0'; ++key) sum += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*key)));
    return sum;
}

// FNV-1a, 32 bits: one byte, one multiply.
uint32_t Fnv1a(const char* key) {
    uint32_t hash = 2166136261u;
    for (; *key != '\0'; ++key) hash = (hash ^ static_cast<unsigned char>(*key)) * 16777619u;
    return hash;
}

// Eight bytes a round, each word multiplied, its high bits shifted down and
// multiplied again before it joins the state (the MurmurHash64A shape).
uint32_t MultiplyXorshift(const char* key) {
    constexpr uint64_t m = 0xc6a4a7935bd1e995ull;
    const auto* p = reinterpret_cast<const unsigned char*>(key);
    size_t length = std::strlen(key);
    uint64_t state = 0x8445d61a4e774912ull ^ (length * m);
    for (; length >= 8; length -= 8, p += 8) {
        uint64_t word = Load64(p) * m;
        word ^= word >> 47;
        state = (state ^ word * m) * m;
    }
    if (length > 0) {
        uint64_t word = 0;
        std::memcpy(&word, p, length);
        state = (state ^ word) * m;
    }
    state ^= state >> 47;
    state *= m;
    state ^= state >> 47;
    return static_cast<uint32_t>(state ^ (state >> 32));
}

using HashFunction = uint32_t (*)(const char*);

struct Candidate {
    const char* name;
    HashFunction hash;
};

// Argument 3 is the table's own hash.
constexpr Candidate kCandidates[] = {
    {"byte_sum", ByteSum},
    {"fnv1a", Fnv1a},
    {"multiply_xorshift", MultiplyXorshift},
    {"table_multiply_fold", kestrel::NameTableHash},
};

const std::vector<std::string>& KeySet(int64_t set) { return set == 0 ? SourcePaths() : BlockNames(); }

// Argument 0: candidate; argument 1: 0 path keys, 1 block names.
void BM_Hash(benchmark::State& state) {
    const Candidate& candidate = kCandidates[state.range(0)];
    const auto keys = Keys(KeySet(state.range(1)), 100000);
    for (auto _ : state)
        for (const char* key : keys) benchmark::DoNotOptimize(candidate.hash(key));
    state.SetLabel(candidate.name);
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(keys.size()));
}

// The quality that matters to the table: linear probing over 2^18 slots (the
// table's size for 100,000 keys), mean slots passed to find a key and the
// longest walk.
void BM_HashProbing(benchmark::State& state) {
    const Candidate& candidate = kCandidates[state.range(0)];
    const auto keys = Keys(KeySet(state.range(1)), 100000);
    constexpr uint32_t kSlots = 1u << 18;
    double mean = 0, longest = 0;
    for (auto _ : state) {
        std::vector<uint8_t> taken(kSlots, 0);
        uint64_t passed = 0, maximum = 0;
        for (const char* key : keys) {
            uint32_t slot = candidate.hash(key) & (kSlots - 1);
            uint64_t walk = 0;
            for (; taken[slot] != 0; slot = (slot + 1) & (kSlots - 1)) ++walk;
            taken[slot] = 1;
            passed += walk;
            if (walk > maximum) maximum = walk;
        }
        mean = static_cast<double>(passed) / static_cast<double>(keys.size());
        longest = static_cast<double>(maximum);
    }
    state.SetLabel(candidate.name);
    state.counters["mean_passed"] = mean;
    state.counters["longest"] = longest;
}

void HashArguments(benchmark::internal::Benchmark* b) {
    for (int64_t set = 0; set < 2; ++set)
        for (int64_t candidate = 1; candidate < 4; ++candidate) b->Args({candidate, set});
}

BENCHMARK(BM_Hash)->Apply(HashArguments)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HashProbing)->Apply(HashArguments)->Args({0, 0})->Unit(benchmark::kMillisecond)->Iterations(1);

// The rule the table once grew by: a walk ending at its fourth slot of another
// hash group (hash with the low log2(capacity) bits cleared) doubles the
// table, and the move doubles again while any entry meets that. With a hash
// that spreads keys, nearly every slot a walk passes is foreign, so tables
// grow whenever four slots in a row are taken. Reports the load factor at
// each growth and at the end, for the table's own hash.
void BM_FourForeignSlotsRule(benchmark::State& state) {
    struct Slot {
        uint32_t hash;
        bool taken;
    };
    const auto count = static_cast<size_t>(state.range(0));
    std::vector<std::string> keys;
    for (size_t i = 0; keys.size() < count; ++i)
        keys.push_back("dir" + std::to_string(i / 1000) + "/sub" + std::to_string(i / 100 % 10) + "/file" +
                       std::to_string(i % 100) + ".c");
    auto place = [](std::vector<Slot>& slots, uint32_t hash) -> bool {
        const auto capacity = static_cast<uint32_t>(slots.size());
        const uint32_t mask = capacity - 1;
        uint32_t slot = hash & mask;
        for (uint32_t foreign = 0, passed = 0; passed < capacity; ++passed, slot = (slot + 1) & mask) {
            if (!slots[slot].taken) {
                slots[slot] = Slot{hash, true};
                return true;
            }
            if ((slots[slot].hash & ~mask) != (hash & ~mask) && ++foreign == 4) return false;
        }
        return false;
    };
    double lowest = 1, final = 0, capacity = 0;
    for (auto _ : state) {
        std::vector<Slot> slots(128, Slot{0, false});
        size_t stored = 0;
        for (const std::string& key : keys) {
            const uint32_t hash = kestrel::NameTableHash(key.c_str());
            while (!place(slots, hash)) {
                const double load = static_cast<double>(stored) / static_cast<double>(slots.size());
                if (load < lowest) lowest = load;
                for (size_t size = slots.size() * 2;; size *= 2) {
                    std::vector<Slot> grown(size, Slot{0, false});
                    bool placed = true;
                    for (const Slot& s : slots)
                        if (s.taken && !place(grown, s.hash)) {
                            placed = false;
                            break;
                        }
                    if (placed) {
                        slots.swap(grown);
                        break;
                    }
                }
            }
            ++stored;
        }
        final = static_cast<double>(stored) / static_cast<double>(slots.size());
        capacity = static_cast<double>(slots.size());
    }
    state.counters["lowest_load_at_growth"] = lowest;
    state.counters["final_load"] = final;
    state.counters["capacity"] = capacity;
}
BENCHMARK(BM_FourForeignSlotsRule)->Arg(kMedium)->Arg(kLarge)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
