// One-row statements on a workspace without a commit log, as the table grows: INSERT,
// UPDATE and DELETE of one row by an indexed key outside a transaction, and BEGIN, one-row
// UPDATE, COMMIT, each the mean of `reps` runs. Beside them: SQLite on a file with
// synchronous=OFF (like these statements, it forces nothing to stable storage), and
// `cp -r --reflink=auto` of the workspace (what a transaction's backup copy amounts to).
//
// Usage: unlogged_bench [max_rows] [reps]   (default 1000000 rows, 20 runs)
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quilmarr.h"

namespace {

using bench::Clock;
using bench::die;
using bench::qm;
using bench::sq;





std::string rows_sql(int64_t from, int64_t to) {
  std::string sql = "INSERT INTO t VALUES ";
  for (int64_t i = from; i < to; ++i) sql += (i > from ? ",(" : "(") + std::to_string(i) + ", 'value " + std::to_string(i % 1000) + "')";
  return sql;
}

// Microseconds per run of `step(i)`, i = 0 .. reps - 1.
template <class F>
double micros(int reps, F&& step) {
  const auto start = Clock::now();
  for (int i = 0; i < reps; ++i) step(i);
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / reps;
}

struct Row {
  int64_t rows;
  double insert, update, del, tx, sq_insert, sq_update, sq_delete, copy;
};

Row measure(const std::string& dir, int64_t rows, int reps) {
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string ws = dir + "/ws";
  QmDb* db = qm_open_dev(ws.c_str());
  if (!db) die(qm_last_error());
  sqlite3* s = nullptr;
  if (sqlite3_open((dir + "/sqlite.db").c_str(), &s) != SQLITE_OK) die("sqlite3_open");
  sq(s, "PRAGMA synchronous=OFF");
  qm(db, "CREATE TABLE t (id, v)");
  qm(db, "CREATE INDEX ON t (id)");
  sq(s, "CREATE TABLE t (id INTEGER, v TEXT)");
  sq(s, "CREATE INDEX t_id ON t (id)");
  const int64_t batch = 1000;
  qm(db, "BEGIN");
  sq(s, "BEGIN");
  for (int64_t i = 0; i < rows; i += batch) {
    const std::string sql = rows_sql(i, std::min(rows, i + batch));
    qm(db, sql);
    sq(s, sql);
  }
  qm(db, "COMMIT");
  sq(s, "COMMIT");
  ::sync();  // the load's writes reach the disk before anything is timed

  Row r{rows, 0, 0, 0, 0, 0, 0, 0, 0};
  const auto key = [&](int i) { return std::to_string((static_cast<int64_t>(i) * 7919) % rows); };
  r.insert = micros(reps, [&](int i) { qm(db, "INSERT INTO t VALUES (" + std::to_string(rows + i) + ", 'new')"); });
  r.update = micros(reps, [&](int i) { qm(db, "UPDATE t SET v = 'u' WHERE id = " + key(i)); });
  r.del = micros(reps, [&](int i) { qm(db, "DELETE FROM t WHERE id = " + key(i + reps)); });
  r.tx = micros(reps, [&](int i) {
    qm(db, "BEGIN");
    qm(db, "UPDATE t SET v = 'w' WHERE id = " + key(i + 2 * reps));
    qm(db, "COMMIT");
  });
  r.sq_insert = micros(reps, [&](int i) { sq(s, "INSERT INTO t VALUES (" + std::to_string(rows + i) + ", 'new')"); });
  r.sq_update = micros(reps, [&](int i) { sq(s, "UPDATE t SET v = 'u' WHERE id = " + key(i)); });
  r.sq_delete = micros(reps, [&](int i) { sq(s, "DELETE FROM t WHERE id = " + key(i + reps)); });
  const std::string copy = "cp -r --reflink=auto " + ws + " " + dir + "/copy";
  r.copy = micros(1, [&](int) {
    if (std::system(copy.c_str()) != 0) die(copy);
  });
  qm_close(db);
  sqlite3_close(s);
  std::filesystem::remove_all(dir);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t max_rows = argc > 1 ? std::atoll(argv[1]) : 1000000;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 20;
  const std::string dir = std::filesystem::temp_directory_path() / ("qm_unlogged_bench_" + std::to_string(getpid()));
  std::vector<Row> out;
  for (int64_t rows : {10000, 40000, 160000, 1000000})
    if (rows <= max_rows) out.push_back(measure(dir, rows, reps));
  std::printf("| rows | INSERT | UPDATE | DELETE | BEGIN+UPDATE+COMMIT | cp -r --reflink=auto | SQLite INSERT | SQLite UPDATE | SQLite DELETE |\n");
  std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const Row& r : out)
    std::printf("| %lld | %.0f us | %.0f us | %.0f us | %.0f us | %.0f us | %.1f us | %.1f us | %.1f us |\n",
                static_cast<long long>(r.rows), r.insert, r.update, r.del, r.tx, r.copy, r.sq_insert, r.sq_update,
                r.sq_delete);
  if (out.size() > 1) {
    const Row& a = out.front();
    const Row& b = out.back();
    std::printf("largest / smallest: INSERT %.2f, DELETE %.2f, UPDATE %.2f\n", b.insert / a.insert, b.del / a.del,
                b.update / a.update);
  }
  return 0;
}
