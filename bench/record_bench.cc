// Record decoding from cached pages: the inner loop of every table scan. A table of 100,000
// rows (an id, a short name, a decimal price, a nullable note, a category code and a
// 40-byte description held in the blob store) is appended to row pages in a memory-backed
// page cache; each iteration walks every page through PageCache::with_page, reads each
// record's envelope and decodes it into one reused row. Reported: records per second.
// (The comparison of whole scans with SQLite is in vs_sqlite.)
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "core/bytes.h"
#include "storage/cas_store.h"
#include "storage/page_cache.h"
#include "storage/record.h"
#include "storage/row_page.h"

namespace {

using namespace qm;
using namespace qm::storage;

constexpr int kRows = 100000;

Row make_row(int i) {
  return Row{Value::integer(i),
             Value::text("name-" + std::to_string(i % 977)),
             Value::decimal(static_cast<i128>(i) * 1250000),
             i % 5 == 0 ? Value::null() : Value::text("ok"),
             Value::integer(i % 13),
             Value::text("description of product family " + std::to_string(i % 50) + " ....")};
}

struct Table {
  CasStore cas = CasStore::new_memory();
  PageCache cache{Backend(MemoryStore()), PageCache::kDefaultCapacity};
  std::vector<uint64_t> pages;
};

Table& table() {
  static Table* t = [] {
    auto* t = new Table;
    std::optional<RowPage> page;
    std::string rec;
    auto finish = [&] {
      if (!page) return;
      (void)t->cache.write(page->page_id(), page->span());
      t->pages.push_back(page->page_id());
    };
    for (int i = 0; i < kRows; ++i) {
      rec.assign(kEnvelopeSize, '\0');
      RecordEnvelope{static_cast<uint64_t>(i + 1), 0, 0}.store(reinterpret_cast<uint8_t*>(rec.data()));
      (void)record::encode_row_into(make_row(i), t->cas, rec);
      if (!page || !page->insert(as_bytes(rec))) {
        finish();
        page.emplace(*t->cache.alloc_page());
        (void)page->insert(as_bytes(rec));
      }
    }
    finish();
    (void)t->cache.flush();
    return t;
  }();
  return *t;
}

void BM_DecodeRecordsFromCachedPages(benchmark::State& state) {
  Table& t = table();
  Row row;
  uint64_t records = 0;
  int64_t checksum = 0;
  for (auto _ : state) {
    for (uint64_t id : t.pages) {
      auto r = t.cache.with_page(id, [&](ConstPageSpan bytes) -> Result<void> {
        QM_ASSIGN(RowPageRef view, RowPageRef::over(bytes));
        for (uint16_t s = 0, n = view.slot_count(); s < n; ++s) {
          QM_ASSIGN(auto rec, view.record(s));
          QM_ASSIGN(RecordEnvelope env, record::decode_record_into(rec, t.cas, row));
          if (env.visible(UINT64_MAX - 1)) checksum += row[0].as_int();
          ++records;
        }
        return {};
      });
      if (!r) state.SkipWithError(r.error().message().c_str());
    }
  }
  benchmark::DoNotOptimize(checksum);
  state.SetItemsProcessed(static_cast<int64_t>(records));
  state.SetLabel(std::to_string(t.pages.size()) + " pages, 6 columns");
}
BENCHMARK(BM_DecodeRecordsFromCachedPages)->Unit(benchmark::kMillisecond);

void BM_EnvelopeOnlyScan(benchmark::State& state) {
  Table& t = table();
  uint64_t records = 0, live = 0;
  for (auto _ : state) {
    for (uint64_t id : t.pages) {
      (void)t.cache.with_page(id, [&](ConstPageSpan bytes) -> Result<void> {
        QM_ASSIGN(RowPageRef view, RowPageRef::over(bytes));
        for (uint16_t s = 0, n = view.slot_count(); s < n; ++s) {
          QM_ASSIGN(auto rec, view.record(s));
          QM_ASSIGN(RecordEnvelope env, record::read_envelope(rec));
          live += env.deleted_tx == 0;
          ++records;
        }
        return {};
      });
    }
  }
  benchmark::DoNotOptimize(live);
  state.SetItemsProcessed(static_cast<int64_t>(records));
}
BENCHMARK(BM_EnvelopeOnlyScan)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
