// Opening a workspace after a clean close (the index entries read from the manifest's pairs)
// beside opening the same workspace after a crash (the indexed table rescanned), and the cost
// of the clean close that writes those pairs. Table t (id UNIQUE, v, w) with a second index on
// w, at 100,000 and 1,000,000 rows; the peer is SQLite opening the same rows (a file with the
// same two indexes) and answering its first point query.
//
// Each measurement runs in a child process of its own (this program again), so its peak memory
// (VmHWM) is that of one open or one close and nothing else:
// - open: the time of qm_open_dev, and the process's peak after it (absolute, and the growth
//   over the process before the open);
// - close: the workspace is opened (rescan) and changed by one statement that writes no pairs,
//   the peak is reset (/proc/self/clear_refs 5), then qm_close is timed and the growth of the
//   peak it caused is read.
// Each case runs `runs` times; least and median are printed.
//
// Usage: open_bench [runs] [dir] [rows...]   (default 5 runs, $TMPDIR or /tmp, 100000 1000000)
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "quilmarr.h"

namespace {

using bench::Clock;
using bench::die;
using bench::qm;
using bench::seconds_since;
using bench::sq;

// A field of /proc/self/status in kB (VmHWM, VmRSS), or -1.
long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  return -1;
}

// Resets the peak to the current resident size; false where the kernel does not allow it.
bool reset_peak() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

// Child: one open of `ws`. Prints seconds, peak kB and resident kB before the open.
int child_open(const std::string& ws) {
  const long before = status_kb("VmRSS");
  const auto start = Clock::now();
  QmDb* db = qm_open_dev(ws.c_str());
  const double t = seconds_since(start);
  if (!db) die(qm_last_error());
  std::printf("%.9f %ld %ld\n", t, status_kb("VmHWM"), before);
  std::fflush(stdout);
  std::_Exit(0);  // the handle's release is not measured
}

// Child: open, one statement, then the timed close. Prints seconds and the peak's growth (kB).
int child_close(const std::string& ws) {
  QmDb* db = qm_open_dev(ws.c_str());
  if (!db) die(qm_last_error());
  qm(db, "DELETE FROM t WHERE id = -1");  // matches nothing; its manifest leaves the pairs out
  const bool reset = reset_peak();
  const long before = reset ? status_kb("VmHWM") : status_kb("VmRSS");
  const auto start = Clock::now();
  qm_close(db);
  const double t = seconds_since(start);
  std::printf("%.9f %ld %d\n", t, status_kb("VmHWM") - before, reset ? 1 : 0);
  std::fflush(stdout);
  std::_Exit(0);
}

std::string self_path() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) die("cannot resolve /proc/self/exe");
  return p.string();
}

// Runs this program as a child and returns the numbers it printed.
std::vector<double> run_child(const std::string& mode, const std::string& ws) {
  std::string cmd = "'";
  cmd += self_path();
  cmd += "' --child ";
  cmd += mode;
  cmd += " '";
  cmd += ws;
  cmd += "'";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) die("popen failed");
  std::vector<double> out;
  double x;
  while (std::fscanf(f, "%lf", &x) == 1) out.push_back(x);
  if (pclose(f) != 0 || out.size() < 3) die("child " + mode + " failed");
  return out;
}

struct Spread {
  double least = 0, median = 0;
};
Spread spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2]};
}

std::string rows_sql(int64_t from, int64_t to) {
  std::string sql = "INSERT INTO t VALUES ";
  for (int64_t i = from; i < to; ++i) {
    if (i > from) sql += ',';
    sql += '(';
    sql += std::to_string(i);
    sql += ",'row-";
    sql += std::to_string(i);
    sql += "',";
    sql += std::to_string(i % 1000);
    sql += ')';
  }
  return sql;
}

void copy_over(const std::string& from, const std::string& to) {
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
}

void run_size(const std::string& root, int64_t rows, int runs) {
  const std::string dir = root + "/qm_open_bench_" + std::to_string(rows);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string ws = dir + "/ws";
  const std::string sqlite_path = dir + "/peer.sqlite";
  {
    QmDb* db = qm_open_dev(ws.c_str());
    if (!db) die(qm_last_error());
    sqlite3* s = nullptr;
    if (sqlite3_open(sqlite_path.c_str(), &s) != SQLITE_OK) die("sqlite open");
    qm(db, "CREATE TABLE t (id INT UNIQUE, v TEXT, w INT)");
    qm(db, "CREATE INDEX ON t (w)");
    sq(s, "CREATE TABLE t (id INTEGER UNIQUE, v TEXT, w INTEGER); CREATE INDEX t_w ON t (w)");
    qm(db, "BEGIN");
    sq(s, "BEGIN");
    for (int64_t i = 0; i < rows; i += 1000) {
      const std::string sql = rows_sql(i, std::min(rows, i + 1000));
      qm(db, sql);
      sq(s, sql);
    }
    qm(db, "COMMIT");
    sq(s, "COMMIT");
    qm(db, "DELETE FROM t WHERE id = -1");  // a statement's manifest: no pairs
    sqlite3_close(s);
    copy_over(ws + "/qm_manifest.json", dir + "/crash_manifest.json");
    qm_close(db);  // a clean close writes the pairs
    copy_over(ws + "/qm_manifest.json", dir + "/clean_manifest.json");
  }
  const double manifest_mb = static_cast<double>(std::filesystem::file_size(dir + "/clean_manifest.json")) / 1e6;
  const double crash_mb = static_cast<double>(std::filesystem::file_size(dir + "/crash_manifest.json")) / 1e6;

  std::vector<double> clean_t, clean_peak, clean_growth, crash_t, crash_peak, crash_growth, close_t, close_growth,
      peer_t;
  bool reset = true;
  for (int r = 0; r < runs; ++r) {
    copy_over(dir + "/clean_manifest.json", ws + "/qm_manifest.json");
    auto c = run_child("open", ws);
    clean_t.push_back(c[0]), clean_peak.push_back(c[1] / 1024), clean_growth.push_back((c[1] - c[2]) / 1024);
    copy_over(dir + "/crash_manifest.json", ws + "/qm_manifest.json");
    auto k = run_child("open", ws);
    crash_t.push_back(k[0]), crash_peak.push_back(k[1] / 1024), crash_growth.push_back((k[1] - k[2]) / 1024);
    copy_over(dir + "/crash_manifest.json", ws + "/qm_manifest.json");
    auto x = run_child("close", ws);
    close_t.push_back(x[0]), close_growth.push_back(x[1] / 1024);
    reset = reset && x[2] != 0;
    // The peer: open and first point query.
    const auto start = Clock::now();
    sqlite3* s = nullptr;
    if (sqlite3_open(sqlite_path.c_str(), &s) != SQLITE_OK) die("sqlite open");
    sq(s, "SELECT v FROM t WHERE id = " + std::to_string(rows / 2));
    peer_t.push_back(seconds_since(start));
    sqlite3_close(s);
  }
  auto ms = [](const std::vector<double>& v) {
    Spread s = spread(v);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f / %.1f ms", s.least * 1e3, s.median * 1e3);
    return std::string(buf);
  };
  auto mb = [](const std::vector<double>& v) {
    Spread s = spread(v);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f / %.1f MB", s.least, s.median);
    return std::string(buf);
  };
  std::printf("%lld rows: manifest %.2f MB after a clean close, %.2f MB after a statement\n",
              static_cast<long long>(rows), manifest_mb, crash_mb);
  std::printf("| case | time least / median | peak of the process least / median | peak growth least / median |\n");
  std::printf("| open after a clean close (pairs read) | %s | %s | %s |\n", ms(clean_t).c_str(), mb(clean_peak).c_str(),
              mb(clean_growth).c_str());
  std::printf("| open after a crash (rescan) | %s | %s | %s |\n", ms(crash_t).c_str(), mb(crash_peak).c_str(),
              mb(crash_growth).c_str());
  std::printf("| clean close (writes the pairs) | %s | | %s%s |\n", ms(close_t).c_str(), mb(close_growth).c_str(),
              reset ? "" : " (peak not reset: RSS growth)");
  std::printf("| SQLite: open and first point query | %s | | |\n", ms(peer_t).c_str());
  std::printf("targets: clean/rescan time (median) %.2f; clean peak - rescan peak (median) %.1f MB <= %.1f MB; "
              "close growth (median) %.1f MB <= %.1f MB\n\n",
              spread(clean_t).median / spread(crash_t).median, spread(clean_peak).median - spread(crash_peak).median,
              1.5 * manifest_mb, spread(close_growth).median, 1.5 * manifest_mb);
  std::fflush(stdout);
  std::filesystem::remove_all(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--child") == 0) {
    if (std::strcmp(argv[2], "open") == 0) return child_open(argv[3]);
    if (std::strcmp(argv[2], "close") == 0) return child_close(argv[3]);
    die("unknown child mode");
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const char* tmp = std::getenv("TMPDIR");
  const std::string root = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
  std::vector<int64_t> sizes;
  for (int i = 3; i < argc; ++i) sizes.push_back(std::atoll(argv[i]));
  if (sizes.empty()) sizes = {100000, 1000000};
  for (int64_t rows : sizes) run_size(root, rows, runs);
  return 0;
}
