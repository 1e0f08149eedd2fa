// The commit log below the database. Measured on the real file system in $TMPDIR:
// - a durable logged commit of a transaction that rewrites one existing page (begin,
//   the page's undo file, chunk sync, manifest, change record, commit rename), next to
//   SQLite committing one single-row INSERT in WAL mode with synchronous=FULL, the peer
//   for a durable commit; run under `strace -f -c -e trace=fsync,fdatasync` to count the
//   flushes per commit;
// - the change feed over 1,000 retained commits of four pages each: records per second and
//   bytes per second read, checked and decoded, and the same batch written as feed JSON.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>

#include "journal/feed.h"
#include "journal/journal_fixture.h"

namespace {

using namespace qm;
using namespace qm::journal;
namespace sfs = std::filesystem;

std::string fresh_dir(const std::string& name) {
  std::string dir = fs::join(fs::temp_dir(), "qm_journal_bench_" + name);
  sfs::remove_all(dir);
  return dir;
}

void BM_LoggedCommitOnePage(benchmark::State& state) {
  const std::string root = fresh_dir("commit");
  journal::test::Workspace ws(root, 64);
  char fill = 'A';
  uint64_t commits = 0;
  for (auto _ : state) {
    if (!ws.commit({{static_cast<uint64_t>(commits % 64), fill}})) state.SkipWithError("commit failed");
    fill = fill == 'Z' ? 'A' : static_cast<char>(fill + 1);
    if (++commits % 1000 == 0) {
      state.PauseTiming();
      (void)prune(root, commits);
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  sfs::remove_all(root);
}
BENCHMARK(BM_LoggedCommitOnePage)->Unit(benchmark::kMicrosecond);

void BM_SqliteWalFullCommitOneRow(benchmark::State& state) {
  const std::string dir = fresh_dir("sqlite");
  sfs::create_directories(dir);
  sqlite3* db = nullptr;
  sqlite3_open((dir + "/bench.db").c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT)",
               nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t(v) VALUES ('a row of text')", -1, &insert, nullptr);
  for (auto _ : state) {
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite3_close(db);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  sfs::remove_all(dir);
}
BENCHMARK(BM_SqliteWalFullCommitOneRow)->Unit(benchmark::kMicrosecond);

// 1,000 retained commits of four pages each, built once.
const std::string& feed_workspace() {
  static const std::string root = [] {
    std::string r = fresh_dir("feed");
    journal::test::Workspace ws(r, 16);
    for (int i = 0; i < 1000; ++i) {
      char c = static_cast<char>('a' + i % 26);
      (void)ws.commit({{static_cast<uint64_t>(i % 16), c}, {static_cast<uint64_t>((i + 1) % 16), c},
                       {static_cast<uint64_t>((i + 2) % 16), c}, {static_cast<uint64_t>((i + 3) % 16), c}},
                      {CommitLogOptions{1 << 20, 1ull << 30, 4096}});
    }
    return r;
  }();
  return root;
}

void BM_FeedRead(benchmark::State& state) {
  const std::string& root = feed_workspace();
  uint64_t bytes = 0, records = 0;
  for (auto _ : state) {
    for (uint64_t after = 0; after < 1000; after += 250) {
      auto batch = changes(root, after, 250);
      if (!batch) {
        state.SkipWithError(batch.error().message().c_str());
        return;
      }
      for (const auto& c : *batch) bytes += encoded_change_size(c);
      records += batch->size();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(records));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_FeedRead)->Unit(benchmark::kMillisecond);

void BM_FeedJson(benchmark::State& state) {
  auto batch = *changes(feed_workspace(), 0, 250);
  uint64_t bytes = 0;
  for (auto _ : state) {
    std::string json = changes_json(batch);
    bytes += json.size();
    benchmark::DoNotOptimize(json);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch.size()));
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_FeedJson)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
