// A statement holds the workspace lock from its first read to its last write, and a
// transaction it opens takes that lock over, so no other handle commits between its
// validation and its write. What another handle committed just before the statement began
// is what the statement checks its rows against: the constraints as they are now.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/fs.h"
#include "db/database.h"
#include "support/db_test_util.h"
#include "support/temp_dir.h"

namespace {

using WriteRaceDir = qm::test::InTempDir;
using namespace qm::db::test;

using qm::db::Database;

// The real file system, with a hook run just before the n-th open of the workspace lock file
// (counted from arming); files are opened by the real file system, so only opens pass here.
class LockHookFs final : public qm::fs::FileSystem {
 public:
  void arm(int nth, std::function<void()> hook) {
    countdown_ = nth;
    hook_ = std::move(hook);
  }

  qm::Result<qm::fs::File> open(const std::string& path, unsigned flags, uint32_t mode) override {
    if (hook_ && path.ends_with(".qm_transaction.lock") && --countdown_ == 0) {
      auto hook = std::move(hook_);
      hook_ = nullptr;
      hook();
    }
    return real().open(path, flags, mode);
  }
  qm::Result<qm::fs::File> open_tmpfile(const std::string& dir) override { return real().open_tmpfile(dir); }
  qm::Result<void> rename(const std::string& from, const std::string& to) override { return real().rename(from, to); }
  qm::Result<void> rename_noreplace(const std::string& from, const std::string& to) override {
    return real().rename_noreplace(from, to);
  }
  qm::Result<void> unlink(const std::string& path) override { return real().unlink(path); }
  qm::Result<void> mkdir(const std::string& path, uint32_t mode) override { return real().mkdir(path, mode); }
  qm::Result<void> rmdir(const std::string& path) override { return real().rmdir(path); }
  qm::Result<void> chmod(const std::string& path, uint32_t mode) override { return real().chmod(path, mode); }
  qm::Result<std::optional<qm::fs::Stat>> lstat(const std::string& path) override { return real().lstat(path); }
  qm::Result<std::optional<qm::fs::Stat>> stat(const std::string& path) override { return real().stat(path); }
  qm::Result<std::vector<std::string>> list_dir(const std::string& path) override { return real().list_dir(path); }
  qm::Result<void> sync_dir(const std::string& path) override { return real().sync_dir(path); }

 protected:
  // Never reached: every file is opened, and so operated on, by the real file system.
  qm::Result<size_t> read_at(const qm::fs::File&, std::span<uint8_t>, uint64_t) override { return unreachable(); }
  qm::Result<void> write_all_at(const qm::fs::File&, std::span<const uint8_t>, uint64_t) override {
    return unreachable();
  }
  qm::Result<uint64_t> size(const qm::fs::File&) override { return unreachable(); }
  qm::Result<void> truncate(const qm::fs::File&, uint64_t) override { return unreachable(); }
  qm::Result<void> sync(const qm::fs::File&) override { return unreachable(); }
  qm::Result<bool> try_lock_exclusive(const qm::fs::File&) override { return unreachable(); }
  qm::Result<void> unlock(const qm::fs::File&) override { return unreachable(); }
  qm::Result<std::shared_ptr<const qm::fs::Mapping>> map_readonly(const qm::fs::File&, uint64_t) override {
    return unreachable();
  }
  void close(int) override {}

 private:
  static qm::fs::FileSystem& real() { return qm::fs::posix(); }
  static std::unexpected<qm::QmError> unreachable() { return qm::fail(qm::QmError::io("not a file of this file system")); }

  int countdown_ = 0;
  std::function<void()> hook_;
};

// Another handle changes the constraints just before the statement takes the lock: the
// statement is checked against them and refused whole.
TEST(WriteRace, ConstraintsChangedJustBeforeTheStatementAreEnforced) {
  const std::string duplicate = "error: schema error: duplicate value for unique column `u`";
  struct Race {
    std::vector<std::string> setup, other;
    std::string statement, refusal, rows_after, late_insert;
  } races[] = {
      {{"INSERT INTO t VALUES (1, 1)"}, {"CREATE UNIQUE INDEX ON t (u)"}, "INSERT INTO t VALUES (2, 5), (3, 5)",
       duplicate, "[[1,1]]", duplicate},
      {{"INSERT INTO t VALUES (1, 1), (2, 2)"}, {"CREATE UNIQUE INDEX ON t (u)"}, "UPDATE t SET u = 7 WHERE k > 0",
       duplicate, "[[1,1],[2,2]]", duplicate},
      {{}, {"DROP TABLE t", "CREATE TABLE t (k NOT NULL, u)"}, "INSERT INTO t VALUES (NULL, 1), (NULL, 2)",
       "error: schema error: column `k` may not be NULL", "[]", R"({"mutated":1})"},
  };
  for (const Race& race : races) {
    SCOPED_TRACE(race.statement);
    qm::test::TempDir dir;
    Database a = open_ok(dir.path());
    ASSERT_EQ(run(a, "CREATE TABLE t (k, u)"), R"({"done":true})");
    for (const auto& sql : race.setup) ASSERT_EQ(run(a, sql).rfind("error", 0), std::string::npos) << sql;
    Database b = open_ok(dir.path());
    // A handle that has not locked yet: its statement opens the lock file it then keeps.
    Database c = open_ok(dir.path());
    LockHookFs hooked;
    qm::fs::ScopedFileSystem scoped(hooked);
    // The hook runs just before the statement takes the lock.
    hooked.arm(1, [&] {
      for (const auto& sql : race.other) EXPECT_EQ(run(b, sql), R"({"done":true})") << sql;
    });
    EXPECT_EQ(run(c, race.statement), race.refusal);
    Database fresh = open_ok(dir.path());
    EXPECT_EQ(run(fresh, "SELECT * FROM t"), R"({"columns":["k","u"],"rows":)" + race.rows_after + "}");
    EXPECT_EQ(run(fresh, "INSERT INTO t VALUES (4, 1)"), race.late_insert);
  }
}

TEST_F(WriteRaceDir, WithNoOtherWriterTheStatementsRunOnTheWorkspace) {
  Database a = open_ok(tmp.path());
  ASSERT_EQ(run(a, "CREATE TABLE t (k UNIQUE, u)"), R"({"done":true})");
  for (int i = 0; i < 3; ++i) {
    const std::string k1 = std::to_string(10 * i + 1), k2 = std::to_string(10 * i + 2);
    ASSERT_EQ(run(a, "INSERT INTO t VALUES (" + k1 + ", 1), (" + k2 + ", 2)"), R"({"mutated":2})");
    ASSERT_EQ(run(a, "UPDATE t SET u = 3 WHERE u = 2"), R"({"mutated":1})");
    ASSERT_EQ(run(a, "DELETE FROM t WHERE u = 1"), R"({"mutated":1})");
  }
  EXPECT_EQ(run(a, "SELECT * FROM t"), R"({"columns":["k","u"],"rows":[[2,3],[12,3],[22,3]]})");
}

}  // namespace
