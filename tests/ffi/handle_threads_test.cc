// A host that breaks the one-caller-at-a-time rule of a handle: two threads hammer the same
// database handle and the same prepared statement. Nothing may crash or corrupt memory, and
// every call either succeeds or is refused with the busy text.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/c_api.h"

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

}  // namespace
}  // namespace qm::test
