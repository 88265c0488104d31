// Range tree against the obvious alternative: a sorted vector of keys,
// binary search for the range, and a bitmap built by scanning it.
//
// 1M (value, id) pairs; values are 0 .. 1M-1 and ids an independent random
// permutation of 1 .. 1M, as when objects are created in one order and
// carry unrelated attribute values.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "structures/ranged_b_tree.hpp"

namespace corvalex {
namespace {

constexpr uint32_t kN = 1'000'000;

struct Data {
    std::vector<uint32_t> id_of;         // id_of[value]
    std::vector<uint32_t> random_order;  // values in random insertion order
    Bitmap full;
    Bitmap tenth;
    BitMapBTree tree;
    std::vector<u128> sorted;

    Data() : id_of(kN), random_order(kN) {
        std::mt19937_64 rng(42);
        std::iota(id_of.begin(), id_of.end(), 1u);
        std::shuffle(id_of.begin(), id_of.end(), rng);
        std::iota(random_order.begin(), random_order.end(), 0u);
        std::shuffle(random_order.begin(), random_order.end(), rng);
        for (uint32_t id = 1; id <= kN; ++id) {
            full.add(id);
            if (rng() % 10 == 0) tenth.add(id);
        }
        for (uint32_t v : random_order) tree.insert(Number::from_int(v), id_of[v]);
        sorted.reserve(kN);
        for (uint32_t v = 0; v < kN; ++v) {
            sorted.push_back(CompositeKey128(Number::from_int(v), id_of[v]).key);
        }
        std::sort(sorted.begin(), sorted.end());
    }
};

Data& data() {
    static Data d;
    return d;
}

const Bitmap& universe(const benchmark::State& state) {
    return state.range(1) == 100 ? data().full : data().tenth;
}

// Range starts cycle through a fixed pseudo-random sequence.
int64_t next_start(std::mt19937& rng, int64_t width) {
    return static_cast<int64_t>(rng() % (kN - width + 1));
}

// --- insertion and removal -----------------------------------------------------

void BM_TreeInsertRandom(benchmark::State& state) {
    const Data& d = data();
    for (auto _ : state) {
        BitMapBTree t;
        for (uint32_t v : d.random_order) t.insert(Number::from_int(v), d.id_of[v]);
        benchmark::DoNotOptimize(t.size());
    }
    state.SetItemsProcessed(state.iterations() * kN);
}
BENCHMARK(BM_TreeInsertRandom)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_TreeInsertAscending(benchmark::State& state) {
    const Data& d = data();
    for (auto _ : state) {
        BitMapBTree t;
        for (uint32_t v = 0; v < kN; ++v) t.insert(Number::from_int(v), d.id_of[v]);
        benchmark::DoNotOptimize(t.size());
    }
    state.SetItemsProcessed(state.iterations() * kN);
}
BENCHMARK(BM_TreeInsertAscending)->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_VectorBuildAndSort(benchmark::State& state) {
    const Data& d = data();
    for (auto _ : state) {
        std::vector<u128> keys;
        keys.reserve(kN);
        for (uint32_t v : d.random_order) {
            keys.push_back(CompositeKey128(Number::from_int(v), d.id_of[v]).key);
        }
        std::sort(keys.begin(), keys.end());
        benchmark::DoNotOptimize(keys.data());
    }
    state.SetItemsProcessed(state.iterations() * kN);
}
BENCHMARK(BM_VectorBuildAndSort)->Unit(benchmark::kMillisecond)->Iterations(2);

// Removes 100k random pairs from the 1M tree (timed), then puts them back.
void BM_TreeRemove(benchmark::State& state) {
    Data& d = data();
    constexpr uint32_t kBatch = 100'000;
    std::mt19937 rng(7);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<uint32_t> victims(kBatch);
        for (auto& v : victims) v = rng() % kN;
        std::sort(victims.begin(), victims.end());
        victims.erase(std::unique(victims.begin(), victims.end()), victims.end());
        std::shuffle(victims.begin(), victims.end(), rng);
        state.ResumeTiming();
        for (uint32_t v : victims) d.tree.remove(Number::from_int(v), d.id_of[v]);
        state.PauseTiming();
        for (uint32_t v : victims) d.tree.insert(Number::from_int(v), d.id_of[v]);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_TreeRemove)->Unit(benchmark::kMillisecond)->Iterations(3);

// Removes 1000 random keys from a sorted vector copy (each an O(n) shift).
void BM_VectorRemove(benchmark::State& state) {
    const Data& d = data();
    std::mt19937 rng(7);
    std::vector<u128> keys = d.sorted;
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) {
            const uint32_t v = rng() % kN;
            const u128 key = CompositeKey128(Number::from_int(v), d.id_of[v]).key;
            auto it = std::lower_bound(keys.begin(), keys.end(), key);
            if (it != keys.end() && *it == key) keys.erase(it);
        }
        state.PauseTiming();
        keys = d.sorted;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_VectorRemove)->Unit(benchmark::kMillisecond)->Iterations(5);

// --- range queries ---------------------------------------------------------------
// Arguments: selectivity in thousandths of the keys, universe in percent.

void query_args(benchmark::internal::Benchmark* b) {
    for (int64_t permille : {1, 10, 100, 500}) {
        for (int64_t universe_percent : {100, 10}) b->Args({permille, universe_percent});
    }
    b->ArgNames({"permille", "universe%"});
    b->Unit(benchmark::kMicrosecond);
}

void BM_TreeRange(benchmark::State& state) {
    const Data& d = data();
    const Bitmap& u = universe(state);
    const int64_t width = kN / 1000 * state.range(0);
    std::mt19937 rng(1);
    for (auto _ : state) {
        const int64_t lo = next_start(rng, width);
        Bitmap r = d.tree.query_range(Bound::inclusive(Number::from_int(lo)),
                                      Bound::exclusive(Number::from_int(lo + width)), u);
        benchmark::DoNotOptimize(r.cardinality());
    }
}
BENCHMARK(BM_TreeRange)->Apply(query_args);

void BM_VectorRange(benchmark::State& state) {
    const Data& d = data();
    const Bitmap& u = universe(state);
    const int64_t width = kN / 1000 * state.range(0);
    std::mt19937 rng(1);
    std::vector<uint32_t> ids;
    for (auto _ : state) {
        const int64_t lo = next_start(rng, width);
        const auto first =
            std::lower_bound(d.sorted.begin(), d.sorted.end(),
                             CompositeKey128::first_of(sort_prefix(Number::from_int(lo))).key);
        const auto last = std::lower_bound(
            first, d.sorted.end(),
            CompositeKey128::first_of(sort_prefix(Number::from_int(lo + width))).key);
        ids.clear();
        for (auto it = first; it != last; ++it) ids.push_back(static_cast<uint32_t>(*it));
        Bitmap r = Bitmap::of(ids);
        r.and_inplace(u);
        benchmark::DoNotOptimize(r.cardinality());
    }
}
BENCHMARK(BM_VectorRange)->Apply(query_args);

}  // namespace
}  // namespace corvalex

BENCHMARK_MAIN();
