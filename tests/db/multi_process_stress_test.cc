// Four processes on one workspace for a bounded time (about 12 s of work): random reads,
// single statements, statements that run as their own transaction, explicit transactions
// that commit or roll back, and exports. Process 0 is killed with SIGKILL now and then and
// started again. Every process logs, with one write per line, what it is about to do and
// whether it was acknowledged, so a kill leaves at most one operation of unknown outcome.
// At the end the workspace must hold exactly the acknowledged commits (the unknown ones
// whole or not at all), and no read may ever have returned a row that was never committed.
//
// Process 0 runs no single-row statement outside a transaction: those rewrite the manifest in
// place after their page, and a kill between the two is not what this test is about.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/c_api.h"
#include "support/crash_harness.h"
#include "support/temp_dir.h"

namespace qm::test {
namespace {

using MultiProcessStressDir = qm::test::InTempDir;
using Clock = std::chrono::steady_clock;
using Keys = std::set<int64_t>;

constexpr int kProcesses = 4;
constexpr auto kRunFor = std::chrono::seconds(12);
constexpr int64_t kRange = 1'000'000;  // keys of one incarnation: [base, base + kRange)

const std::string kBusyPrefix = "error: transaction error: workspace transaction is active in another handle or process";

bool busy(const std::string& r) { return r.rfind(kBusyPrefix, 0) == 0; }

// The integers of a result's "rows" (one column).
Keys keys_of(const std::string& json) {
  Keys out;
  const auto doc = nlohmann::json::parse(json, nullptr, false);
  if (doc.is_object() && doc.contains("rows"))
    for (const auto& row : doc["rows"]) out.insert(row.at(0).get<int64_t>());
  return out;
}

std::string list(const Keys& keys) {
  std::string out;
  for (int64_t k : keys) out += " " + std::to_string(k);
  return out;
}

class Worker {
 public:
  Worker(int slot, int incarnation, const std::string& ws, const std::string& log, Clock::time_point until)
      : slot_(slot), base_((int64_t{slot} * 1000 + incarnation) * kRange), ws_(ws), until_(until),
        rng_(uint64_t(slot) * 7919 + uint64_t(incarnation)) {
    fd_ = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  }

  int run() {
    QmDb* raw = nullptr;
    while (!raw && Clock::now() < until_) {
      raw = qm_open_dev(ws_.c_str());
      if (!raw) usleep(2000);
    }
    if (!raw) return 0;
    db_ = CDb(raw);
    while (Clock::now() < until_) {
      if (!step()) return 2;
    }
    db_.close();
    return 0;
  }

 private:
  bool step() {
    switch (std::uniform_int_distribution<int>(0, slot_ == 0 ? 5 : 7)(rng_)) {
      case 0: return read_own();
      case 1: return read_all();
      case 2: return transaction();
      case 3: return statement(1);
      case 4: return export_image();
      case 5: return transaction();
      case 6: return statement(0);
      default: return statement(2);
    }
  }

  // A busy workspace is tried again a little later, not at once.
  void back_off() { usleep(std::uniform_int_distribution<useconds_t>(500, 3000)(rng_)); }
  void log(const std::string& line) { (void)!::write(fd_, (line + "\n").data(), line.size() + 1); }
  bool fault(const std::string& what) {
    log("X " + what);
    return false;
  }
  // An answer that is neither the expected one nor busy ends the run.
  bool settle(uint64_t op, const std::string& got, const std::string& want) {
    if (got == want) {
      log("A " + std::to_string(op));
      return true;
    }
    if (busy(got)) {
      log("F " + std::to_string(op));
      back_off();
      return true;
    }
    return fault("op " + std::to_string(op) + ": " + got);
  }
  int64_t fresh_key() { return base_ + int64_t(next_key_++); }
  std::optional<int64_t> some_own_key() {
    if (own_.empty()) return std::nullopt;
    auto it = own_.begin();
    std::advance(it, std::uniform_int_distribution<size_t>(0, own_.size() - 1)(rng_));
    return *it;
  }
  std::string own_range() const {
    return "k >= " + std::to_string(base_) + " AND k < " + std::to_string(base_ + kRange);
  }

  bool read_own() {
    const std::string got = db_.query("SELECT k FROM t WHERE " + own_range());
    if (busy(got)) return back_off(), true;
    if (keys_of(got) != own_) return fault("own rows read as" + list(keys_of(got)) + ", expected" + list(own_));
    return true;
  }

  bool read_all() {
    const std::string got = db_.query("SELECT k FROM t");
    if (busy(got)) return back_off(), true;
    if (got.rfind("error:", 0) == 0) return fault(got);
    log("S" + list(keys_of(got)));
    return true;
  }

  // One statement outside a transaction: one or two fresh rows, or one own row deleted.
  bool statement(int kind) {
    Keys in, out;
    std::string sql;
    if (kind == 2) {
      auto k = some_own_key();
      if (!k) return true;
      out.insert(*k);
      sql = "DELETE FROM t WHERE k = " + std::to_string(*k);
    } else {
      sql = "INSERT INTO t VALUES ";
      for (int i = 0; i <= kind; ++i) {
        const int64_t k = fresh_key();
        in.insert(k);
        sql += (i ? ", (" : "(") + std::to_string(k) + ", " + std::to_string(slot_) + ")";
      }
    }
    const uint64_t op = ++ops_;
    std::string line = "B " + std::to_string(op);
    for (int64_t k : in) line += " +" + std::to_string(k);
    for (int64_t k : out) line += " -" + std::to_string(k);
    log(line);
    const std::string want = R"({"mutated":)" + std::to_string(in.size() + out.size()) + "}";
    const std::string got = db_.query(sql);
    if (got == want) {
      own_.insert(in.begin(), in.end());
      for (int64_t k : out) own_.erase(k);
    }
    return settle(op, got, want);
  }

  bool transaction() {
    const std::string begun = db_.query("BEGIN");
    if (busy(begun)) return back_off(), true;
    if (begun != R"({"done":true})") return fault("BEGIN: " + begun);
    const uint64_t op = ++ops_;
    const int64_t a = fresh_key(), b = fresh_key();
    const auto gone = some_own_key();
    log("B " + std::to_string(op) + " +" + std::to_string(a) + " +" + std::to_string(b) +
        (gone ? " -" + std::to_string(*gone) : ""));
    Keys inside = own_;
    for (int64_t k : {a, b}) {
      const std::string got = db_.query("INSERT INTO t VALUES (" + std::to_string(k) + ", " + std::to_string(slot_) + ")");
      if (got != R"({"mutated":1})") return fault("insert in transaction: " + got);
      inside.insert(k);
    }
    if (gone) {
      const std::string got = db_.query("DELETE FROM t WHERE k = " + std::to_string(*gone));
      if (got != R"({"mutated":1})") return fault("delete in transaction: " + got);
      inside.erase(*gone);
    }
    const std::string seen = db_.query("SELECT k FROM t WHERE " + own_range());
    if (keys_of(seen) != inside) return fault("transaction reads its rows as" + list(keys_of(seen)));
    if (std::uniform_int_distribution<int>(0, 2)(rng_) == 0) {
      const std::string got = db_.query("ROLLBACK");
      if (got != R"({"done":true})") return fault("ROLLBACK: " + got);
      log("R " + std::to_string(op));
      return true;
    }
    const std::string got = db_.query("COMMIT");
    if (got != R"({"done":true})") return fault("COMMIT: " + got);
    own_ = std::move(inside);
    log("A " + std::to_string(op));
    return true;
  }

  bool export_image() {
    size_t len = 0;
    uint8_t* image = qm_export(db_.get(), &len);
    if (!image) {
      const std::string error = "error: " + last_error();
      if (!busy(error)) return fault("export: " + error);
      back_off();
      return true;
    }
    CDb copy(qm_import(image, len));
    qm_bytes_free(image, len);
    if (!copy.get()) return fault("import: " + last_error());
    const std::string got = copy.query("SELECT k FROM t WHERE " + own_range());
    if (keys_of(got) != own_) return fault("export holds own rows" + list(keys_of(got)) + ", expected" + list(own_));
    return true;
  }

  int slot_;
  int64_t base_;
  std::string ws_;
  Clock::time_point until_;
  std::mt19937_64 rng_;
  int fd_ = -1;
  CDb db_{nullptr};
  Keys own_;
  uint64_t next_key_ = 0;
  uint64_t ops_ = 0;
};

pid_t spawn(int slot, int incarnation, const std::string& ws, const std::string& log, Clock::time_point until) {
  pid_t pid = fork();
  if (pid == 0) _exit(Worker(slot, incarnation, ws, log, until).run());
  return pid;
}

// What one incarnation's log says.
struct History {
  Keys acked_in, acked_out, never, unknown_in, unknown_out, seen;
  std::vector<std::string> faults;
  uint64_t acked = 0, rolled_back = 0, busy = 0, reads = 0, open_ops = 0;
};

void read_log(const std::string& path, History& h) {
  std::ifstream in(path);
  std::map<uint64_t, std::pair<Keys, Keys>> begun;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string tag;
    words >> tag;
    if (tag == "X") {
      h.faults.push_back(line);
    } else if (tag == "S") {
      ++h.reads;
      int64_t k;
      while (words >> k) h.seen.insert(k);
    } else if (tag == "B") {
      uint64_t op;
      words >> op;
      std::string key;
      while (words >> key) (key[0] == '+' ? begun[op].first : begun[op].second).insert(std::stoll(key.substr(1)));
    } else if (tag == "A" || tag == "F" || tag == "R") {
      uint64_t op;
      words >> op;
      auto [in_keys, out_keys] = begun[op];
      begun.erase(op);
      if (tag == "A") {
        ++h.acked;
        h.acked_in.insert(in_keys.begin(), in_keys.end());
        h.acked_out.insert(out_keys.begin(), out_keys.end());
      } else {
        ++(tag == "R" ? h.rolled_back : h.busy);
        h.never.insert(in_keys.begin(), in_keys.end());
      }
    }
  }
  h.open_ops += begun.size();
  for (auto& [op, keys] : begun) {
    h.unknown_in.insert(keys.first.begin(), keys.first.end());
    h.unknown_out.insert(keys.second.begin(), keys.second.end());
  }
}

TEST_F(MultiProcessStressDir, WorkspaceHoldsExactlyTheAcknowledgedCommits) {
  {
    CDb db = CDb::workspace(ws);
    ASSERT_EQ(db.query("CREATE TABLE t (k INT, p INT)"), R"({"done":true})");
  }
  const auto until = Clock::now() + kRunFor;
  std::vector<std::string> logs;
  auto log_path = [&](int slot, int incarnation) {
    logs.push_back(tmp.join("log_" + std::to_string(slot) + "_" + std::to_string(incarnation)));
    return logs.back();
  };
  std::vector<pid_t> pids(kProcesses);
  for (int slot = 0; slot < kProcesses; ++slot) pids[slot] = spawn(slot, 0, ws, log_path(slot, 0), until);
  std::mt19937_64 rng(42);
  int kills = 0, incarnation = 0;
  while (Clock::now() + std::chrono::milliseconds(700) < until) {
    usleep(std::uniform_int_distribution<useconds_t>(150000, 600000)(rng));
    kills += kill_and_reap(pids[0]);
    ++incarnation;
    pids[0] = spawn(0, incarnation, ws, log_path(0, incarnation), until);
  }
  for (pid_t pid : pids) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a worker ended with status " << status;
  }

  History all;
  for (const std::string& path : logs) read_log(path, all);
  for (const std::string& fault : all.faults) ADD_FAILURE() << fault;
  EXPECT_LE(all.open_ops, uint64_t(kills)) << "only a killed process leaves an operation open";

  CDb db = CDb::workspace(ws);
  const std::string rows = db.query("SELECT k FROM t");
  ASSERT_EQ(rows.rfind("{", 0), 0u) << rows;
  const Keys stored = keys_of(rows);
  Keys expected;
  for (int64_t k : all.acked_in)
    if (!all.acked_out.contains(k)) expected.insert(k);
  for (int64_t k : expected) {
    EXPECT_TRUE(stored.contains(k) || all.unknown_out.contains(k)) << "acknowledged row " << k << " is lost";
  }
  for (int64_t k : stored)
    EXPECT_TRUE(expected.contains(k) || all.unknown_in.contains(k)) << "row " << k << " was never acknowledged";
  for (int64_t k : all.never) {
    EXPECT_FALSE(stored.contains(k)) << "rolled-back or refused row " << k << " is stored";
    EXPECT_FALSE(all.seen.contains(k)) << "a read returned row " << k << ", which was never committed";
  }
  std::cout << "[stress] " << all.acked << " acknowledged writes, " << all.rolled_back << " rolled back, "
            << all.busy << " refused as busy, "
            << all.reads << " full reads, " << kills << " kills survived, " << stored.size() << " rows at the end\n";
  EXPECT_GT(kills, 5);
  EXPECT_GT(all.acked, 10u);
}

}  // namespace
}  // namespace qm::test
