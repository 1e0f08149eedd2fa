// Durable writes on a logged workspace through the C interface, next to SQLite in WAL mode
// with synchronous=FULL (the peer for a durable commit), on the real file system in $TMPDIR:
// - one indexed table of 10,000, 100,000 and 1,000,000 rows; single-row INSERT and
//   single-row UPDATE (by the indexed column), each its own implicit transaction: time per
//   statement, which must not grow with the table;
// - a 1,000-row explicit transaction and a 100,000-row qm_execute_many;
// - the change feed over 1,000 retained commits: commits and megabytes per second.
// `commit_log_bench flushes N` only runs N single-row INSERTs on a logged workspace, for
// `strace -f -c -e trace=fsync,fdatasync` to count the flushes per commit.
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "quilmarr.h"

namespace {

namespace sfs = std::filesystem;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string fresh_dir(const std::string& name) {
  std::string dir = (sfs::temp_directory_path() / ("qm_commit_log_bench_" + name)).string();
  sfs::remove_all(dir);
  return dir;
}

// Runs one statement; a failure ends the program.
void q(QmDb* db, const std::string& sql) {
  char* out = qm_query(db, sql.c_str());
  if (out == nullptr) {
    std::fprintf(stderr, "%s: %s\n", sql.substr(0, 80).c_str(), qm_last_error());
    std::exit(1);
  }
  qm_string_free(out);
}

void many(QmDb* db, const std::string& sql, const std::string& sets) {
  char* out = qm_execute_many(db, sql.c_str(), sets.c_str());
  if (out == nullptr) {
    std::fprintf(stderr, "execute_many: %s\n", qm_last_error());
    std::exit(1);
  }
  qm_string_free(out);
}

std::string row_sets(int64_t from, int64_t count) {
  std::string sets = "[";
  for (int64_t i = from; i < from + count; ++i) {
    if (i != from) sets += ',';
    const std::string n = std::to_string(i);
    sets.append("[").append(n).append(",\"row value ").append(n).append("\"]");
  }
  return sets + "]";
}

void s(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", err ? err : "?");
    std::exit(1);
  }
}

// A logged workspace holding `rows` rows in t(id indexed, v); loaded before the log is on.
QmDb* logged_table(const std::string& dir, int64_t rows) {
  QmDb* db = qm_open_dev(dir.c_str());
  q(db, "CREATE TABLE t (id, v)");
  q(db, "CREATE INDEX ON t (id)");
  for (int64_t done = 0; done < rows; done += 100000)
    many(db, "INSERT INTO t VALUES (?, ?)", row_sets(done, std::min<int64_t>(100000, rows - done)));
  if (!qm_enable_commit_log(db, 0, 0, 0)) std::exit(1);
  q(db, "INSERT INTO t VALUES (-1, 'warm-up')");  // the first commit makes every file read durable
  return db;
}

sqlite3* sqlite_table(const std::string& dir, int64_t rows) {
  sfs::create_directories(dir);
  sqlite3* db = nullptr;
  sqlite3_open((dir + "/bench.db").c_str(), &db);
  s(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; CREATE TABLE t(id INTEGER, v TEXT); "
        "CREATE INDEX t_id ON t(id)");
  s(db, "BEGIN");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?)", -1, &st, nullptr);
  for (int64_t i = 0; i < rows; ++i) {
    std::string v = "row value " + std::to_string(i);
    sqlite3_bind_int64(st, 1, i);
    sqlite3_bind_text(st, 2, v.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  s(db, "COMMIT");
  return db;
}

constexpr int kStatements = 100;

struct PerStatement {
  double insert_ms, update_ms;
};

PerStatement time_qm(int64_t rows) {
  const std::string dir = fresh_dir("qm");
  QmDb* db = logged_table(dir, rows);
  std::mt19937_64 rng(7);
  auto t0 = Clock::now();
  for (int i = 0; i < kStatements; ++i) q(db, "INSERT INTO t VALUES (" + std::to_string(rows + i) + ", 'new row')");
  const double insert = seconds_since(t0) * 1000 / kStatements;
  t0 = Clock::now();
  for (int i = 0; i < kStatements; ++i)
    q(db, "UPDATE t SET v = 'updated' WHERE id = " + std::to_string(rng() % rows));
  const double update = seconds_since(t0) * 1000 / kStatements;
  qm_close(db);
  sfs::remove_all(dir);
  return {insert, update};
}

PerStatement time_sqlite(int64_t rows) {
  const std::string dir = fresh_dir("sqlite");
  sqlite3* db = sqlite_table(dir, rows);
  std::mt19937_64 rng(7);
  auto t0 = Clock::now();
  for (int i = 0; i < kStatements; ++i) s(db, "INSERT INTO t VALUES (" + std::to_string(rows + i) + ", 'new row')");
  const double insert = seconds_since(t0) * 1000 / kStatements;
  t0 = Clock::now();
  for (int i = 0; i < kStatements; ++i)
    s(db, "UPDATE t SET v = 'updated' WHERE id = " + std::to_string(rng() % rows));
  const double update = seconds_since(t0) * 1000 / kStatements;
  sqlite3_close(db);
  sfs::remove_all(dir);
  return {insert, update};
}

void batches() {
  const std::string qdir = fresh_dir("qm_batch");
  QmDb* db = logged_table(qdir, 0);
  auto t0 = Clock::now();
  q(db, "BEGIN");
  for (int i = 0; i < 1000; ++i) q(db, "INSERT INTO t VALUES (" + std::to_string(i) + ", 'row value')");
  q(db, "COMMIT");
  const double qm_tx = seconds_since(t0) * 1000;
  const std::string sets = row_sets(1000, 100000);
  t0 = Clock::now();
  many(db, "INSERT INTO t VALUES (?, ?)", sets);
  const double qm_many = seconds_since(t0) * 1000;
  qm_close(db);
  sfs::remove_all(qdir);

  const std::string sdir = fresh_dir("sqlite_batch");
  sqlite3* lite = sqlite_table(sdir, 0);
  t0 = Clock::now();
  s(lite, "BEGIN");
  for (int i = 0; i < 1000; ++i) s(lite, "INSERT INTO t VALUES (" + std::to_string(i) + ", 'row value')");
  s(lite, "COMMIT");
  const double lite_tx = seconds_since(t0) * 1000;
  t0 = Clock::now();
  s(lite, "BEGIN");
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(lite, "INSERT INTO t VALUES (?, ?)", -1, &st, nullptr);
  for (int64_t i = 1000; i < 101000; ++i) {
    std::string v = "row value " + std::to_string(i);
    sqlite3_bind_int64(st, 1, i);
    sqlite3_bind_text(st, 2, v.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  s(lite, "COMMIT");
  const double lite_many = seconds_since(t0) * 1000;
  sqlite3_close(lite);
  sfs::remove_all(sdir);
  std::printf("1,000-row transaction     %9.1f ms %9.1f ms %7.2f\n", qm_tx, lite_tx, qm_tx / lite_tx);
  std::printf("100,000-row execute_many  %9.1f ms %9.1f ms %7.2f\n", qm_many, lite_many, qm_many / lite_many);
}

void feed() {
  const std::string dir = fresh_dir("feed");
  QmDb* db = logged_table(dir, 1000);
  for (int i = 0; i < 999; ++i) q(db, "UPDATE t SET v = 'feed " + std::to_string(i) + "' WHERE id = " + std::to_string(i));
  uint64_t bytes = 0, commits = 0;
  auto t0 = Clock::now();
  for (int rep = 0; rep < 3; ++rep)
    for (uint64_t after = 0; after < 1000; after += 250) {
      char* out = qm_changes_since(db, after, 250);
      if (out == nullptr) {
        std::fprintf(stderr, "feed: %s\n", qm_last_error());
        std::exit(1);
      }
      bytes += std::strlen(out);
      commits += 250;
      qm_string_free(out);
    }
  const double secs = seconds_since(t0);
  std::printf("feed read (JSON)          %9.0f commits/s %7.1f MB/s of JSON\n", commits / secs, bytes / secs / 1e6);
  qm_close(db);
  sfs::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "flushes") == 0) {
    const std::string dir = fresh_dir("flushes");
    QmDb* db = logged_table(dir, 1000);
    const int n = std::atoi(argv[2]);
    for (int i = 0; i < n; ++i) q(db, "INSERT INTO t VALUES (" + std::to_string(5000 + i) + ", 'x')");
    qm_close(db);
    sfs::remove_all(dir);
    return 0;
  }
  std::printf("%-25s %12s %12s %7s\n", "per statement", "QuilMarr", "SQLite", "ratio");
  PerStatement first{};
  for (int64_t rows : {10000, 100000, 1000000}) {
    const PerStatement mine = time_qm(rows);
    const PerStatement peer = time_sqlite(rows);
    if (rows == 10000) first = mine;
    std::printf("INSERT at %-9lld rows    %9.2f ms %9.2f ms %7.2f\n", static_cast<long long>(rows), mine.insert_ms,
                peer.insert_ms, mine.insert_ms / peer.insert_ms);
    std::printf("UPDATE at %-9lld rows    %9.2f ms %9.2f ms %7.2f\n", static_cast<long long>(rows), mine.update_ms,
                peer.update_ms, mine.update_ms / peer.update_ms);
    if (rows == 1000000)
      std::printf("growth 1M/10k: INSERT %.2f, UPDATE %.2f\n", mine.insert_ms / first.insert_ms,
                  mine.update_ms / first.update_ms);
  }
  batches();
  feed();
  return 0;
}
