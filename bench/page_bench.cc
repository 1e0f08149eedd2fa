// Page checksums: the cost of verifying a page as it enters the page cache (every page a
// scan reads from a backend), of a run of pages read ahead, and of stamping one as it leaves. 256 stamped pages of varied
// bytes are verified (or stamped) in turn; reported: bytes of page per second.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

#include "storage/page.h"

namespace {

using namespace qm::storage;

std::vector<Page>& pages() {
  static std::vector<Page>* p = [] {
    auto* v = new std::vector<Page>(256);
    uint32_t x = 12345;
    for (Page& page : *v) {
      for (auto& b : page) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
      }
      stamp_page_checksum(page);
    }
    return v;
  }();
  return *p;
}

void BM_VerifyPage(benchmark::State& state) {
  auto& ps = pages();
  size_t i = 0;
  for (auto _ : state) {
    auto r = verify_page_checksum(i, ps[i % ps.size()]);
    benchmark::DoNotOptimize(r);
    ++i;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPageSize));
}
BENCHMARK(BM_VerifyPage);

void BM_StampPage(benchmark::State& state) {
  auto& ps = pages();
  size_t i = 0;
  for (auto _ : state) {
    stamp_page_checksum(ps[i % ps.size()]);
    benchmark::ClobberMemory();
    ++i;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kPageSize));
}
BENCHMARK(BM_StampPage);

// A workspace read run: 32 consecutive pages checksummed side by side, as the scan verifies
// the pages it reads ahead.
void BM_ChecksumRunOf32(benchmark::State& state) {
  auto& ps = pages();
  std::vector<uint8_t> run(32 * kPageSize);
  for (size_t i = 0; i < 32; ++i) std::copy(ps[i].begin(), ps[i].end(), run.begin() + i * kPageSize);
  uint32_t sums[32];
  for (auto _ : state) {
    page_checksums(run, sums);
    benchmark::DoNotOptimize(sums);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 32 * static_cast<int64_t>(kPageSize));
}
BENCHMARK(BM_ChecksumRunOf32);

}  // namespace

BENCHMARK_MAIN();
