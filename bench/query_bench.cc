// The query road against SQLite doing the same work on an in-memory database:
//   - a full scan of 1,000,000 rows with a WHERE that matches nothing (rows read per second);
//   - a bulk INSERT of 1,000,000 small rows in one write batch (rows stored per second):
//     qm_execute_many with one JSON text of parameter sets, against SQLite's prepared
//     INSERT stepped once per row inside one transaction.
// Both sides use their C interfaces; the JSON text and SQLite's rows are built outside the
// timed region.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quilmarr.h"

namespace {

constexpr int kRows = 1000000;

// Row i: (i, a short text, i mod 97).
std::string param_sets(int rows) {
  std::string json = "[";
  json.reserve(static_cast<size_t>(rows) * 24);
  char buf[96];
  for (int i = 0; i < rows; ++i) {
    std::snprintf(buf, sizeof buf, "%s[%d,\"name%d\",%d]", i ? "," : "", i, i % 1000, i % 97);
    json += buf;
  }
  json += "]";
  return json;
}

void check(char* json, const char* what) {
  if (!json) {
    std::fprintf(stderr, "%s failed: %s\n", what, qm_last_error());
    std::abort();
  }
  qm_string_free(json);
}

QmDb* loaded_quilmarr(const std::string& sets) {
  QmDb* db = qm_open_memory();
  check(qm_query(db, "CREATE TABLE t (id, name, grp)"), "create");
  check(qm_execute_many(db, "INSERT INTO t VALUES (?, ?, ?)", sets.c_str()), "load");
  return db;
}

void sqlite_ok(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s failed: %s\n", what, sqlite3_errmsg(db));
    std::abort();
  }
}

sqlite3* sqlite_table() {
  sqlite3* db = nullptr;
  sqlite_ok(sqlite3_open(":memory:", &db), db, "open");
  sqlite_ok(sqlite3_exec(db, "CREATE TABLE t (id, name, grp)", nullptr, nullptr, nullptr), db, "create");
  return db;
}

void sqlite_load(sqlite3* db, int rows) {
  sqlite_ok(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  sqlite3_stmt* insert = nullptr;
  sqlite_ok(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?)", -1, &insert, nullptr), db, "prepare");
  char name[32];
  for (int i = 0; i < rows; ++i) {
    const int n = std::snprintf(name, sizeof name, "name%d", i % 1000);
    sqlite3_bind_int64(insert, 1, i);
    sqlite3_bind_text(insert, 2, name, n, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 3, i % 97);
    sqlite_ok(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite_ok(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
}

const std::string& shared_sets() {
  static const std::string sets = param_sets(kRows);
  return sets;
}

void BM_QuilMarr_ScanNoMatch(benchmark::State& state) {
  QmDb* db = loaded_quilmarr(shared_sets());
  for (auto _ : state) {
    char* json = qm_query(db, "SELECT * FROM t WHERE grp = 1000");
    benchmark::DoNotOptimize(json);
    check(json, "scan");
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  qm_close(db);
}

void BM_SQLite_ScanNoMatch(benchmark::State& state) {
  sqlite3* db = sqlite_table();
  sqlite_load(db, kRows);
  sqlite3_stmt* select = nullptr;
  sqlite_ok(sqlite3_prepare_v2(db, "SELECT * FROM t WHERE grp = 1000", -1, &select, nullptr), db, "prepare");
  for (auto _ : state) {
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) benchmark::DoNotOptimize(rc);
    sqlite_ok(rc, db, "scan");
    sqlite3_reset(select);
  }
  state.SetItemsProcessed(state.iterations() * kRows);
  sqlite3_finalize(select);
  sqlite3_close(db);
}

void BM_QuilMarr_BulkInsert(benchmark::State& state) {
  const std::string& sets = shared_sets();
  for (auto _ : state) {
    state.PauseTiming();
    QmDb* db = qm_open_memory();
    check(qm_query(db, "CREATE TABLE t (id, name, grp)"), "create");
    state.ResumeTiming();
    check(qm_execute_many(db, "INSERT INTO t VALUES (?, ?, ?)", sets.c_str()), "insert");
    state.PauseTiming();
    qm_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

// The same load into a table whose id is UNIQUE: every row is checked against the stored
// rows through the column's index, so the cost per row must stay flat as the table grows.
void BM_QuilMarr_BulkInsertUnique(benchmark::State& state) {
  const std::string& sets = shared_sets();
  for (auto _ : state) {
    state.PauseTiming();
    QmDb* db = qm_open_memory();
    check(qm_query(db, "CREATE TABLE t (id UNIQUE, name, grp)"), "create");
    state.ResumeTiming();
    check(qm_execute_many(db, "INSERT INTO t VALUES (?, ?, ?)", sets.c_str()), "insert");
    state.PauseTiming();
    qm_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

void BM_SQLite_BulkInsert(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    sqlite3* db = sqlite_table();
    state.ResumeTiming();
    sqlite_load(db, kRows);
    state.PauseTiming();
    sqlite3_close(db);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kRows);
}

}  // namespace

BENCHMARK(BM_QuilMarr_ScanNoMatch)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SQLite_ScanNoMatch)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_QuilMarr_BulkInsert)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_QuilMarr_BulkInsertUnique)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SQLite_BulkInsert)->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
