// Grouping and joining against SQLite on the same in-memory data, both through their C
// interfaces, loading outside the timed region:
//   - GROUP BY over 1,000,000 rows into 97 groups with COUNT, SUM, MIN and MAX (rows
//     folded per second); here it is the streaming aggregation over the table chain;
//   - an equality join of 100,000 x 100,000 rows on a key indexed on the right side,
//     counted (so result rendering does not dominate): every left key finds one right
//     row. Here the adaptive join reads the right table once into an ordered map, since
//     probing 100,000 distinct keys would cost more than the 100,000 right rows;
//   - the same join restricted to 1,000 left rows, where the join probes the index once
//     per distinct left key instead.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "quilmarr.h"

namespace {

constexpr int kGroupRows = 1000000;
constexpr int kJoinRows = 100000;

void check(char* json, const char* what) {
  if (!json) {
    std::fprintf(stderr, "%s failed: %s\n", what, qm_last_error());
    std::abort();
  }
  qm_string_free(json);
}

void sqlite_ok(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s failed: %s\n", what, sqlite3_errmsg(db));
    std::abort();
  }
}

// Row i of the grouped table: (i, a short text, i mod 97).
std::string group_sets() {
  std::string json = "[";
  json.reserve(static_cast<size_t>(kGroupRows) * 24);
  char buf[96];
  for (int i = 0; i < kGroupRows; ++i) {
    std::snprintf(buf, sizeof buf, "%s[%d,\"name%d\",%d]", i ? "," : "", i, i % 1000, i % 97);
    json += buf;
  }
  return json + "]";
}

// Row i of a join side: (i, key); the key is a permutation of 0..n-1 so that each left key
// matches exactly one right row and neither side is stored in key order.
std::string join_sets(int multiplier) {
  std::string json = "[";
  char buf[64];
  for (int i = 0; i < kJoinRows; ++i) {
    const long long key = (static_cast<long long>(i) * multiplier) % kJoinRows;
    std::snprintf(buf, sizeof buf, "%s[%d,%lld]", i ? "," : "", i, key);
    json += buf;
  }
  return json + "]";
}

const char* const kGroupSql = "SELECT grp, COUNT(*), SUM(id), MIN(name), MAX(id) FROM t GROUP BY grp";
const char* const kJoinSql = "SELECT COUNT(*) FROM l JOIN r ON l.k = r.k";
const char* const kSelectiveJoinSql = "SELECT COUNT(*) FROM l JOIN r ON l.k = r.k WHERE l.id < 1000";

QmDb* quilmarr_group_table() {
  QmDb* db = qm_open_memory();
  check(qm_query(db, "CREATE TABLE t (id, name, grp)"), "create");
  check(qm_execute_many(db, "INSERT INTO t VALUES (?, ?, ?)", group_sets().c_str()), "load");
  return db;
}

QmDb* quilmarr_join_tables() {
  QmDb* db = qm_open_memory();
  check(qm_query(db, "CREATE TABLE l (id, k)"), "create l");
  check(qm_query(db, "CREATE TABLE r (id, k)"), "create r");
  check(qm_execute_many(db, "INSERT INTO l VALUES (?, ?)", join_sets(7919).c_str()), "load l");
  check(qm_execute_many(db, "INSERT INTO r VALUES (?, ?)", join_sets(104729).c_str()), "load r");
  check(qm_query(db, "CREATE INDEX ON r (k)"), "index");
  return db;
}

sqlite3* sqlite_group_table() {
  sqlite3* db = nullptr;
  sqlite_ok(sqlite3_open(":memory:", &db), db, "open");
  sqlite_ok(sqlite3_exec(db, "CREATE TABLE t (id, name, grp); BEGIN", nullptr, nullptr, nullptr), db, "create");
  sqlite3_stmt* insert = nullptr;
  sqlite_ok(sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?)", -1, &insert, nullptr), db, "prepare");
  char name[32];
  for (int i = 0; i < kGroupRows; ++i) {
    const int n = std::snprintf(name, sizeof name, "name%d", i % 1000);
    sqlite3_bind_int64(insert, 1, i);
    sqlite3_bind_text(insert, 2, name, n, SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 3, i % 97);
    sqlite_ok(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  sqlite_ok(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  return db;
}

void sqlite_fill(sqlite3* db, const char* table, int multiplier) {
  const std::string sql = std::string("INSERT INTO ") + table + " VALUES (?, ?)";
  sqlite3_stmt* insert = nullptr;
  sqlite_ok(sqlite3_prepare_v2(db, sql.c_str(), -1, &insert, nullptr), db, "prepare");
  for (int i = 0; i < kJoinRows; ++i) {
    sqlite3_bind_int64(insert, 1, i);
    sqlite3_bind_int64(insert, 2, (static_cast<long long>(i) * multiplier) % kJoinRows);
    sqlite_ok(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
}

sqlite3* sqlite_join_tables() {
  sqlite3* db = nullptr;
  sqlite_ok(sqlite3_open(":memory:", &db), db, "open");
  sqlite_ok(sqlite3_exec(db, "CREATE TABLE l (id, k); CREATE TABLE r (id, k); BEGIN", nullptr, nullptr, nullptr), db,
            "create");
  sqlite_fill(db, "l", 7919);
  sqlite_fill(db, "r", 104729);
  sqlite_ok(sqlite3_exec(db, "COMMIT; CREATE INDEX r_k ON r (k)", nullptr, nullptr, nullptr), db, "index");
  return db;
}

void run_quilmarr(benchmark::State& state, QmDb* db, const char* sql, int items) {
  for (auto _ : state) {
    char* json = qm_query(db, sql);
    benchmark::DoNotOptimize(json);
    check(json, sql);
  }
  state.SetItemsProcessed(state.iterations() * items);
  qm_close(db);
}

void run_sqlite(benchmark::State& state, sqlite3* db, const char* sql, int items) {
  sqlite3_stmt* select = nullptr;
  sqlite_ok(sqlite3_prepare_v2(db, sql, -1, &select, nullptr), db, "prepare");
  for (auto _ : state) {
    int rc;
    while ((rc = sqlite3_step(select)) == SQLITE_ROW) benchmark::DoNotOptimize(rc);
    sqlite_ok(rc, db, sql);
    sqlite3_reset(select);
  }
  state.SetItemsProcessed(state.iterations() * items);
  sqlite3_finalize(select);
  sqlite3_close(db);
}

void BM_QuilMarr_GroupBy1M(benchmark::State& s) { run_quilmarr(s, quilmarr_group_table(), kGroupSql, kGroupRows); }
void BM_SQLite_GroupBy1M(benchmark::State& s) { run_sqlite(s, sqlite_group_table(), kGroupSql, kGroupRows); }
void BM_QuilMarr_IndexedJoin100k(benchmark::State& s) { run_quilmarr(s, quilmarr_join_tables(), kJoinSql, kJoinRows); }
void BM_SQLite_IndexedJoin100k(benchmark::State& s) { run_sqlite(s, sqlite_join_tables(), kJoinSql, kJoinRows); }
void BM_QuilMarr_IndexedJoinSelective(benchmark::State& s) {
  run_quilmarr(s, quilmarr_join_tables(), kSelectiveJoinSql, 1000);
}
void BM_SQLite_IndexedJoinSelective(benchmark::State& s) {
  run_sqlite(s, sqlite_join_tables(), kSelectiveJoinSql, 1000);
}

}  // namespace

BENCHMARK(BM_QuilMarr_GroupBy1M)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SQLite_GroupBy1M)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_QuilMarr_IndexedJoin100k)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SQLite_IndexedJoin100k)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_QuilMarr_IndexedJoinSelective)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_SQLite_IndexedJoinSelective)->Unit(benchmark::kMillisecond)->MinTime(1.0);

BENCHMARK_MAIN();
