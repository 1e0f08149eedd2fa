// A host that breaks the one-caller-at-a-time rule of a handle: two threads hammer the same
// database handle and the same prepared statement. Nothing may crash or corrupt memory, and
// every call either succeeds or is refused with the busy text.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "support/c_api.h"
#include "support/temp_dir.h"

namespace qm::test {
namespace {

constexpr const char* kBusy = "error: database is busy: handle is in use by another thread";

TEST(HandleThreads, ASharedHandleServesOneCallAndRefusesTheOther) {
  CDb db = CDb::memory();
  ASSERT_EQ(db.query("CREATE TABLE t (id INT, body TEXT)"), R"({"done":true})");
  QmStmt* insert = qm_prepare(db.get(), "INSERT INTO t VALUES (?, 'row')");
  ASSERT_NE(insert, nullptr);

  constexpr int kRounds = 500;
  std::atomic<int> done{0}, refused{0};
  std::vector<std::string> unexpected[2];
  auto hammer = [&](int id) {
    for (int i = 0; i < kRounds; ++i) {
      const std::string calls[] = {
          db.query("INSERT INTO t VALUES (" + std::to_string(i) + ", 'x')"),
          db.query("SELECT COUNT(*) FROM t WHERE id >= 0"),
          take_json(qm_stmt_execute(insert, db.get(), ("[" + std::to_string(i) + "]").c_str())),
      };
      for (const std::string& got : calls) {
        if (got == kBusy) {
          ++refused;
        } else if (got.rfind("error: ", 0) == 0) {
          unexpected[id].push_back(got);
        } else {
          ++done;
        }
      }
    }
  };
  std::thread a(hammer, 0), b(hammer, 1);
  a.join();
  b.join();
  for (const auto& list : unexpected) EXPECT_TRUE(list.empty()) << list.front();
  EXPECT_EQ(done + refused, 2 * kRounds * 3);
  EXPECT_GT(done, 0);
  qm_stmt_close(insert);
  // The handle is whole afterwards and is used again at once.
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM t WHERE body = 'nothing'"), R"({"columns":["count"],"rows":[[0]]})");
}

// The threads of this process, by id.
std::set<std::string> threads() {
  std::set<std::string> out;
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return out;
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.') out.insert(e->d_name);
  closedir(dir);
  return out;
}

// The signals a thread blocks, from its status file.
uint64_t blocked_signals(const std::string& tid) {
  std::ifstream status("/proc/self/task/" + tid + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("SigBlk:", 0) == 0) return std::stoull(line.substr(7), nullptr, 16);
  return 0;
}

// A workspace handle keeps a helper thread that closes the manifests its statements replace:
// a host's signal handler must never run there, and it goes with the handle.
TEST(HandleThreads, AWorkspaceHandlesHelperThreadBlocksSignalsAndEndsWithTheHandle) {
  TempDir tmp;
  const std::set<std::string> before = threads();
  CDb db = CDb::workspace(tmp.join("ws"));
  ASSERT_EQ(db.query("CREATE TABLE t (id)"), R"({"done":true})");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(db.query("INSERT INTO t VALUES (" + std::to_string(i) + ")"), R"({"mutated":1})");
  std::vector<std::string> added;
  for (const std::string& tid : threads())
    if (!before.contains(tid)) added.push_back(tid);
  ASSERT_EQ(added.size(), 1u);
  const uint64_t mask = blocked_signals(added[0]);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGALRM, SIGCHLD, SIGPIPE})
    EXPECT_TRUE(mask & (uint64_t{1} << (sig - 1))) << "signal " << sig << " reaches the helper";
  db.close();
  EXPECT_EQ(threads(), before);
}

}  // namespace
}  // namespace qm::test
