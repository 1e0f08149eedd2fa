// Secondary index: heap bytes per entry and insert / lookup rates for 1,000,000 integer keys
// with one row id each, inserted in key order (a bulk load) and in a shuffled order (rows
// arriving unsorted). Heap bytes come from the allocator's own count (glibc mallinfo2), so
// they include every node, key and id list the index holds.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "storage/secondary_index.h"

namespace {

using namespace qm;
using namespace qm::storage;

constexpr int64_t kKeys = 1000000;

std::vector<int64_t> keys(bool shuffled) {
  std::vector<int64_t> k(kKeys);
  std::iota(k.begin(), k.end(), 0);
  if (shuffled) std::shuffle(k.begin(), k.end(), std::mt19937_64(7));
  return k;
}

size_t heap_in_use() { return mallinfo2().uordblks; }

void BM_IndexInsert(benchmark::State& state) {
  const auto order = keys(state.range(0) != 0);
  double bytes_per_entry = 0;
  for (auto _ : state) {
    const size_t before = heap_in_use();
    auto* idx = new SecondaryIndex;
    for (int64_t k : order) idx->insert(Value::integer(k), static_cast<uint64_t>(k) << 16);
    bytes_per_entry = static_cast<double>(heap_in_use() - before) / kKeys;
    state.PauseTiming();
    delete idx;
    state.ResumeTiming();
  }
  state.counters["bytes_per_entry"] = bytes_per_entry;
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kKeys);
}
BENCHMARK(BM_IndexInsert)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_IndexLookup(benchmark::State& state) {
  SecondaryIndex idx;
  for (int64_t k : keys(false)) idx.insert(Value::integer(k), static_cast<uint64_t>(k) << 16);
  const auto probes = keys(true);
  size_t i = 0;
  for (auto _ : state) {
    auto ids = idx.lookup(Value::integer(probes[i++ % probes.size()]));
    benchmark::DoNotOptimize(ids);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_IndexLookup);

void BM_IndexRange100(benchmark::State& state) {
  SecondaryIndex idx;
  for (int64_t k : keys(false)) idx.insert(Value::integer(k), static_cast<uint64_t>(k) << 16);
  std::vector<uint64_t> out;
  int64_t lo = 0;
  for (auto _ : state) {
    out.clear();
    idx.append_range(KeyRange{Bound::included(Value::integer(lo)), Bound::excluded(Value::integer(lo + 100))}, out);
    benchmark::DoNotOptimize(out.data());
    lo = (lo + 7919) % (kKeys - 100);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 100);
}
BENCHMARK(BM_IndexRange100);

}  // namespace

BENCHMARK_MAIN();
