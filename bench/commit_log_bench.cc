// Durable writes on a logged workspace through the C interface, next to SQLite in WAL mode
// with synchronous=FULL (the peer for a durable commit), on the real file system in $TMPDIR,
// each figure the least and the median of 5 rounds, both engines in the same round:
// - one indexed table of 10,000 and 300,000 rows; single-row INSERT and single-row UPDATE
//   (by the indexed column), each its own implicit transaction: time per statement, which
//   must not grow with the table;
// - single-row INSERTs with no commit retained and with 2,000 retained: a commit must not
//   cost more for the history the log keeps;
// - a 1,000-row explicit transaction (and, once, a 100,000-row qm_execute_many);
// - the change feed over 1,000 retained commits: commits and megabytes per second.
// `commit_log_bench flushes N [update] [ROWS]` only runs N single-row INSERTs (or UPDATEs) on a
// logged workspace of ROWS rows (1,000 by default), for `strace -f -c` to count the flushes and
// other system calls per commit (the same command with N = 0 gives the setup to subtract), or
// to time the statements alone at one table size.
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

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
constexpr int kRounds = 5;

// Least and median of the rounds.
struct Spread {
  double least, median;
};
Spread spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2]};
}

void row(const char* what, const std::vector<double>& mine, const std::vector<double>& peer) {
  const Spread m = spread(mine), p = spread(peer);
  std::printf("%-34s %8.3f %8.3f   %8.3f %8.3f   %6.2f\n", what, m.least, m.median, p.least, p.median,
              m.median / p.median);
}

// Milliseconds per statement of `n` statements made by `make(i)`.
template <class Run, class Make>
double per_statement(Run run, Make make, int n) {
  auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) run(make(i));
  return seconds_since(t0) * 1000 / n;
}

struct Tables {
  std::vector<double> qm_insert, qm_update, lite_insert, lite_update;
};

// Rounds of single-row INSERTs and UPDATEs on a table of `rows` rows, each its own commit.
Tables single_rows(int64_t rows) {
  Tables t;
  const std::string qdir = fresh_dir("qm"), sdir = fresh_dir("sqlite");
  QmDb* db = logged_table(qdir, rows);
  sqlite3* lite = sqlite_table(sdir, rows);
  std::mt19937_64 rng(7);
  int64_t next = rows;
  auto qrun = [&](const std::string& sql) { q(db, sql); };
  auto srun = [&](const std::string& sql) { s(lite, sql); };
  for (int r = 0; r < kRounds; ++r) {
    // Both engines write the same statements in the same round, one after the other.
    const int64_t base = next;
    auto insert = [&](int i) { return "INSERT INTO t VALUES (" + std::to_string(base + i) + ", 'new row')"; };
    std::vector<int64_t> ids(kStatements);
    for (auto& id : ids) id = static_cast<int64_t>(rng() % static_cast<uint64_t>(rows));
    auto update = [&](int i) { return "UPDATE t SET v = 'updated' WHERE id = " + std::to_string(ids[i]); };
    t.qm_insert.push_back(per_statement(qrun, insert, kStatements));
    t.lite_insert.push_back(per_statement(srun, insert, kStatements));
    t.qm_update.push_back(per_statement(qrun, update, kStatements));
    t.lite_update.push_back(per_statement(srun, update, kStatements));
    next += kStatements;
  }
  qm_close(db);
  sqlite3_close(lite);
  sfs::remove_all(qdir);
  sfs::remove_all(sdir);
  return t;
}

uint64_t head_of(QmDb* db) {
  char* st = qm_commit_log_status(db);
  if (st == nullptr) std::exit(1);
  const char* at = std::strstr(st, "\"head_sequence\":");
  const uint64_t head = at ? std::strtoull(at + 16, nullptr, 10) : 0;
  qm_string_free(st);
  return head;
}

// Single-row INSERTs with no commit retained (everything pruned before each round) and with
// 2,000 retained, on a 10,000-row table; SQLite's figure is the same statement beside it.
void retained_history() {
  const std::string qdir = fresh_dir("qm_history"), sdir = fresh_dir("sqlite_history");
  QmDb* db = logged_table(qdir, 10000);
  sqlite3* lite = sqlite_table(sdir, 10000);
  constexpr int kPerRound = 50;
  int64_t next = 100000;
  auto qrun = [&](const std::string& sql) { q(db, sql); };
  auto srun = [&](const std::string& sql) { s(lite, sql); };
  auto insert = [&](int) { return "INSERT INTO t VALUES (" + std::to_string(next++) + ", 'new row')"; };
  std::vector<double> none, kept, lite_none, lite_kept;
  for (int r = 0; r < kRounds; ++r) {
    if (!qm_prune_changes(db, head_of(db))) std::exit(1);
    none.push_back(per_statement(qrun, insert, kPerRound));
    lite_none.push_back(per_statement(srun, insert, kPerRound));
  }
  if (!qm_prune_changes(db, head_of(db))) std::exit(1);
  for (int i = 0; i < 2000; ++i) q(db, insert(i));
  for (int r = 0; r < kRounds; ++r) {
    kept.push_back(per_statement(qrun, insert, kPerRound));
    lite_kept.push_back(per_statement(srun, insert, kPerRound));
  }
  row("INSERT, 0 commits retained", none, lite_none);
  row("INSERT, 2,000+ commits retained", kept, lite_kept);
  std::printf("%-34s %8.2f (median over median)\n", "growth 2,000 retained / none",
              spread(kept).median / spread(none).median);
  qm_close(db);
  sqlite3_close(lite);
  sfs::remove_all(qdir);
  sfs::remove_all(sdir);
}

void batches() {
  std::vector<double> qm_tx, lite_tx;
  for (int r = 0; r < kRounds; ++r) {
    const std::string qdir = fresh_dir("qm_batch"), sdir = fresh_dir("sqlite_batch");
    QmDb* db = logged_table(qdir, 0);
    sqlite3* lite = sqlite_table(sdir, 0);
    auto t0 = Clock::now();
    q(db, "BEGIN");
    for (int i = 0; i < 1000; ++i) q(db, "INSERT INTO t VALUES (" + std::to_string(i) + ", 'row value')");
    q(db, "COMMIT");
    qm_tx.push_back(seconds_since(t0) * 1000);
    t0 = Clock::now();
    s(lite, "BEGIN");
    for (int i = 0; i < 1000; ++i) s(lite, "INSERT INTO t VALUES (" + std::to_string(i) + ", 'row value')");
    s(lite, "COMMIT");
    lite_tx.push_back(seconds_since(t0) * 1000);
    qm_close(db);
    sqlite3_close(lite);
    sfs::remove_all(qdir);
    sfs::remove_all(sdir);
  }
  row("1,000-row transaction (ms)", qm_tx, lite_tx);

  const std::string qdir = fresh_dir("qm_many"), sdir = fresh_dir("sqlite_many");
  QmDb* db = logged_table(qdir, 0);
  const std::string sets = row_sets(1000, 100000);
  auto t0 = Clock::now();
  many(db, "INSERT INTO t VALUES (?, ?)", sets);
  const double qm_many = seconds_since(t0) * 1000;
  qm_close(db);
  sfs::remove_all(qdir);
  sqlite3* lite = sqlite_table(sdir, 0);
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
  std::printf("%-34s %8.1f ms once; SQLite %8.1f ms; ratio %.2f\n", "100,000-row execute_many", qm_many, lite_many,
              qm_many / lite_many);
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
  if (argc >= 3 && argc <= 5 && std::strcmp(argv[1], "flushes") == 0) {
    const std::string dir = fresh_dir("flushes");
    const int n = std::atoi(argv[2]);
    const bool update = argc >= 4 && std::strcmp(argv[3], "update") == 0;
    const char* rows_arg = argc == 5 ? argv[4] : argc == 4 && !update ? argv[3] : nullptr;
    const int64_t rows = rows_arg ? std::max<int64_t>(1, std::atoll(rows_arg)) : 1000;
    QmDb* db = logged_table(dir, rows);
    auto t0 = Clock::now();
    for (int i = 0; i < n; ++i)
      q(db, update ? "UPDATE t SET v = 'y' WHERE id = " + std::to_string(i * 7919 % rows)
                   : "INSERT INTO t VALUES (" + std::to_string(rows + 5000 + i) + ", 'x')");
    if (n > 0) std::printf("%.3f ms per statement\n", seconds_since(t0) * 1000 / n);
    qm_close(db);
    sfs::remove_all(dir);
    return 0;
  }
  std::printf("%-34s %17s   %17s   %6s\n", "", "QuilMarr", "SQLite", "ratio");
  std::printf("%-34s %8s %8s   %8s %8s   %6s\n", "ms per statement (least, median)", "least", "median", "least",
              "median", "median");
  const Tables small = single_rows(10000);
  row("INSERT, 10,000 rows", small.qm_insert, small.lite_insert);
  row("UPDATE by id, 10,000 rows", small.qm_update, small.lite_update);
  const Tables large = single_rows(300000);
  row("INSERT, 300,000 rows", large.qm_insert, large.lite_insert);
  row("UPDATE by id, 300,000 rows", large.qm_update, large.lite_update);
  std::printf("%-34s INSERT %.2f, UPDATE %.2f (median over median)\n", "growth 300,000 / 10,000 rows",
              spread(large.qm_insert).median / spread(small.qm_insert).median,
              spread(large.qm_update).median / spread(small.qm_update).median);
  retained_history();
  batches();
  feed();
  return 0;
}
