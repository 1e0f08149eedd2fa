// Memory and disk footprint of one indexed table, next to SQLite. The table
// t (id INT, v INT, s TEXT) gets an index on id and N rows (default 1,000,000), loaded with
// qm_execute_many in batches of 100,000 (SQLite: one prepared INSERT, one transaction per
// batch). Each case runs in a child process of its own, so no case inherits another's heap;
// resident memory (VmRSS) is read before the database is opened and after the load with the
// database still open: once as the host sees it (freed heap the allocator kept counts), and
// for the breakdown after handing freed heap back to the system (malloc_trim on both sides).
// The memory cases run --runs times (default 5) and report the least and the median.
//
// The last rows are one statement: a multi-row INSERT of all N tuples as SQL text
// (`qm_query`; SQLite: `sqlite3_exec`) into the indexed table of a memory database; its
// figure is the peak resident memory (VmHWM, reset just before the call) above the resident
// memory before it, the text already built.
//
// Usage: footprint [--rows N] [--runs R] [--dir PATH]
// Output: a Markdown table of RSS growth in MB and bytes on disk, and bytes per index entry
// (memory database with the index minus without it, over N).
#include <malloc.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "quilmarr.h"

namespace {

long g_rows = 1000000;
int g_runs = 5;
constexpr long kBatch = 100000;

[[noreturn]] void die(const std::string& what, const char* detail) {
  std::fprintf(stderr, "footprint: %s failed: %s\n", what.c_str(), detail ? detail : "(no detail)");
  std::_Exit(1);
}

// A line of /proc/self/status in bytes ("VmRSS:", "VmHWM:").
double status_bytes(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) die("reading /proc/self/status", std::strerror(errno));
  char line[256];
  double kb = 0;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0) kb = std::atof(line + n);
  std::fclose(f);
  return kb * 1024;
}

// Resident bytes of this process, after handing freed heap back when `trim` is set.
double rss_bytes(bool trim = true) {
  if (trim) malloc_trim(0);
  return status_bytes("VmRSS:");
}

// Starts the peak (VmHWM) again from the current resident size.
void reset_peak() {
  FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) die("opening /proc/self/clear_refs", std::strerror(errno));
  std::fputs("5", f);
  std::fclose(f);
}

uint64_t bytes_under(const std::string& path) {
  uint64_t n = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(path))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

std::string text_of(long i) { return "row-" + std::to_string(i * 7919 % 1000003); }
long v_of(long i) { return i * 31 % 1000; }

// ---- QuilMarr ------------------------------------------------------------------------------

void qm_run(QmDb* db, const char* sql) {
  char* out = qm_query(db, sql);
  if (!out) die(sql, qm_last_error());
  qm_string_free(out);
}

void qm_load(QmDb* db, bool index) {
  qm_run(db, "CREATE TABLE t (id INT, v INT, s TEXT)");
  if (index) qm_run(db, "CREATE INDEX ON t (id)");
  std::string sets;
  for (long first = 0; first < g_rows; first += kBatch) {
    sets.clear();
    sets += '[';
    for (long i = first; i < std::min(first + kBatch, g_rows); ++i) {
      if (i != first) sets += ',';
      sets += '[';
      sets += std::to_string(i);
      sets += ',';
      sets += std::to_string(v_of(i));
      sets += ",\"";
      sets += text_of(i);
      sets += "\"]";
    }
    sets += ']';
    char* out = qm_execute_many(db, "INSERT INTO t VALUES (?, ?, ?)", sets.c_str());
    if (!out) die("qm_execute_many", qm_last_error());
    qm_string_free(out);
  }
  std::string().swap(sets);
}

// ---- SQLite --------------------------------------------------------------------------------

void sq_run(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) die(sql, err);
}

void sq_load(sqlite3* db) {
  sq_run(db, "CREATE TABLE t (id INT, v INT, s TEXT)");
  sq_run(db, "CREATE INDEX t_id ON t (id)");
  sqlite3_stmt* ins = nullptr;
  if (sqlite3_prepare_v2(db, "INSERT INTO t VALUES (?, ?, ?)", -1, &ins, nullptr) != SQLITE_OK)
    die("prepare", sqlite3_errmsg(db));
  for (long first = 0; first < g_rows; first += kBatch) {
    sq_run(db, "BEGIN");
    for (long i = first; i < std::min(first + kBatch, g_rows); ++i) {
      const std::string s = text_of(i);
      sqlite3_bind_int64(ins, 1, i);
      sqlite3_bind_int64(ins, 2, v_of(i));
      sqlite3_bind_text(ins, 3, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
      if (sqlite3_step(ins) != SQLITE_DONE) die("insert", sqlite3_errmsg(db));
      sqlite3_reset(ins);
    }
    sq_run(db, "COMMIT");
  }
  sqlite3_finalize(ins);
}

// ---- cases ---------------------------------------------------------------------------------

// Runs `body` in a child; it returns the case's RSS growth in bytes through a pipe.
double in_child(const std::function<double()>& body) {
  int fds[2];
  if (pipe(fds) != 0) die("pipe", std::strerror(errno));
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) die("fork", std::strerror(errno));
  if (pid == 0) {
    close(fds[0]);
    const double growth = body();
    if (write(fds[1], &growth, sizeof growth) != sizeof growth) std::_Exit(1);
    std::_Exit(0);
  }
  close(fds[1]);
  double growth = -1;
  if (read(fds[0], &growth, sizeof growth) != sizeof growth) die("case", "the child reported nothing");
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("case", "the child failed");
  return growth;
}

double qm_memory(bool index, bool trim) {
  return in_child([&] {
    const double before = rss_bytes(trim);
    QmDb* db = qm_open_memory();
    if (!db) die("qm_open_memory", qm_last_error());
    qm_load(db, index);
    const double growth = rss_bytes(trim) - before;
    qm_close(db);
    return growth;
  });
}

// The whole load as one INSERT statement of N tuples.
std::string one_statement() {
  std::string sql = "INSERT INTO t VALUES ";
  for (long i = 0; i < g_rows; ++i) {
    if (i != 0) sql += ',';
    sql += '(';
    sql += std::to_string(i);
    sql += ',';
    sql += std::to_string(v_of(i));
    sql += ",'";
    sql += text_of(i);
    sql += "')";
  }
  return sql;
}

double qm_statement_peak() {
  return in_child([&] {
    const std::string sql = one_statement();
    QmDb* db = qm_open_memory();
    if (!db) die("qm_open_memory", qm_last_error());
    qm_run(db, "CREATE TABLE t (id INT, v INT, s TEXT)");
    qm_run(db, "CREATE INDEX ON t (id)");
    const double before = rss_bytes(false);
    reset_peak();
    qm_run(db, sql.c_str());
    const double peak = status_bytes("VmHWM:") - before;
    qm_close(db);
    return peak;
  });
}

double sq_statement_peak() {
  return in_child([&] {
    const std::string sql = one_statement();
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) die("sqlite3_open", sqlite3_errmsg(db));
    sq_run(db, "CREATE TABLE t (id INT, v INT, s TEXT)");
    sq_run(db, "CREATE INDEX t_id ON t (id)");
    const double before = rss_bytes(false);
    reset_peak();
    sq_run(db, sql.c_str());
    const double peak = status_bytes("VmHWM:") - before;
    sqlite3_close(db);
    return peak;
  });
}

double qm_workspace(const std::string& dir, bool reopen) {
  return in_child([&] {
    double before = rss_bytes();
    QmDb* db = qm_open_dev(dir.c_str());
    if (!db) die("qm_open_dev", qm_last_error());
    if (reopen) {
      qm_close(db);
      before = rss_bytes();
      db = qm_open_dev(dir.c_str());
      if (!db) die("qm_open_dev", qm_last_error());
      // One full scan, so the page cache holds what a working database holds.
      qm_run(db, "SELECT COUNT(*) FROM t WHERE v = -1");
    } else {
      qm_load(db, true);
    }
    const double growth = rss_bytes() - before;
    qm_close(db);
    return growth;
  });
}

double sq_case(const std::string& path, bool trim = true) {
  return in_child([&] {
    const double before = rss_bytes(trim);
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) die("sqlite3_open", sqlite3_errmsg(db));
    sq_load(db);
    const double growth = rss_bytes(trim) - before;
    sqlite3_close(db);
    return growth;
  });
}

// Least and median of g_runs runs of a case.
struct Spread {
  double least, median;
};
Spread runs(const std::function<double()>& one) {
  std::vector<double> v;
  for (int i = 0; i < g_runs; ++i) v.push_back(one());
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2]};
}

std::string mb(double bytes) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f MB", bytes / 1e6);
  return buf;
}

std::string mb(Spread s) { return mb(s.least) + " / " + mb(s.median); }

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--rows" && i + 1 < argc) g_rows = std::atol(argv[++i]);
    else if (a == "--runs" && i + 1 < argc) g_runs = std::atoi(argv[++i]);
    else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else die("arguments", "usage: footprint [--rows N] [--runs R] [--dir PATH]");
  }
  if (g_rows < 1) die("arguments", "--rows must be positive");
  if (g_runs < 1) die("arguments", "--runs must be positive");
  const bool own_dir = dir.empty();
  if (own_dir) {
    char tmpl[] = "/tmp/qm_footprint_XXXXXX";
    if (!mkdtemp(tmpl)) die("mkdtemp", std::strerror(errno));
    dir = tmpl;
  }
  const std::string ws = dir + "/ws", sq_file = dir + "/t.sqlite";
  std::filesystem::remove_all(ws);
  std::filesystem::remove(sq_file);

  std::fprintf(stderr, "footprint: %ld rows\n", g_rows);
  const Spread mem_host = runs([] { return qm_memory(true, false); });
  const Spread sq_host = runs([] { return sq_case(":memory:", false); });
  const double mem_index = qm_memory(true, true);
  const double mem_plain = qm_memory(false, true);
  const Spread qm_peak = runs(qm_statement_peak);
  const Spread sq_peak = runs(sq_statement_peak);
  const double ws_load = qm_workspace(ws, false);
  const double ws_reopen = qm_workspace(ws, true);
  const double sq_mem = sq_case(":memory:");
  const double sq_disk = sq_case(sq_file);
  const uint64_t ws_bytes = bytes_under(ws);
  uint64_t sq_bytes = std::filesystem::file_size(sq_file);
  if (std::filesystem::exists(sq_file + "-wal")) sq_bytes += std::filesystem::file_size(sq_file + "-wal");

  std::printf("| %ld rows, index on id | QuilMarr | SQLite %s |\n|---|---:|---:|\n", g_rows, sqlite3_libversion());
  std::printf("| memory database: RSS growth as the host sees it (least / median of %d) | %s | %s (`:memory:`) |\n",
              g_runs, mb(mem_host).c_str(), mb(sq_host).c_str());
  std::printf("| memory database: RSS growth after malloc_trim | %s | %s (`:memory:`) |\n", mb(mem_index).c_str(),
              mb(sq_mem).c_str());
  std::printf("| the same without the index | %s | — |\n", mb(mem_plain).c_str());
  std::printf("| bytes per index entry (memory, with minus without) | %.1f | — |\n",
              (mem_index - mem_plain) / static_cast<double>(g_rows));
  std::printf("| workspace: RSS growth during the load | %s | %s (file database, default cache) |\n",
              mb(ws_load).c_str(), mb(sq_disk).c_str());
  std::printf("| workspace reopened, after one full scan: RSS growth | %s | — |\n", mb(ws_reopen).c_str());
  std::printf("| on disk | %s | %s |\n", mb(static_cast<double>(ws_bytes)).c_str(),
              mb(static_cast<double>(sq_bytes)).c_str());
  std::printf("| one INSERT of all rows as SQL text, memory database: peak RSS growth (least / median of %d) | %s | "
              "%s (`:memory:`) |\n",
              g_runs, mb(qm_peak).c_str(), mb(sq_peak).c_str());
  if (own_dir) std::filesystem::remove_all(dir);
  return 0;
}
