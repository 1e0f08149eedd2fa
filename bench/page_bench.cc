// Page checksums: the cost of verifying a page as it enters the page cache (every page a
// scan reads from a backend) and of stamping one as it leaves. 256 stamped pages of varied
// bytes are verified (or stamped) in turn; reported: bytes of page per second.
#include <benchmark/benchmark.h>

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

}  // namespace

BENCHMARK_MAIN();
