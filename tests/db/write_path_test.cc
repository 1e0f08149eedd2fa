// The write path's observers see every stored version, deletion mark, statement end and
// DDL change, after the change, and a rollback as one replaced catalog.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "table/catalog.h"
#include "db/database.h"
#include "table/write_observers.h"
#include "support/db_test_util.h"
#include "support/database_test_access.h"

namespace qm::db {
namespace {

class Recorder final : public WriteObserver {
 public:
  explicit Recorder(std::vector<std::string>* log) : log_(log) {}
  Result<void> row_stored(std::string_view t, uint64_t, std::span<const Value> values) override {
    return note("stored " + std::string(t) + " " + std::to_string(values[0].as_int()));
  }
  Result<void> row_marked(std::string_view t, uint64_t, uint64_t deleted_tx) override {
    return note("marked " + std::string(t) + " at " + std::to_string(deleted_tx));
  }
  Result<void> statement_written(std::string_view t) override { return note("statement " + std::string(t)); }
  Result<void> table_created(std::string_view t) override { return note("created " + std::string(t)); }
  Result<void> table_dropped(std::string_view t) override { return note("dropped " + std::string(t)); }
  Result<void> catalog_replaced(const Catalog& c) override {
    (void)note("replaced " + std::to_string(c.tables().size()));
    return fail_next ? fail(QmError::query("observer refused")) : Result<void>();
  }
  bool fail_next = false;

 private:
  Result<void> note(std::string line) {
    log_->push_back(std::move(line));
    return {};
  }
  std::vector<std::string>* log_;
};

TEST(WritePath, ObserversSeeEveryWriteOnceInOrder) {
  Database db = Database::open_memory();
  std::vector<std::string> log;
  qm::db::DatabaseTestAccess::add_write_observer(db, std::make_unique<Recorder>(&log));
  const std::vector<std::pair<std::string, std::vector<std::string>>> steps = {
      {"CREATE TABLE t (a INT)", {"created t"}},
      {"INSERT INTO t VALUES (1), (2)", {"stored t 1", "stored t 2", "statement t"}},
      {"UPDATE t SET a = 3 WHERE a = 2", {"marked t at 3", "stored t 3", "statement t"}},
      {"DELETE FROM t WHERE a = 1", {"marked t at 5", "statement t"}},
      {"UPDATE t SET a = 4 WHERE a = 9", {}},
      {"DROP TABLE t", {"dropped t"}},
  };
  for (const auto& [sql, expected] : steps) {
    log.clear();
    ASSERT_EQ(test::run(db, sql).rfind("error", 0), std::string::npos) << sql;
    EXPECT_EQ(log, expected) << sql;
  }
}

TEST(WritePath, RollbackReplacesTheCatalogAndAnObserverFailureIsReported) {
  Database db = Database::open_memory();
  std::vector<std::string> log;
  auto owned = std::make_unique<Recorder>(&log);
  Recorder* recorder = owned.get();
  qm::db::DatabaseTestAccess::add_write_observer(db, std::move(owned));
  test::run(db, "CREATE TABLE t (a INT)");
  ASSERT_TRUE(db.begin_transaction().has_value());
  test::run(db, "INSERT INTO t VALUES (1)");
  log.clear();
  ASSERT_TRUE(db.rollback_transaction().has_value());
  EXPECT_EQ(log, std::vector<std::string>{"replaced 1"});
  EXPECT_EQ(test::run(db, "SELECT a FROM t"), R"({"columns":["a"],"rows":[]})");

  ASSERT_TRUE(db.begin_transaction().has_value());
  recorder->fail_next = true;
  EXPECT_EQ(db.rollback_transaction().error().kind, ErrorKind::TransactionOutcomeUnknown);
  EXPECT_FALSE(db.in_transaction());
}

// Running out of memory in the middle of a statement is an error like any other: the
// statement's rollback runs, nothing of it stays and no transaction is left open.
TEST(WritePath, RunningOutOfMemoryMidStatementRollsItBack) {
  struct ThrowsAtThird final : WriteObserver {
    int stored = 0;
    Result<void> row_stored(std::string_view, uint64_t, std::span<const Value>) override {
      if (++stored == 3) throw std::bad_alloc();
      return {};
    }
  };
  Database db = Database::open_memory();
  test::run(db, "CREATE TABLE t (a INT)");
  test::run(db, "CREATE INDEX ON t (a)");
  DatabaseTestAccess::add_write_observer(db, std::make_unique<ThrowsAtThird>());
  EXPECT_EQ(test::run(db, "INSERT INTO t VALUES (1), (2), (3), (4)"),
            "error: query resource limit exceeded: out of memory");
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(test::run(db, "SELECT a FROM t WHERE a = 1"), R"({"columns":["a"],"rows":[]})");
  EXPECT_EQ(test::run(db, "INSERT INTO t VALUES (5), (6)"), R"({"mutated":2})");
}

}  // namespace
}  // namespace qm::db
