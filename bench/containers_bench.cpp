// quon_void_pointer_map against std::unordered_map<std::string, void*> with
// the keys the manifest index holds: file names of 24 characters. The
// standard map is given its best case: keys already made std::string, so
// a lookup builds no temporary string; the quon map takes plain C texts as
// its callers pass them.

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "base/containers.h"
#include "bench/bench_data.h"

namespace {

struct key_set {
    std::vector<std::string> present;  // in insertion order
    std::vector<std::string> absent;   // never added
    std::vector<int> lookup_order;     // a shuffled walk over both lists
};

const key_set& keys(int count)
{
    static std::unordered_map<int, key_set> made;
    key_set& set = made[count];
    if (set.present.empty()) {
        for (int i = 0; i < count; i++) {
            set.present.push_back(bench_file_name(2 * i));
            set.absent.push_back(bench_file_name(2 * i + 1));
        }
        for (int i = 0; i < count; i++)
            set.lookup_order.push_back(i);
        bench_random random;
        for (int i = count - 1; i > 0; i--)
            std::swap(set.lookup_order[i], set.lookup_order[random.next() % (uint64_t)(i + 1)]);
    }
    return set;
}

void* value_of(int i)
{
    return (void*)(intptr_t)(i + 1);
}

void fill(quon_void_pointer_map& map, const key_set& set)
{
    for (size_t i = 0; i < set.present.size(); i++)
        map.add(value_of((int)i), set.present[i].c_str());
}

void fill(std::unordered_map<std::string, void*>& map, const key_set& set)
{
    for (size_t i = 0; i < set.present.size(); i++)
        map.emplace(set.present[i], value_of((int)i));
}

// Each iteration builds a map of all keys and destroys it; the figure is
// per add.
void BM_quon_map_add(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    for (auto _ : state) {
        quon_void_pointer_map map;
        fill(map, set);
        benchmark::DoNotOptimize(map.count());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_std_map_add(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    for (auto _ : state) {
        std::unordered_map<std::string, void*> map;
        fill(map, set);
        benchmark::DoNotOptimize(map.size());
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// One lookup per iteration, of a present key in shuffled order.
void BM_quon_map_find(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    quon_void_pointer_map map;
    fill(map, set);
    size_t next = 0;
    for (auto _ : state) {
        int i = set.lookup_order[next];
        benchmark::DoNotOptimize(map.find(set.present[i].c_str()));
        if (++next == set.lookup_order.size())
            next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_std_map_find(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    std::unordered_map<std::string, void*> map;
    fill(map, set);
    size_t next = 0;
    for (auto _ : state) {
        int i = set.lookup_order[next];
        benchmark::DoNotOptimize(map.find(set.present[i]));
        if (++next == set.lookup_order.size())
            next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// A lookup that finds nothing: what the update run does for every remote
// file the local manifest does not list.
void BM_quon_map_find_absent(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    quon_void_pointer_map map;
    fill(map, set);
    size_t next = 0;
    for (auto _ : state) {
        int i = set.lookup_order[next];
        benchmark::DoNotOptimize(map.find(set.absent[i].c_str()));
        if (++next == set.lookup_order.size())
            next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_std_map_find_absent(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    std::unordered_map<std::string, void*> map;
    fill(map, set);
    size_t next = 0;
    for (auto _ : state) {
        int i = set.lookup_order[next];
        benchmark::DoNotOptimize(map.find(set.absent[i]));
        if (++next == set.lookup_order.size())
            next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// Every key removed, in shuffled order, from a full map built untimed.
void BM_quon_map_remove(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        quon_void_pointer_map* map = new quon_void_pointer_map;
        fill(*map, set);
        state.ResumeTiming();
        for (int i : set.lookup_order)
            benchmark::DoNotOptimize(map->remove(set.present[i].c_str()));
        state.PauseTiming();
        delete map;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_std_map_remove(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto* map = new std::unordered_map<std::string, void*>;
        fill(*map, set);
        state.ResumeTiming();
        for (int i : set.lookup_order)
            benchmark::DoNotOptimize(map->erase(set.present[i]));
        state.PauseTiming();
        delete map;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// The text hash alone, over the same keys: the floor of any
// lookup in the quon map.
void BM_quon_hash_text(benchmark::State& state)
{
    const key_set& set = keys(1000);
    size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(quon_hash_text(set.present[next].c_str()));
        if (++next == set.present.size())
            next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_quon_hash_text);

// What a std::unordered_map index of the manifest would cost its callers,
// who hold the names as C texts: a std::string made for every lookup.
void BM_std_map_find_c_text(benchmark::State& state)
{
    const key_set& set = keys((int)state.range(0));
    std::unordered_map<std::string, void*> map;
    fill(map, set);
    size_t next = 0;
    for (auto _ : state) {
        int i = set.lookup_order[next];
        benchmark::DoNotOptimize(map.find(set.present[i].c_str()));
        if (++next == set.lookup_order.size())
            next = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// A small manifest and a very large one (the 100,000-entry release).
#define MAP_SIZES Arg(1000)->Arg(100000)
BENCHMARK(BM_quon_map_add)->MAP_SIZES;
BENCHMARK(BM_std_map_add)->MAP_SIZES;
BENCHMARK(BM_quon_map_find)->MAP_SIZES;
BENCHMARK(BM_std_map_find)->MAP_SIZES;
BENCHMARK(BM_std_map_find_c_text)->MAP_SIZES;
BENCHMARK(BM_quon_map_find_absent)->MAP_SIZES;
BENCHMARK(BM_std_map_find_absent)->MAP_SIZES;
BENCHMARK(BM_quon_map_remove)->MAP_SIZES;
BENCHMARK(BM_std_map_remove)->MAP_SIZES;

}  // namespace
