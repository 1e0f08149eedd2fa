// Importing an SQL dump written by SQLite, against SQLite reading the same dump, in one
// process. SQLite builds a file database of N rows (default 100,000) over two tables, and
// its command-line shell writes the dump with `.dump`, exactly as a user would produce it.
// Then, `--reps` rounds each (alternating which side goes first, keeping each side's best):
//   - this library: qm_import_sql of the dump text into a new memory database;
//   - SQLite: sqlite3_exec of the same text into a new ":memory:" database (the dump's own
//     BEGIN TRANSACTION / COMMIT make it one transaction there).
// Optionally (--workspace) the import also runs into a new workspace inside one transaction
// opened by the host (qm_begin_transaction, qm_import_sql, qm_commit_transaction).
//
// Usage: dump_import_bench [--rows N] [--reps R] [--workspace]
// Output: a Markdown table of rows/s and MB/s of dump text for both sides and the ratio of
// their times (QuilMarr time / SQLite time: how many times longer this library takes).
#include <sqlite3.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "quilmarr.h"

namespace {

[[noreturn]] void die(const std::string& what, const char* detail) {
  std::fprintf(stderr, "dump_import_bench: %s failed: %s\n", what.c_str(), detail ? detail : "(no detail)");
  std::exit(1);
}

void sqlite_exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) die("sqlite3_exec", err);
}

// A file database of `rows` rows: 90% in a wide table with quotes, NULLs and non-ASCII text,
// the rest in a narrow one; plus an index (which the import skips).
void build_source(const std::string& path, long rows) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite3_open", sqlite3_errmsg(db));
  sqlite_exec(db,
              "CREATE TABLE customers(id INTEGER PRIMARY KEY, name TEXT NOT NULL, email TEXT, city TEXT, "
              "balance REAL, visits INTEGER);\n"
              "CREATE TABLE \"order lines\"(\"order id\" INTEGER, sku TEXT, qty INTEGER, UNIQUE(\"order id\", sku));\n"
              "CREATE INDEX customers_city ON customers(city);\nBEGIN;");
  const char* cities[] = {"Zürich", "Kraków", "São Paulo", "Oslo", "東京"};
  sqlite3_stmt* c = nullptr;
  sqlite3_stmt* o = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO customers VALUES(?,?,?,?,?,?)", -1, &c, nullptr);
  sqlite3_prepare_v2(db, "INSERT INTO \"order lines\" VALUES(?,?,?)", -1, &o, nullptr);
  const long wide = rows - rows / 10;
  for (long i = 0; i < wide; ++i) {
    std::string name = (i % 3 == 0 ? "O'Neil " : "Customer ") + std::to_string(i);
    std::string email = "user" + std::to_string(i) + "@example.com";
    sqlite3_bind_int64(c, 1, i + 1);
    sqlite3_bind_text(c, 2, name.c_str(), -1, SQLITE_TRANSIENT);
    if (i % 10 == 0)
      sqlite3_bind_null(c, 3);
    else
      sqlite3_bind_text(c, 3, email.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(c, 4, cities[i % 5], -1, SQLITE_STATIC);
    sqlite3_bind_double(c, 5, static_cast<double>(i % 100000) / 100.0);
    sqlite3_bind_int64(c, 6, i % 97);
    if (sqlite3_step(c) != SQLITE_DONE) die("insert", sqlite3_errmsg(db));
    sqlite3_reset(c);
  }
  for (long i = 0; i < rows - wide; ++i) {
    std::string sku = "SKU-" + std::to_string(i % 1000);
    sqlite3_bind_int64(o, 1, i);
    sqlite3_bind_text(o, 2, sku.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(o, 3, 1 + i % 9);
    if (sqlite3_step(o) != SQLITE_DONE) die("insert", sqlite3_errmsg(db));
    sqlite3_reset(o);
  }
  sqlite3_finalize(c);
  sqlite3_finalize(o);
  sqlite_exec(db, "COMMIT");
  sqlite3_close(db);
}

std::string run_dump(const std::string& path) {
  const std::string command = "sqlite3 '" + path + "' .dump";
  FILE* p = popen(command.c_str(), "r");
  if (!p) die("popen", command.c_str());
  std::string out;
  char buf[1 << 16];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  if (pclose(p) != 0 || out.empty()) die(command, "the sqlite3 shell is needed (scripts/install-deps.sh installs it)");
  return out;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Imports into `db` and checks the report: nothing failed and every row ran.
double quilmarr_import(QmDb* db, const std::string& dump, long rows) {
  auto t0 = std::chrono::steady_clock::now();
  char* report = qm_import_sql(db, dump.c_str());
  const double t = seconds_since(t0);
  if (!report) die("qm_import_sql", qm_last_error());
  const std::string text(report);
  qm_string_free(report);
  const std::string executed = "\"executed\":" + std::to_string(rows + 2) + ",";
  if (text.rfind("{\"errors\":[]", 0) != 0 || text.find(executed) == std::string::npos)
    die("the import report", text.substr(0, 400).c_str());
  return t;
}

double quilmarr_memory(const std::string& dump, long rows) {
  QmDb* db = qm_open_memory();
  const double t = quilmarr_import(db, dump, rows);
  qm_close(db);
  return t;
}

double quilmarr_workspace(const std::string& dump, long rows, const std::string& dir) {
  std::filesystem::remove_all(dir);
  QmDb* db = qm_open_dev(dir.c_str());
  if (!db) die("qm_open_dev", qm_last_error());
  auto t0 = std::chrono::steady_clock::now();
  if (!qm_begin_transaction(db)) die("qm_begin_transaction", qm_last_error());
  quilmarr_import(db, dump, rows);
  if (!qm_commit_transaction(db)) die("qm_commit_transaction", qm_last_error());
  const double t = seconds_since(t0);
  qm_close(db);
  std::filesystem::remove_all(dir);
  return t;
}

double sqlite_memory(const std::string& dump) {
  sqlite3* db = nullptr;
  sqlite3_open(":memory:", &db);
  auto t0 = std::chrono::steady_clock::now();
  sqlite_exec(db, dump);
  const double t = seconds_since(t0);
  sqlite3_close(db);
  return t;
}

void row(const char* what, long rows, size_t bytes, double t, double sqlite_t) {
  std::printf("| %s | %.0f | %.1f | %.0f | %.1f | %.2f |\n", what, rows / t, bytes / t / 1e6, rows / sqlite_t,
              bytes / sqlite_t / 1e6, t / sqlite_t);
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 100000;
  int reps = 3;
  bool workspace = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc) {
      rows = std::max(10L, std::atol(argv[++i]));
    } else if (a == "--reps" && i + 1 < argc) {
      reps = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--workspace") {
      workspace = true;
    } else {
      std::fprintf(stderr, "usage: dump_import_bench [--rows N] [--reps R] [--workspace]\n");
      return 2;
    }
  }
  const std::string dir = std::filesystem::temp_directory_path() / ("qm_dump_bench_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string source = dir + "/source.db";
  build_source(source, rows);
  const std::string dump = run_dump(source);
  std::fprintf(stderr, "dump: %ld rows, %zu bytes, SQLite %s\n", rows, dump.size(), sqlite3_libversion());

  double best_qm = 1e300, best_sqlite = 1e300, best_ws = 1e300;
  for (int r = 0; r < reps; ++r) {
    if (r % 2 == 0) {
      best_qm = std::min(best_qm, quilmarr_memory(dump, rows));
      best_sqlite = std::min(best_sqlite, sqlite_memory(dump));
    } else {
      best_sqlite = std::min(best_sqlite, sqlite_memory(dump));
      best_qm = std::min(best_qm, quilmarr_memory(dump, rows));
    }
    if (workspace) best_ws = std::min(best_ws, quilmarr_workspace(dump, rows, dir + "/ws"));
  }
  std::printf("| import of a %ld-row dump (%.1f MB) | QuilMarr rows/s | MB/s | SQLite rows/s | MB/s | QuilMarr time / SQLite time |\n",
              rows, dump.size() / 1e6);
  std::printf("|---|---:|---:|---:|---:|---:|\n");
  row("memory database", rows, dump.size(), best_qm, best_sqlite);
  if (workspace) row("workspace, inside one host transaction (SQLite: memory)", rows, dump.size(), best_ws, best_sqlite);
  std::filesystem::remove_all(dir);
  return 0;
}
