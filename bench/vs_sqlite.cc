// QuilMarr against SQLite, same machine, same process, same data. Every workload runs this
// library through its C interface (query, prepared-statement and batch calls, taking the
// JSON text each returns) and SQLite through its C API the way it is normally used
// (prepared statements with bound parameters, stepping every row and reading every column),
// the two interleaved, first on a memory database (SQLite ":memory:") and then on a
// workspace (SQLite: a file in WAL mode with synchronous=NORMAL).
//
// The table `t` holds N rows (default 1,000,000) of an integer key `id` (indexed), a small
// integer `small` (100 distinct values), a short text `name` and a decimal `price` (a REAL
// in SQLite, which has no decimal). Read-only workloads run `--reps` rounds (QuilMarr first
// in odd rounds, SQLite first in even ones) and keep each side's best; writing workloads run
// once per side. Before timing, each query's row count is checked to be equal on both sides.
//
// Usage: vs_sqlite [--scale K] [--reps R] [--dir PATH] [--mode memory|workspace|both]
//                  [--insert-seconds S] [--only KEY]
//   --scale K divides every row and operation count by K (for a quick run or a profile);
//   --insert-seconds S caps each side's run of single-row INSERTs (default 30);
//   --only KEY runs the bulk load and then only the workloads whose key contains KEY.
// Output: a Markdown table of both rates and the ratio SQLite rate / QuilMarr rate (how many
// times longer this library takes; below 1 it is faster).
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "quilmarr.h"

namespace {

// ---- sizes and options -------------------------------------------------------------------

struct Options {
  long scale = 1;
  bool own_dir = false;  // made here, removed at the end
  int reps = 3;
  double insert_seconds = 30;  // cap of each side's single-row INSERT run
  std::string only;            // run only the workloads whose key contains this (the load always runs)
  std::string dir;
  bool memory = true;
  bool workspace = true;
};

struct Sizes {
  long rows;            // rows of t
  long single_inserts;  // single-row INSERTs, each its own transaction
  long points;          // point SELECTs
  long ranges;          // range SELECTs of 100 rows
  long join_rows;       // rows of each join side
  long span;            // rows per UPDATE / DELETE (10% of t)
};

Sizes sizes_for(long scale) {
  auto div = [&](long n) { return std::max<long>(n / scale, 1); };
  Sizes s{div(1000000), div(100000), div(100000), div(10000), div(100000), 0};
  s.span = std::max<long>(s.rows / 10, 1);
  return s;
}

// ---- failures ----------------------------------------------------------------------------

[[noreturn]] void die(const std::string& what, const char* detail) {
  std::fprintf(stderr, "vs_sqlite: %s failed: %s\n", what.c_str(), detail ? detail : "(no detail)");
  std::exit(1);
}

// Runs one statement, returns its JSON (the caller frees it).
char* qm_must(char* json, const std::string& what) {
  if (!json) die(what, qm_last_error());
  return json;
}

void qm_run(QmDb* db, const std::string& sql) { qm_string_free(qm_must(qm_query(db, sql.c_str()), sql)); }

void sq_ok(sqlite3* db, int rc, const std::string& what) {
  if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE) die(what, sqlite3_errmsg(db));
}

void sq_run(sqlite3* db, const std::string& sql) {
  sq_ok(db, sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), sql);
}

struct SqStmt {
  sqlite3* db;
  sqlite3_stmt* stmt = nullptr;
  SqStmt(sqlite3* d, const char* sql) : db(d) { sq_ok(db, sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr), sql); }
  ~SqStmt() { sqlite3_finalize(stmt); }
  SqStmt(const SqStmt&) = delete;
  SqStmt& operator=(const SqStmt&) = delete;

  // Steps to the end reading every column of every row; returns the number of rows.
  long drain() {
    long rows = 0;
    int rc;
    const int n = sqlite3_column_count(stmt);
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      for (int c = 0; c < n; ++c) {
        switch (sqlite3_column_type(stmt, c)) {
          case SQLITE_INTEGER: sink += sqlite3_column_int64(stmt, c); break;
          case SQLITE_FLOAT: sink += static_cast<long long>(sqlite3_column_double(stmt, c)); break;
          case SQLITE_TEXT: sink += sqlite3_column_bytes(stmt, c) + *sqlite3_column_text(stmt, c); break;
          default: break;
        }
      }
      ++rows;
    }
    sq_ok(db, rc, sqlite3_sql(stmt));
    sqlite3_reset(stmt);
    return rows;
  }
  static inline long long sink = 0;
};

// Number of rows in a result JSON {"columns":[...],"rows":[[...],...]}; our texts hold no
// brackets, so counting the arrays one level inside "rows" is exact. {"mutated":N} gives N.
long json_rows(const char* json) {
  if (const char* m = std::strstr(json, "\"mutated\":")) return std::atol(m + 10);
  const char* p = std::strstr(json, "\"rows\":[");
  if (!p) return -1;
  p += 8;
  long rows = 0;
  int depth = 1;
  bool in_string = false;
  for (; *p && depth > 0; ++p) {
    if (in_string) {
      if (*p == '\\') ++p;
      else if (*p == '"') in_string = false;
      continue;
    }
    if (*p == '"') in_string = true;
    else if (*p == '[') rows += (depth++ == 1);
    else if (*p == ']') --depth;
  }
  return rows;
}

// ---- data --------------------------------------------------------------------------------

// Row i: id i, small i % 100, a short text, and a price that is a permutation of
// 0.00 .. (n-1)/100 (7919 is prime to every row count used), so ORDER BY price has no ties.
struct RowData {
  long long id, small;
  char name[24];
  int name_len;
  long long cents;
};

RowData row_at(long i, long n) {
  RowData r{};
  r.id = i;
  r.small = i % 100;
  r.name_len = std::snprintf(r.name, sizeof r.name, "name-%ld", (i * 31) % 10007);
  r.cents = static_cast<long long>((static_cast<__int128>(i) * 7919) % n);
  return r;
}

void append_row_json(std::string& out, const RowData& r) {
  char buf[96];
  const int len = std::snprintf(buf, sizeof buf, "[%lld,%lld,\"%s\",%lld.%02lld]", r.id, r.small, r.name, r.cents / 100,
                                r.cents % 100);
  out.append(buf, static_cast<size_t>(len));
}

void bind_row(sqlite3_stmt* s, const RowData& r) {
  sqlite3_bind_int64(s, 1, r.id);
  sqlite3_bind_int64(s, 2, r.small);
  sqlite3_bind_text(s, 3, r.name, r.name_len, SQLITE_TRANSIENT);
  sqlite3_bind_double(s, 4, static_cast<double>(r.cents) / 100.0);
}

// The parameter sets of rows [first, first + count) of a table of n rows, as one JSON text.
std::string param_sets(long first, long count, long n) {
  std::string json = "[";
  json.reserve(static_cast<size_t>(count) * 40 + 2);
  for (long i = first; i < first + count; ++i) {
    if (i > first) json += ',';
    append_row_json(json, row_at(i, n));
  }
  json += ']';
  return json;
}

// A key sequence that visits [0, n) in a scattered order.
long scattered(long i, long n) { return static_cast<long>((static_cast<__int128>(i) * 1000003 + 17) % n); }

// ---- timing and the table ----------------------------------------------------------------

double seconds_of(const std::function<void()>& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

struct Line {
  std::string workload, mode, unit;
  double qm_rate, sq_rate;
};
std::vector<Line> lines;

std::string with_commas(double v) {
  char raw[64];
  std::snprintf(raw, sizeof raw, "%.0f", v);
  std::string s(raw), out;
  const int n = static_cast<int>(s.size());
  for (int i = 0; i < n; ++i) {
    out += s[i];
    if ((n - i - 1) % 3 == 0 && i != n - 1) out += ',';
  }
  return out;
}

void report(const std::string& workload, const std::string& mode, const std::string& unit, double items,
            double qm_seconds, double sq_seconds) {
  Line l{workload, mode, unit, items / qm_seconds, items / sq_seconds};
  std::fprintf(stderr, "  %-44s %-9s QuilMarr %12s  SQLite %12s %s/s  (%.3f s vs %.3f s)\n", workload.c_str(),
               mode.c_str(), with_commas(l.qm_rate).c_str(), with_commas(l.sq_rate).c_str(), unit.c_str(), qm_seconds,
               sq_seconds);
  lines.push_back(l);
}

// Interleaved rounds of a read-only workload; each side's best time.
void compare_reads(const Options& o, const std::string& workload, const std::string& mode, const std::string& unit,
                   double items, const std::function<void()>& qm, const std::function<void()>& sq) {
  double best_qm = 1e300, best_sq = 1e300;
  for (int r = 0; r < o.reps; ++r) {
    if (r % 2 == 0) {
      best_qm = std::min(best_qm, seconds_of(qm));
      best_sq = std::min(best_sq, seconds_of(sq));
    } else {
      best_sq = std::min(best_sq, seconds_of(sq));
      best_qm = std::min(best_qm, seconds_of(qm));
    }
  }
  report(workload, mode, unit, items, best_qm, best_sq);
}

// ---- the two databases of one mode -------------------------------------------------------

struct Pair {
  std::string mode;
  QmDb* qm = nullptr;
  sqlite3* sq = nullptr;
};

const char* const kSchema = "CREATE TABLE %s (id INTEGER, small INTEGER, name TEXT, price DECIMAL(12, 2))";

std::string schema_of(const char* table) {
  char buf[160];
  std::snprintf(buf, sizeof buf, kSchema, table);
  return buf;
}

Pair open_pair(bool workspace, const std::string& dir) {
  Pair p;
  p.mode = workspace ? "workspace" : "memory";
  if (workspace) {
    p.qm = qm_open_dev((dir + "/quilmarr").c_str());
    if (!p.qm) die("qm_open_dev", qm_last_error());
    sq_ok(nullptr, sqlite3_open((dir + "/sqlite.db").c_str(), &p.sq), "sqlite3_open");
    sq_run(p.sq, "PRAGMA journal_mode=WAL");
    sq_run(p.sq, "PRAGMA synchronous=NORMAL");
  } else {
    p.qm = qm_open_memory();
    sq_ok(nullptr, sqlite3_open(":memory:", &p.sq), "sqlite3_open");
  }
  for (const char* table : {"t", "s"}) {
    qm_run(p.qm, schema_of(table));
    sq_run(p.sq, schema_of(table));
    qm_run(p.qm, std::string("CREATE INDEX ON ") + table + " (id)");
    sq_run(p.sq, std::string("CREATE INDEX ") + table + "_id ON " + table + " (id)");
  }
  return p;
}

void close_pair(Pair& p) {
  qm_close(p.qm);
  sqlite3_close(p.sq);
}

// A query's row count must agree on both sides before it is timed.
void check_same_rows(Pair& p, const char* sql, const char* params_json, const std::function<void(sqlite3_stmt*)>& bind) {
  char* json = qm_must(params_json ? qm_query_params(p.qm, sql, params_json) : qm_query(p.qm, sql), sql);
  const long qm_rows = json_rows(json);
  qm_string_free(json);
  SqStmt s(p.sq, sql);
  if (bind) bind(s.stmt);
  const long sq_rows = s.drain();
  if (qm_rows != sq_rows) {
    std::fprintf(stderr, "vs_sqlite: `%s` gives %ld rows here and %ld in SQLite\n", sql, qm_rows, sq_rows);
    std::exit(1);
  }
}

// ---- workloads ---------------------------------------------------------------------------

void bulk_load(const Options&, const Sizes& z, Pair& p) {
  const std::string sets = param_sets(0, z.rows, z.rows);
  const double qm = seconds_of([&] {
    qm_string_free(qm_must(qm_execute_many(p.qm, "INSERT INTO t VALUES (?, ?, ?, ?)", sets.c_str()), "bulk load"));
  });
  const double sq = seconds_of([&] {
    sq_run(p.sq, "BEGIN");
    SqStmt ins(p.sq, "INSERT INTO t VALUES (?, ?, ?, ?)");
    for (long i = 0; i < z.rows; ++i) {
      bind_row(ins.stmt, row_at(i, z.rows));
      sq_ok(p.sq, sqlite3_step(ins.stmt), "insert");
      sqlite3_reset(ins.stmt);
    }
    sq_run(p.sq, "COMMIT");
  });
  report("bulk load, one transaction", p.mode, "rows", static_cast<double>(z.rows), qm, sq);
}

// Each side inserts up to `single_inserts` rows (a tenth of that on a workspace) into the
// indexed table `s`, stopping early after `--insert-seconds`, so a slow side still finishes.
void single_inserts(const Options& o, const Sizes& z, Pair& p) {
  const long limit = p.mode == "workspace" ? std::max<long>(z.single_inserts / 10, 1) : z.single_inserts;
  const char* sql = "INSERT INTO s VALUES (?, ?, ?, ?)";
  const auto cap = std::chrono::duration<double>(o.insert_seconds);
  long qm_done = 0, sq_done = 0;
  const double qm = seconds_of([&] {
    const auto start = std::chrono::steady_clock::now();
    QmStmt* stmt = qm_prepare(p.qm, sql);
    if (!stmt) die("qm_prepare", qm_last_error());
    std::string params;
    while (qm_done < limit && std::chrono::steady_clock::now() - start < cap) {
      params.clear();
      append_row_json(params, row_at(qm_done, limit));
      qm_string_free(qm_must(qm_stmt_execute(stmt, p.qm, params.c_str()), "single insert"));
      ++qm_done;
    }
    qm_stmt_close(stmt);
  });
  const double sq = seconds_of([&] {
    const auto start = std::chrono::steady_clock::now();
    SqStmt ins(p.sq, sql);
    while (sq_done < limit && std::chrono::steady_clock::now() - start < cap) {
      bind_row(ins.stmt, row_at(sq_done, limit));
      sq_ok(p.sq, sqlite3_step(ins.stmt), "insert");
      sqlite3_reset(ins.stmt);
      ++sq_done;
    }
  });
  std::string label = "INSERT one row per implicit transaction (" + with_commas(static_cast<double>(limit));
  if (qm_done < limit || sq_done < limit)
    label += "; in " + with_commas(o.insert_seconds) + " s: QuilMarr " + with_commas(static_cast<double>(qm_done)) +
             ", SQLite " + with_commas(static_cast<double>(sq_done));
  label += ")";
  Line l{label, p.mode, "rows", qm_done / qm, sq_done / sq};
  std::fprintf(stderr, "  %s %s: QuilMarr %s rows/s, SQLite %s rows/s\n", label.c_str(), p.mode.c_str(),
               with_commas(l.qm_rate).c_str(), with_commas(l.sq_rate).c_str());
  lines.push_back(l);
}

// A prepared SELECT run `count` times with one or two integer parameters from `key(i)`.
void keyed_selects(const Options& o, Pair& p, const std::string& workload, const char* sql, long count, long width,
                   const std::function<long(long)>& key) {
  const bool two = width > 0;
  auto bind = [&](sqlite3_stmt* s, long k) {
    sqlite3_bind_int64(s, 1, k);
    if (two) sqlite3_bind_int64(s, 2, k + width);
  };
  {
    char params[64];
    std::snprintf(params, sizeof params, two ? "[%ld,%ld]" : "[%ld]", key(0), key(0) + width);
    check_same_rows(p, sql, params, [&](sqlite3_stmt* s) { bind(s, key(0)); });
  }
  QmStmt* stmt = qm_prepare(p.qm, sql);
  if (!stmt) die("qm_prepare", qm_last_error());
  SqStmt sel(p.sq, sql);
  compare_reads(
      o, workload, p.mode, "queries", static_cast<double>(count),
      [&] {
        char params[64];
        for (long i = 0; i < count; ++i) {
          const long k = key(i);
          std::snprintf(params, sizeof params, two ? "[%ld,%ld]" : "[%ld]", k, k + width);
          qm_string_free(qm_must(qm_stmt_execute(stmt, p.qm, params), workload));
        }
      },
      [&] {
        for (long i = 0; i < count; ++i) {
          bind(sel.stmt, key(i));
          sel.drain();
        }
      });
  qm_stmt_close(stmt);
}

// One query over the whole table, rate in table rows per second.
// A query whose LIMIT makes one run too short to time: `repeat` runs per timing, reported as
// queries per second.
void limited_query(const Options& o, Pair& p, const std::string& workload, const char* sql, int repeat) {
  check_same_rows(p, sql, nullptr, nullptr);
  SqStmt sel(p.sq, sql);
  compare_reads(
      o, workload, p.mode, "queries", repeat,
      [&] {
        for (int i = 0; i < repeat; ++i) qm_string_free(qm_must(qm_query(p.qm, sql), workload));
      },
      [&] {
        for (int i = 0; i < repeat; ++i) sel.drain();
      });
}

void table_query(const Options& o, Pair& p, const std::string& workload, const char* sql, double table_rows) {
  check_same_rows(p, sql, nullptr, nullptr);
  SqStmt sel(p.sq, sql);
  compare_reads(
      o, workload, p.mode, "rows", table_rows,
      [&] { qm_string_free(qm_must(qm_query(p.qm, sql), workload)); }, [&] { sel.drain(); });
}

void join(const Options& o, const Sizes& z, Pair& p) {
  // a(id, k) and b(id, k, v): k of each side is a different permutation of 0..n-1, so every
  // row of a meets exactly one row of b through b's index on k.
  const long n = z.join_rows;
  qm_run(p.qm, "CREATE TABLE a (id INTEGER, k INTEGER)");
  qm_run(p.qm, "CREATE TABLE b (id INTEGER, k INTEGER, v TEXT)");
  sq_run(p.sq, "CREATE TABLE a (id INTEGER, k INTEGER)");
  sq_run(p.sq, "CREATE TABLE b (id INTEGER, k INTEGER, v TEXT)");
  std::string a = "[", b = "[";
  char buf[96];
  sq_run(p.sq, "BEGIN");
  {
    SqStmt ia(p.sq, "INSERT INTO a VALUES (?, ?)"), ib(p.sq, "INSERT INTO b VALUES (?, ?, ?)");
    for (long i = 0; i < n; ++i) {
      const long ka = scattered(i, n), kb = static_cast<long>((static_cast<__int128>(i) * 7919 + 3) % n);
      std::snprintf(buf, sizeof buf, "%s[%ld,%ld]", i ? "," : "", i, ka);
      a += buf;
      std::snprintf(buf, sizeof buf, "%s[%ld,%ld,\"v%ld\"]", i ? "," : "", i, kb, i % 1000);
      b += buf;
      sqlite3_bind_int64(ia.stmt, 1, i);
      sqlite3_bind_int64(ia.stmt, 2, ka);
      sq_ok(p.sq, sqlite3_step(ia.stmt), "insert a");
      sqlite3_reset(ia.stmt);
      std::snprintf(buf, sizeof buf, "v%ld", i % 1000);
      sqlite3_bind_int64(ib.stmt, 1, i);
      sqlite3_bind_int64(ib.stmt, 2, kb);
      sqlite3_bind_text(ib.stmt, 3, buf, -1, SQLITE_TRANSIENT);
      sq_ok(p.sq, sqlite3_step(ib.stmt), "insert b");
      sqlite3_reset(ib.stmt);
    }
  }
  sq_run(p.sq, "COMMIT");
  a += "]";
  b += "]";
  qm_string_free(qm_must(qm_execute_many(p.qm, "INSERT INTO a VALUES (?, ?)", a.c_str()), "load a"));
  qm_string_free(qm_must(qm_execute_many(p.qm, "INSERT INTO b VALUES (?, ?, ?)", b.c_str()), "load b"));
  qm_run(p.qm, "CREATE INDEX ON b (k)");
  sq_run(p.sq, "CREATE INDEX b_k ON b (k)");
  table_query(o, p, "indexed join, " + with_commas(static_cast<double>(n)) + " x " + with_commas(static_cast<double>(n)),
              "SELECT a.id, b.v FROM a JOIN b ON a.k = b.k", static_cast<double>(n));
}

// A writing statement over key range [first, first + span) run once per side.
void range_write(const Sizes& z, Pair& p, const std::string& workload, const char* sql, long first, bool has_value) {
  char params[96];
  if (has_value) std::snprintf(params, sizeof params, "[%d,%ld,%ld]", 1000, first, first + z.span);
  else std::snprintf(params, sizeof params, "[%ld,%ld]", first, first + z.span);
  long qm_rows = 0, sq_rows = 0;
  const double qm = seconds_of([&] {
    char* json = qm_must(qm_query_params(p.qm, sql, params), workload);
    qm_rows = json_rows(json);
    qm_string_free(json);
  });
  const double sq = seconds_of([&] {
    SqStmt w(p.sq, sql);
    int arg = 1;
    if (has_value) sqlite3_bind_int64(w.stmt, arg++, 1000);
    sqlite3_bind_int64(w.stmt, arg++, first);
    sqlite3_bind_int64(w.stmt, arg, first + z.span);
    sq_ok(p.sq, sqlite3_step(w.stmt), workload);
    sq_rows = sqlite3_changes(p.sq);
  });
  if (qm_rows != sq_rows) {
    std::fprintf(stderr, "vs_sqlite: %s changed %ld rows here and %ld in SQLite\n", workload.c_str(), qm_rows, sq_rows);
    std::exit(1);
  }
  report(workload, p.mode, "rows", static_cast<double>(z.span), qm, sq);
}

void run_mode(const Options& o, const Sizes& z, bool workspace) {
  std::string dir;
  if (workspace) {
    dir = o.dir + "/workspace";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  Pair p = open_pair(workspace, dir);
  std::fprintf(stderr, "%s:\n", p.mode.c_str());
  const double rows = static_cast<double>(z.rows);
  const std::string table = " (" + with_commas(rows) + " rows)";

  auto want = [&](const char* key) { return o.only.empty() || std::string(key).find(o.only) != std::string::npos; };
  bulk_load(o, z, p);
  if (want("insert")) single_inserts(o, z, p);
  if (want("point"))
    keyed_selects(o, p, "point SELECT by indexed key", "SELECT * FROM t WHERE id = ?", z.points, 0,
                  [&](long i) { return scattered(i, z.rows); });
  if (want("range"))
    keyed_selects(o, p, "range SELECT of 100 rows by indexed key", "SELECT * FROM t WHERE id >= ? AND id < ?",
                  z.ranges, 100, [&](long i) { return scattered(i, std::max<long>(z.rows - 100, 1)); });
  if (want("scan"))
    table_query(o, p, "full scan, WHERE matches nothing" + table, "SELECT * FROM t WHERE small = 1000", rows);
  if (want("count")) table_query(o, p, "COUNT(*)" + table, "SELECT COUNT(*) FROM t", rows);
  if (want("group"))
    table_query(o, p, "GROUP BY 100 groups: COUNT, SUM, AVG" + table,
                "SELECT small, COUNT(*), SUM(price), AVG(price) FROM t GROUP BY small", rows);
  if (want("order"))
    table_query(o, p, "ORDER BY unindexed column LIMIT 10" + table, "SELECT * FROM t ORDER BY price DESC LIMIT 10",
                rows);
  if (want("limit")) {
    limited_query(o, p, "SELECT * LIMIT 1" + table, "SELECT * FROM t LIMIT 1", 1000);
    limited_query(o, p, "SELECT * LIMIT 10 OFFSET 5" + table, "SELECT * FROM t LIMIT 10 OFFSET 5", 1000);
  }
  if (want("join")) join(o, z, p);
  if (want("update"))
    range_write(z, p, "UPDATE 10% of rows by key range", "UPDATE t SET small = ? WHERE id >= ? AND id < ?",
                z.rows / 10, true);
  if (want("delete"))
    range_write(z, p, "DELETE 10% of rows by key range", "DELETE FROM t WHERE id >= ? AND id < ?", z.rows / 2,
                false);
  close_pair(p);
  if (workspace) std::filesystem::remove_all(dir);
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("option " + arg, "needs a value");
      return argv[++i];
    };
    if (arg == "--scale") o.scale = std::max(1L, std::atol(value().c_str()));
    else if (arg == "--reps") o.reps = std::max(1, std::atoi(value().c_str()));
    else if (arg == "--dir") o.dir = value();
    else if (arg == "--only") o.only = value();
    else if (arg == "--insert-seconds") o.insert_seconds = std::max(0.1, std::atof(value().c_str()));
    else if (arg == "--mode") {
      const std::string m = value();
      o.memory = m == "memory" || m == "both";
      o.workspace = m == "workspace" || m == "both";
      if (!o.memory && !o.workspace) die("--mode", "expects memory, workspace or both");
    } else {
      std::fprintf(stderr,
                   "usage: vs_sqlite [--scale K] [--reps R] [--dir PATH] [--mode memory|workspace|both]\n"
                   "                 [--insert-seconds S] [--only insert|point|range|scan|count|group|order|limit|join|update|delete]\n");
      std::exit(arg == "--help" ? 0 : 2);
    }
  }
  if (o.dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/vs_sqlite.XXXXXX";
    if (!mkdtemp(tmpl.data())) die("mkdtemp", std::strerror(errno));
    o.dir = tmpl;
    o.own_dir = true;
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parse_options(argc, argv);
  const Sizes z = sizes_for(o.scale);
  std::fprintf(stderr, "QuilMarr %s vs SQLite %s; %ld rows, scale 1/%ld, %d rounds for reads, files in %s\n",
               qm_version(), sqlite3_libversion(), z.rows, o.scale, o.reps, o.dir.c_str());
  const double total = seconds_of([&] {
    if (o.memory) run_mode(o, z, false);
    if (o.workspace) run_mode(o, z, true);
  });
  std::printf("| workload | mode | QuilMarr | SQLite | unit | SQLite / QuilMarr |\n");
  std::printf("|---|---|---:|---:|---|---:|\n");
  for (const Line& l : lines)
    std::printf("| %s | %s | %s | %s | %s/s | %.2f |\n", l.workload.c_str(), l.mode.c_str(),
                with_commas(l.qm_rate).c_str(), with_commas(l.sq_rate).c_str(), l.unit.c_str(), l.sq_rate / l.qm_rate);
  std::fprintf(stderr, "total %.1f s\n", total);
  if (o.own_dir) std::filesystem::remove_all(o.dir);
  return 0;
}
