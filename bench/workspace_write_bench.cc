// Durable writes on a workspace without a commit log, each beside SQLite on the same disk in
// the same process (WAL mode; synchronous=FULL where QuilMarr forces its writes to stable
// storage, NORMAL where it does not), each case run `runs` times, least and median printed:
// - a 10,000-row qm_execute_many into a table with one index, at 10,000 and 300,000 rows;
// - BEGIN, a one-row UPDATE by indexed key and COMMIT, at 10,000 and 300,000 rows;
// - 1,000 INSERTs in one transaction on a 100,000-row table;
// - one-row INSERT and UPDATE outside a transaction on a 100,000-row table (median of 200);
// - a point SELECT by the indexed key (median of 2,000);
// - the open of a 100,000- and a 300,000-row workspace after a clean close (index pairs stored)
//   and after a crash (no pairs: the indexed tables are rescanned);
// - two handles on one workspace of 10,000 and of 1,000,000 rows (t (id UNIQUE, v, w), a second
//   index on w): handle B's point SELECT right after handle A's one-row INSERT, UPDATE or
//   DELETE, beside two SQLite connections in WAL mode (median of 20 per run).
//
// Usage: workspace_write_bench [runs] [dir]   (default 5 runs, the system's temporary directory)
//        workspace_write_bench handoff [runs] [dir]   (the two-handle rows alone)
//        workspace_write_bench statements KIND N DIR   (KIND insert, update or delete: loads
//        10,000 rows, then runs N one-row statements of that kind; for counting system calls
//        under `strace -c -f`, N = 0 gives the calls of everything else)
//        workspace_write_bench transactions KIND N DIR   (KIND update or insert: loads 10,000
//        rows, then runs N transactions: BEGIN, a one-row UPDATE or 1,000 INSERTs, COMMIT;
//        for counting flushes under `strace -f -c -e trace=fsync,fdatasync`)
//        workspace_write_bench rollback [runs] [dir]   (the cost of a rollback as the database
//        grows: on `t (id UNIQUE, v, w)` indexed on w, at 10,000 and 1,000,000 rows, without and
//        with the commit log: BEGIN, a one-row UPDATE by key or a one-row INSERT, ROLLBACK; a
//        2-row qm_execute_many whose second row breaks UNIQUE; the same transactions' COMMIT;
//        beside SQLite's ROLLBACK, WAL synchronous=FULL)
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quilmarr.h"

namespace {

using bench::Clock;
using bench::die;
using bench::qm;
using bench::sq;





double seconds_of(const std::function<void()>& f) {
  const auto start = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Spread {
  double least = 0, median = 0;
};
Spread spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2]};
}

std::string values(int64_t from, int64_t to) {
  std::string sql;
  for (int64_t i = from; i < to; ++i) sql += (i > from ? ",(" : "(") + std::to_string(i) + ",'value " + std::to_string(i % 1000) + "')";
  return sql;
}

// A workspace and an SQLite file, each with t(id, v) indexed on id and `rows` rows.
struct Pair {
  std::string dir, ws;
  QmDb* db = nullptr;
  sqlite3* s = nullptr;
  int64_t rows = 0;

  Pair(const std::string& root, int64_t n, const char* synchronous) : dir(root), ws(root + "/ws"), rows(n) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    db = qm_open_dev(ws.c_str());
    if (!db) die(qm_last_error());
    if (sqlite3_open((dir + "/sqlite.db").c_str(), &s) != SQLITE_OK) die("sqlite3_open");
    sq(s, "PRAGMA journal_mode=WAL");
    sq(s, std::string("PRAGMA synchronous=") + synchronous);
    qm(db, "CREATE TABLE t (id, v)");
    qm(db, "CREATE INDEX ON t (id)");
    sq(s, "CREATE TABLE t (id INTEGER, v TEXT)");
    sq(s, "CREATE INDEX t_id ON t (id)");
    qm(db, "BEGIN");
    sq(s, "BEGIN");
    for (int64_t i = 0; i < rows; i += 1000) {
      const std::string sql = "INSERT INTO t VALUES " + values(i, std::min(rows, i + 1000));
      qm(db, sql);
      sq(s, sql);
    }
    qm(db, "COMMIT");
    sq(s, "COMMIT");
    ::sync();
  }
  ~Pair() {
    qm_close(db);
    sqlite3_close(s);
    std::filesystem::remove_all(dir);
  }
};

void print(const char* what, const Spread& a, const Spread& b, const char* unit, double scale) {
  std::printf("| %s | %.1f / %.1f %s | %.1f / %.1f %s | %.2f |\n", what, a.least * scale, a.median * scale, unit,
              b.least * scale, b.median * scale, unit, a.median / b.median);
}

// Seconds of one 10,000-row batch per run, for QuilMarr (qm_execute_many) and SQLite (one
// transaction over a prepared INSERT).
std::pair<Spread, Spread> batch(const std::string& root, int64_t rows, int runs) {
  Pair p(root, rows, "FULL");
  std::vector<double> a, b;
  int64_t next = rows;
  sqlite3_stmt* ins = nullptr;
  if (sqlite3_prepare_v2(p.s, "INSERT INTO t VALUES (?, ?)", -1, &ins, nullptr) != SQLITE_OK) die("prepare");
  for (int r = 0; r < runs; ++r) {
    std::string sets = "[";
    for (int i = 0; i < 10000; ++i) sets += (i ? ",[" : "[") + std::to_string(next + i) + ",\"batch\"]";
    sets += "]";
    a.push_back(seconds_of([&] {
      char* out = qm_execute_many(p.db, "INSERT INTO t VALUES (?, ?)", sets.c_str());
      if (!out) die(std::string("execute_many: ") + qm_last_error());
      qm_string_free(out);
    }));
    b.push_back(seconds_of([&] {
      sq(p.s, "BEGIN");
      for (int i = 0; i < 10000; ++i) {
        sqlite3_bind_int64(ins, 1, next + i);
        sqlite3_bind_text(ins, 2, "batch", -1, SQLITE_STATIC);
        if (sqlite3_step(ins) != SQLITE_DONE) die("sqlite insert");
        sqlite3_reset(ins);
      }
      sq(p.s, "COMMIT");
    }));
    next += 10000;
  }
  sqlite3_finalize(ins);
  return {spread(a), spread(b)};
}

std::pair<Spread, Spread> tx_update(const std::string& root, int64_t rows, int runs) {
  Pair p(root, rows, "FULL");
  std::vector<double> a, b;
  for (int r = 0; r < runs; ++r) {
    const std::string sql = "UPDATE t SET v = 'w' WHERE id = " + std::to_string((r * 7919) % rows);
    a.push_back(seconds_of([&] {
      qm(p.db, "BEGIN");
      qm(p.db, sql);
      qm(p.db, "COMMIT");
    }));
    b.push_back(seconds_of([&] {
      sq(p.s, "BEGIN");
      sq(p.s, sql);
      sq(p.s, "COMMIT");
    }));
  }
  return {spread(a), spread(b)};
}

// Two handles, and two SQLite connections, on one database of `rows` rows of t (id UNIQUE, v, w)
// with a second index on w: the seconds of B's point SELECT right after A's one-row statement
// of `kind` (insert, update, delete), the median of 20 per run.
struct Handoff {
  std::string dir, ws;
  QmDb* a = nullptr;
  QmDb* b = nullptr;
  sqlite3* s1 = nullptr;
  sqlite3* s2 = nullptr;
  int64_t rows = 0;
  int64_t next = 0;

  Handoff(const std::string& root, int64_t n) : dir(root), ws(root + "/ws"), rows(n), next(n) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    a = qm_open_dev(ws.c_str());
    if (!a) die(qm_last_error());
    if (sqlite3_open((dir + "/sqlite.db").c_str(), &s1) != SQLITE_OK) die("sqlite3_open");
    sq(s1, "PRAGMA journal_mode=WAL");
    sq(s1, "PRAGMA synchronous=NORMAL");
    qm(a, "CREATE TABLE t (id UNIQUE, v, w)");
    qm(a, "CREATE INDEX ON t (w)");
    sq(s1, "CREATE TABLE t (id INTEGER UNIQUE, v TEXT, w INTEGER)");
    sq(s1, "CREATE INDEX t_w ON t (w)");
    qm(a, "BEGIN");
    sq(s1, "BEGIN");
    for (int64_t i = 0; i < rows; i += 1000) {
      std::string sql = "INSERT INTO t VALUES ";
      for (int64_t k = i; k < std::min(rows, i + 1000); ++k)
        sql += (k > i ? ",(" : "(") + std::to_string(k) + ",'value " + std::to_string(k % 1000) + "'," +
               std::to_string(k % 997) + ")";
      qm(a, sql);
      sq(s1, sql);
    }
    qm(a, "COMMIT");
    sq(s1, "COMMIT");
    b = qm_open_dev(ws.c_str());
    if (!b) die(qm_last_error());
    if (sqlite3_open((dir + "/sqlite.db").c_str(), &s2) != SQLITE_OK) die("sqlite3_open");
    sq(s2, "PRAGMA synchronous=NORMAL");
    ::sync();
  }
  ~Handoff() {
    qm_close(a);
    qm_close(b);
    sqlite3_close(s1);
    sqlite3_close(s2);
    std::filesystem::remove_all(dir);
  }

  std::string write_sql(const std::string& kind, int64_t i) {
    const std::string key = std::to_string((i * 7919) % rows);
    if (kind == "insert") return "INSERT INTO t VALUES (" + std::to_string(next++) + ", 'one', 5)";
    if (kind == "update") return "UPDATE t SET w = 7 WHERE id = " + key;
    return "DELETE FROM t WHERE id = " + key;
  }

  std::pair<double, double> run(const std::string& kind) {
    std::vector<double> x, y;
    for (int64_t i = 0; i < 20; ++i) {
      const std::string sql = write_sql(kind, i);
      const std::string sel = "SELECT * FROM t WHERE id = " + std::to_string((i * 104729 + 13) % rows);
      qm(a, sql);
      x.push_back(seconds_of([&] { qm(b, sel); }));
      sq(s1, sql);
      y.push_back(seconds_of([&] { sq(s2, sel); }));
    }
    return {spread(x).median, spread(y).median};
  }
};

void handoff_rows(const std::string& root, int runs) {
  for (int64_t rows : {10000, 1000000}) {
    Handoff h(root, rows);
    for (const std::string kind : {"insert", "update", "delete"}) {
      std::vector<double> x, y;
      for (int r = 0; r < runs; ++r) {
        auto [q, s] = h.run(kind);
        x.push_back(q), y.push_back(s);
      }
      const std::string what = "handle B's point SELECT after handle A's one-row " + kind + ", " +
                               std::to_string(rows) + " rows (two SQLite connections, WAL NORMAL)";
      print(what.c_str(), spread(x), spread(y), "us", 1e6);
    }
  }
}

}  // namespace

// A fresh workspace at `dir` holding `t (id, v)`, indexed on id, with 10,000 rows.
static QmDb* indexed_workspace(const std::string& dir) {
  std::filesystem::remove_all(dir);
  QmDb* db = qm_open_dev(dir.c_str());
  if (!db) die(qm_last_error());
  qm(db, "CREATE TABLE t (id, v)");
  qm(db, "CREATE INDEX ON t (id)");
  qm(db, "BEGIN");
  for (int64_t i = 0; i < 10000; i += 1000) qm(db, "INSERT INTO t VALUES " + values(i, i + 1000));
  qm(db, "COMMIT");
  return db;
}

// N one-row statements of one kind on a 10,000-row workspace (see the usage above).
int statements(const std::string& kind, int n, const std::string& dir) {
  QmDb* db = indexed_workspace(dir);
  for (int i = 0; i < n; ++i) {
    const std::string key = std::to_string((i * 7919) % 10000);
    if (kind == "insert") qm(db, "INSERT INTO t VALUES (" + std::to_string(10000 + i) + ", 'one')");
    else if (kind == "update") qm(db, "UPDATE t SET v = 'u' WHERE id = " + key);
    else qm(db, "DELETE FROM t WHERE id = " + key);
  }
  qm_close(db);
  std::filesystem::remove_all(dir);
  return 0;
}

// N transactions of one kind on a 10,000-row workspace: BEGIN, a one-row UPDATE and COMMIT,
// or BEGIN, 1,000 INSERTs and COMMIT (see the usage above).
int transactions(const std::string& kind, int n, const std::string& dir) {
  QmDb* db = indexed_workspace(dir);
  int64_t next = 10000;
  for (int i = 0; i < n; ++i) {
    qm(db, "BEGIN");
    if (kind == "update") {
      qm(db, "UPDATE t SET v = 'u' WHERE id = " + std::to_string((i * 7919) % 10000));
    } else {
      for (int k = 0; k < 1000; ++k) qm(db, "INSERT INTO t VALUES (" + std::to_string(next++) + ", 'x')");
    }
    qm(db, "COMMIT");
  }
  qm_close(db);
  std::filesystem::remove_all(dir);
  return 0;
}

// The rollback rows (see the usage above): `rows` rows in t (id UNIQUE, v, w), w indexed,
// on a workspace (with the commit log turned on after the load when `logged`) and in SQLite.
void rollback_rows(const std::string& root, int64_t rows, bool logged, int runs) {
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  const std::string ws = root + "/ws";
  QmDb* db = qm_open_dev(ws.c_str());
  if (!db) die(qm_last_error());
  sqlite3* s = nullptr;
  if (sqlite3_open((root + "/sqlite.db").c_str(), &s) != SQLITE_OK) die("sqlite3_open");
  sq(s, "PRAGMA journal_mode=WAL");
  sq(s, "PRAGMA synchronous=FULL");
  qm(db, "CREATE TABLE t (id UNIQUE, v, w)");
  qm(db, "CREATE INDEX ON t (w)");
  sq(s, "CREATE TABLE t (id INTEGER UNIQUE, v TEXT, w INTEGER)");
  sq(s, "CREATE INDEX t_w ON t (w)");
  auto three = [](int64_t from, int64_t to) {
    std::string sql;
    for (int64_t i = from; i < to; ++i)
      sql += (i > from ? ",(" : "(") + std::to_string(i) + ",'value " + std::to_string(i % 1000) + "'," +
             std::to_string(i % 5000) + ")";
    return sql;
  };
  qm(db, "BEGIN");
  sq(s, "BEGIN");
  for (int64_t i = 0; i < rows; i += 1000) {
    const std::string sql = "INSERT INTO t VALUES " + three(i, std::min(rows, i + 1000));
    qm(db, sql);
    sq(s, sql);
  }
  qm(db, "COMMIT");
  sq(s, "COMMIT");
  if (logged && !qm_enable_commit_log(db, 0, 0, 0)) die(qm_last_error());
  // The first transaction after the load (or after turning the log on) pays for its flush.
  qm(db, "BEGIN");
  qm(db, "UPDATE t SET v = 'first' WHERE id = 0");
  qm(db, "COMMIT");
  ::sync();
  std::vector<double> upd_rb, upd_co, ins_rb, ins_co, many, s_upd, s_ins, s_many, rb_alone, s_rb_alone;
  int64_t next = rows;
  for (int r = 0; r < runs; ++r) {
    const std::string upd = "UPDATE t SET v = 'u" + std::to_string(r) + "' WHERE id = " + std::to_string((r * 7919) % rows);
    for (const char* end : {"ROLLBACK", "COMMIT"}) {
      (end[0] == 'R' ? upd_rb : upd_co).push_back(seconds_of([&] {
        qm(db, "BEGIN");
        qm(db, upd);
        qm(db, end);
      }));
    }
    s_upd.push_back(seconds_of([&] {
      sq(s, "BEGIN");
      sq(s, upd);
      sq(s, "ROLLBACK");
    }));
    // The ROLLBACK statement alone, after the same BEGIN and UPDATE.
    qm(db, "BEGIN");
    qm(db, upd);
    rb_alone.push_back(seconds_of([&] { qm(db, "ROLLBACK"); }));
    sq(s, "BEGIN");
    sq(s, upd);
    s_rb_alone.push_back(seconds_of([&] { sq(s, "ROLLBACK"); }));
    for (const char* end : {"ROLLBACK", "COMMIT"}) {
      const std::string ins = "INSERT INTO t VALUES (" + std::to_string(next) + ", 'one', 7)";
      (end[0] == 'R' ? ins_rb : ins_co).push_back(seconds_of([&] {
        qm(db, "BEGIN");
        qm(db, ins);
        qm(db, end);
      }));
      if (end[0] == 'C') ++next;
    }
    s_ins.push_back(seconds_of([&] {
      sq(s, "BEGIN");
      sq(s, "INSERT INTO t VALUES (" + std::to_string(next) + ", 'one', 7)");
      sq(s, "ROLLBACK");
    }));
    const std::string sets = "[[" + std::to_string(next) + ",\"a\",1],[0,\"b\",2]]";
    many.push_back(seconds_of([&] {
      char* out = qm_execute_many(db, "INSERT INTO t VALUES (?, ?, ?)", sets.c_str());
      if (out) die("the failing batch succeeded");
    }));
    s_many.push_back(seconds_of([&] {
      sq(s, "BEGIN");
      sq(s, "INSERT INTO t VALUES (" + std::to_string(next) + ", 'a', 1)");
      if (sqlite3_exec(s, "INSERT INTO t VALUES (0, 'b', 2)", nullptr, nullptr, nullptr) == SQLITE_OK)
        die("sqlite: the failing batch succeeded");
      sq(s, "ROLLBACK");
    }));
  }
  qm_close(db);
  sqlite3_close(s);
  std::filesystem::remove_all(root);
  const std::string at = std::to_string(rows) + " rows" + (logged ? ", commit log" : ", no log");
  auto row = [&](const std::string& what, const std::vector<double>& a, const std::vector<double>& b) {
    print((what + ", " + at).c_str(), spread(a), spread(b), "us", 1e6);
  };
  row("BEGIN + UPDATE 1 row + ROLLBACK", upd_rb, s_upd);
  row("BEGIN + UPDATE 1 row + COMMIT (peer: ROLLBACK)", upd_co, s_upd);
  row("the ROLLBACK alone, after BEGIN + UPDATE 1 row", rb_alone, s_rb_alone);
  row("BEGIN + INSERT 1 row + ROLLBACK", ins_rb, s_ins);
  row("BEGIN + INSERT 1 row + COMMIT (peer: ROLLBACK)", ins_co, s_ins);
  row("failing 2-row qm_execute_many", many, s_many);
}

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "rollback") {
    const int runs = std::max(5, argc > 2 ? std::atoi(argv[2]) : 5);
    const std::string base = argc > 3 ? std::string(argv[3]) : std::filesystem::temp_directory_path().string();
    const std::string root = base + "/qm_ws_rollback_bench_" + std::to_string(getpid());
    std::printf("| case | QuilMarr least / median | SQLite least / median | median ratio |\n|---|---:|---:|---:|\n");
    for (bool logged : {false, true})
      for (int64_t rows : {10000, 1000000}) rollback_rows(root, rows, logged, runs);
    return 0;
  }
  if (argc == 5 && std::string(argv[1]) == "statements") return statements(argv[2], std::atoi(argv[3]), argv[4]);
  if (argc == 5 && std::string(argv[1]) == "transactions") return transactions(argv[2], std::atoi(argv[3]), argv[4]);
  const bool handoff_only = argc > 1 && std::string(argv[1]) == "handoff";
  if (handoff_only) --argc, ++argv;
  const int runs = std::max(5, argc > 1 ? std::atoi(argv[1]) : 5);
  const std::string base = argc > 2 ? std::string(argv[2]) : std::filesystem::temp_directory_path().string();
  const std::string root = base + "/qm_ws_write_bench_" + std::to_string(getpid());
  std::printf("| case | QuilMarr least / median | SQLite least / median | median ratio |\n|---|---:|---:|---:|\n");
  if (handoff_only) {
    handoff_rows(root, runs);
    return 0;
  }

  const auto b10 = batch(root, 10000, runs);
  print("10,000-row batch at 10,000 rows (SQLite WAL FULL)", b10.first, b10.second, "ms", 1e3);
  const auto b300 = batch(root, 300000, runs);
  print("10,000-row batch at 300,000 rows (SQLite WAL FULL)", b300.first, b300.second, "ms", 1e3);
  const auto t10 = tx_update(root, 10000, runs);
  print("BEGIN + 1-row UPDATE + COMMIT at 10,000 rows (WAL FULL)", t10.first, t10.second, "ms", 1e3);
  const auto t300 = tx_update(root, 300000, runs);
  print("BEGIN + 1-row UPDATE + COMMIT at 300,000 rows (WAL FULL)", t300.first, t300.second, "ms", 1e3);

  {
    Pair p(root, 100000, "FULL");
    std::vector<double> a, b;
    int64_t next = 1000000;
    for (int r = 0; r < runs; ++r) {
      a.push_back(seconds_of([&] {
        qm(p.db, "BEGIN");
        for (int i = 0; i < 1000; ++i) qm(p.db, "INSERT INTO t VALUES (" + std::to_string(next + i) + ", 'x')");
        qm(p.db, "COMMIT");
      }));
      b.push_back(seconds_of([&] {
        sq(p.s, "BEGIN");
        for (int i = 0; i < 1000; ++i) sq(p.s, "INSERT INTO t VALUES (" + std::to_string(next + i) + ", 'x')");
        sq(p.s, "COMMIT");
      }));
      next += 1000;
    }
    print("1,000 INSERTs in one transaction, 100,000 rows (WAL FULL)", spread(a), spread(b), "ms", 1e3);
  }
  {
    Pair p(root, 100000, "NORMAL");
    const int n = 200;
    std::vector<Spread> ins_a, ins_b, upd_a, upd_b, sel_a, sel_b;
    int64_t next = 2000000;
    for (int r = 0; r < runs; ++r) {
      std::vector<double> a, b, c, d, e, f;
      for (int i = 0; i < n; ++i, ++next) {
        const std::string ins = "INSERT INTO t VALUES (" + std::to_string(next) + ", 'one')";
        a.push_back(seconds_of([&] { qm(p.db, ins); }));
        b.push_back(seconds_of([&] { sq(p.s, ins); }));
        const std::string upd = "UPDATE t SET v = 'u' WHERE id = " + std::to_string((next * 7919) % 100000);
        c.push_back(seconds_of([&] { qm(p.db, upd); }));
        d.push_back(seconds_of([&] { sq(p.s, upd); }));
      }
      for (int i = 0; i < 10 * n; ++i) {
        const std::string sel = "SELECT v FROM t WHERE id = " + std::to_string((i * 104729) % 100000);
        e.push_back(seconds_of([&] { qm(p.db, sel); }));
        f.push_back(seconds_of([&] { sq(p.s, sel); }));
      }
      ins_a.push_back(spread(a)), ins_b.push_back(spread(b)), upd_a.push_back(spread(c)), upd_b.push_back(spread(d));
      sel_a.push_back(spread(e)), sel_b.push_back(spread(f));
    }
    // Per run: the median statement; over the runs: the least and the median of those.
    const auto of = [](const std::vector<Spread>& v) {
      std::vector<double> m;
      for (const Spread& s : v) m.push_back(s.median);
      return spread(m);
    };
    print("one-row INSERT outside a transaction, 100,000 rows (WAL NORMAL)", of(ins_a), of(ins_b), "us", 1e6);
    print("one-row UPDATE outside a transaction, 100,000 rows (WAL NORMAL)", of(upd_a), of(upd_b), "us", 1e6);
    print("point SELECT by indexed key, 100,000 rows", of(sel_a), of(sel_b), "us", 1e6);
  }
  for (int64_t rows : {100000, 300000}) {
    Pair p(root, rows, "NORMAL");
    qm(p.db, "INSERT INTO t VALUES (-1, 'after the commit')");  // its manifest holds no pairs
    std::vector<double> crashed, clean;
    const std::string saved = p.dir + "/saved_manifest.json";
    std::filesystem::copy_file(p.ws + "/qm_manifest.json", saved);
    qm_close(p.db);  // a clean close writes the pairs
    p.db = nullptr;
    const std::string with_pairs = p.dir + "/pairs_manifest.json";
    std::filesystem::copy_file(p.ws + "/qm_manifest.json", with_pairs);
    for (int r = 0; r < runs; ++r) {
      for (auto [from, into] : {std::pair{&saved, &crashed}, std::pair{&with_pairs, &clean}}) {
        std::filesystem::copy_file(*from, p.ws + "/qm_manifest.json", std::filesystem::copy_options::overwrite_existing);
        QmDb* db = nullptr;
        into->push_back(seconds_of([&] {
          db = qm_open_dev(p.ws.c_str());
          if (!db) die(qm_last_error());
        }));
        qm_close(db);  // (writes the pairs again after the crashed open; not timed)
      }
    }
    p.db = qm_open_dev(p.ws.c_str());
    const Spread a = spread(crashed), b = spread(clean);
    std::printf("| open of %lld rows after a crash (rescan) / after a clean close | %.1f / %.1f ms | %.1f / %.1f ms | "
                "(no peer) |\n",
                static_cast<long long>(rows), a.least * 1e3, a.median * 1e3, b.least * 1e3, b.median * 1e3);
  }
  handoff_rows(root, runs);
  return 0;
}
