// The cost of one small change as the database grows: a memory database with one indexed
// table of N rows, the time of one INSERT, one UPDATE and one DELETE by indexed key, and of
// BEGIN + one-row UPDATE + COMMIT, each averaged over many repetitions, for N from 10,000 to
// 1,000,000. A cost that follows the change, not the database, keeps each column flat; the
// last column gives the largest time over the smallest per row. Uses only the C interface.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "quilmarr.h"

namespace {

void check(char* json, const char* what) {
  if (!json) {
    const char* err = qm_last_error();
    std::fprintf(stderr, "%s failed: %s\n", what, err ? err : "(no error)");
    std::exit(1);
  }
  qm_string_free(json);
}

void run(QmDb* db, const std::string& sql) { check(qm_query(db, sql.c_str()), sql.c_str()); }

QmDb* filled(long rows) {
  QmDb* db = qm_open_memory();
  run(db, "CREATE TABLE t (k, v)");
  run(db, "CREATE INDEX ON t (k)");
  std::string sql;
  for (long at = 0; at < rows;) {
    sql = "INSERT INTO t (k, v) VALUES ";
    for (long i = 0; i < 1000 && at < rows; ++i, ++at) {
      if (i) sql += ", ";
      const std::string n = std::to_string(at);
      sql.append("(").append(n).append(", 'value ").append(n).append("')");
    }
    run(db, sql);
  }
  return db;
}

// Each workload first runs untimed, so the timed runs see a warm cache (a table read from
// storage also walks its chain once, on its first change by row id, to learn its pages).
template <class F>
double micros_per(int reps, F&& step) {
  for (int i = 0; i < 50; ++i) step(reps + i);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < reps; ++i) step(i);
  const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
  return spent.count() / reps;
}

}  // namespace

int main() {
  const long sizes[] = {10000, 40000, 160000, 1000000};
  const int reps = 2000;
  const char* names[] = {"INSERT one row", "UPDATE one row by key", "DELETE one row by key",
                         "BEGIN, UPDATE one row, COMMIT"};
  std::vector<std::vector<double>> times(4);
  for (long n : sizes) {
    std::fprintf(stderr, "filling %ld rows\n", n);
    QmDb* db = filled(n);
    times[0].push_back(micros_per(reps, [&](int i) {
      run(db, "INSERT INTO t (k, v) VALUES (" + std::to_string(n + i) + ", 'new')");
    }));
    times[1].push_back(micros_per(reps, [&](int i) {
      run(db, "UPDATE t SET v = 'changed' WHERE k = " + std::to_string((i * 7919L) % n));
    }));
    times[2].push_back(micros_per(reps, [&](int i) {
      run(db, "DELETE FROM t WHERE k = " + std::to_string((i * 104729L) % n));
    }));
    times[3].push_back(micros_per(reps, [&](int i) {
      if (!qm_begin_transaction(db)) std::exit(1);
      run(db, "UPDATE t SET v = 'in a transaction' WHERE k = " + std::to_string((i * 15485863L) % n));
      if (!qm_commit_transaction(db)) std::exit(1);
    }));
    qm_close(db);
  }
  std::printf("| memory, one indexed table (µs per statement) | 10,000 rows | 40,000 rows | 160,000 rows | "
              "1,000,000 rows | largest / smallest |\n|---|---:|---:|---:|---:|---:|\n");
  for (size_t w = 0; w < times.size(); ++w) {
    const auto [lo, hi] = std::minmax_element(times[w].begin(), times[w].end());
    std::printf("| %s |", names[w]);
    for (double t : times[w]) std::printf(" %.1f |", t);
    std::printf(" %.2f |\n", *hi / *lo);
  }
  return 0;
}
