// Statements on a workspace that holds many long values (texts of more than 16 bytes, each a
// blob file named by the manifest), in one process:
// - a one-row INSERT of a new 28-byte text outside a transaction, on a table t (id, email)
//   holding 1,000 and 50,000 distinct 28-byte texts, beside writing and renaming a file of
//   the same manifest's size the way such a statement replaces its manifest (no flush to
//   stable storage), each `runs` times, interleaved;
// - 1,000 INSERTs of new long values inside one transaction at the same sizes;
// - the disk use under blobs/ for the 50,000 texts against the size of the texts.
// Least and median of each are printed.
//
// Usage: long_value_bench [runs] [dir]   (default 20 runs, the system's temporary directory)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

struct Spread {
  double least = 0, median = 0;
};
Spread spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2]};
}

// A distinct 28-byte e-mail address for each n below 10,000,000.
std::string email(int64_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "user%07lld@example-mail.org", static_cast<long long>(n));
  return buf;
}

std::string row(int64_t n) { return "(" + std::to_string(n) + ",'" + email(n) + "')"; }

// Bytes the file system gives to every file and directory under `dir`.
uint64_t disk_use(const std::string& dir) {
  uint64_t total = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    struct stat st {};
    if (::lstat(entry.path().c_str(), &st) == 0) total += static_cast<uint64_t>(st.st_blocks) * 512;
  }
  return total;
}

// Writes `bytes` to a temporary file and renames it over `path`, as a statement outside a
// transaction replaces the manifest.
void write_and_rename(const std::string& path, const std::string& bytes) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) die("open " + tmp);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) die("write " + tmp);
    done += static_cast<size_t>(n);
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) die("rename " + tmp);
  ::close(fd);
}

void print(const char* what, const Spread& s, double scale, const char* unit) {
  std::printf("| %s | %.3f / %.3f %s |\n", what, s.least * scale, s.median * scale, unit);
}

void run(const std::string& root, int64_t stored, int runs) {
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  const std::string ws = root + "/ws";
  QmDb* db = qm_open_dev(ws.c_str());
  if (!db) die(qm_last_error());
  qm(db, "CREATE TABLE t (id, email)");
  qm(db, "BEGIN");
  for (int64_t i = 0; i < stored; i += 1000) {
    std::string sql = "INSERT INTO t VALUES ";
    for (int64_t k = i; k < std::min(stored, i + 1000); ++k) sql += (k > i ? "," : "") + row(k);
    qm(db, sql);
  }
  qm(db, "COMMIT");
  ::sync();
  const std::string manifest = ws + "/qm_manifest.json";
  const auto manifest_size = std::filesystem::file_size(manifest);
  if (stored == 50000) {
    const uint64_t used = disk_use(ws + "/blobs");
    std::printf("| disk use under blobs/ for %lld texts of 28 bytes (%.2f MB of text) | %.1f MB |\n",
                static_cast<long long>(stored), stored * 28 / 1e6, used / 1e6);
  }

  const std::string same_size(manifest_size, 'x');
  const std::string other = root + "/plain_file";
  std::vector<double> insert, plain;
  int64_t next = 5000000;
  for (int r = 0; r < runs; ++r) {
    const std::string sql = "INSERT INTO t VALUES " + row(next++);
    auto start = Clock::now();
    qm(db, sql);
    insert.push_back(bench::seconds_since(start));
    start = Clock::now();
    write_and_rename(other, same_size);
    plain.push_back(bench::seconds_since(start));
  }
  char what[160];
  std::snprintf(what, sizeof what, "one-row INSERT outside a transaction, %lld long values stored (manifest %.2f MB)",
                static_cast<long long>(stored), manifest_size / 1e6);
  const Spread a = spread(insert), b = spread(plain);
  print(what, a, 1e3, "ms");
  std::snprintf(what, sizeof what, "  writing and renaming a file of %.2f MB", manifest_size / 1e6);
  print(what, b, 1e3, "ms");
  std::printf("|   INSERT / write+rename, least | %.2f |\n", a.least / b.least);

  std::vector<double> tx;
  for (int r = 0; r < std::max(3, runs / 4); ++r) {
    const auto start = Clock::now();
    qm(db, "BEGIN");
    for (int i = 0; i < 1000; ++i) qm(db, "INSERT INTO t VALUES " + row(next++));
    qm(db, "COMMIT");
    tx.push_back(bench::seconds_since(start));
  }
  std::snprintf(what, sizeof what, "1,000 INSERTs of new long values in one transaction, %lld stored",
                static_cast<long long>(stored));
  print(what, spread(tx), 1e3, "ms");
  qm_close(db);
  std::filesystem::remove_all(root);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = std::max(5, argc > 1 ? std::atoi(argv[1]) : 20);
  const std::string base = argc > 2 ? std::string(argv[2]) : std::filesystem::temp_directory_path().string();
  const std::string root = base + "/qm_long_value_bench_" + std::to_string(getpid());
  std::printf("| case | least / median |\n|---|---:|\n");
  for (int64_t stored : {1000, 50000}) run(root, stored, runs);
  return 0;
}
