// Opening a development workspace whose one table holds about 100 MB of rows. The open reads
// the manifest and the table's tail page; nothing else of the chain. Target: well under a
// second, and independent of the table's size (compare the 1 MB case).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/write_path.h"
#include "db/ddl.h"

namespace {

// Builds (once per size) a workspace whose table "t" has about `megabytes` MB of pages.
std::string workspace_of(int megabytes) {
  const char* base = std::getenv("TMPDIR");
  const std::string dir = std::string(base && *base ? base : "/tmp") + "/qm_open_bench_" + std::to_string(megabytes);
  std::filesystem::remove_all(dir);
  auto db = qm::db::Database::open_workspace(dir);
  if (!db) std::abort();
  db->set_autoflush(false);
  if (!create_table(*db, "t", {"id", "name", "score"}, {}, {})) std::abort();
  const uint64_t pages = static_cast<uint64_t>(megabytes) * 256;
  std::vector<qm::Value> row(3);
  for (int64_t i = 0; db->store().cache.backend().page_count() < pages; ++i) {
    row[0] = qm::Value::integer(i);
    row[1] = qm::Value::text("name-" + std::to_string(i % 1000));
    row[2] = qm::Value::decimal(i * 1000);
    if (!insert_validated_base(*db, "t", row)) std::abort();
    if (i % 100000 == 0 && !db->flush()) std::abort();  // keep the page cache from filling with dirty pages
  }
  if (!db->flush()) std::abort();
  return dir;
}

void BM_OpenWorkspace(benchmark::State& state) {
  const std::string dir = workspace_of(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    auto db = qm::db::Database::open_workspace(dir);
    if (!db) state.SkipWithError(db.error().message().c_str());
    benchmark::DoNotOptimize(db);
  }
  state.SetLabel(std::to_string(state.range(0)) + " MB table");
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_OpenWorkspace)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
