// A workspace rollback restores the handle from what its transaction recorded, without
// re-reading the workspace: after every transaction, whether it committed, rolled back or
// failed part way, the handle must answer exactly as a handle freshly opened on the same
// directory does (rows, counts, lookups through every index, plans, a retrieval request,
// the clock), without and with the commit log. A rollback that meets a failure at any of its
// file-system calls either holds the state at begin or refuses every call but close, and the
// next open holds exactly what was committed.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/fs.h"
#include "ffi/db_handle.h"
#include "quilmarr.h"
#include "table/catalog_rebuild.h"
#include "support/c_api.h"
#include "support/page_set_check.h"
#include "support/faulty_fs.h"
#include "support/paired_run.h"

namespace qm::db {
namespace {

using test::CDb;
using test::expect_page_sets_match_walks;
using test::run_or_call;

const char* const kRetrieve =
    R"({"kind":"text","sql":"SELECT * FROM t0","id_column":"a","text_columns":["c"],"query":"blob store",)"
    R"("candidate_limit":50,"limit":50,"text_index":"ft"})";

// Everything compared between two handles (`full`), or the rows, counts, a retrieval request
// and the clock.
std::string answers(const CDb& db, bool full = true) {
  std::string out;
  for (const char* t : {"t0", "t1"}) {
    const std::string table = t;
    out += db.query("SELECT * FROM " + table) + "\n" + db.query("SELECT COUNT(*) FROM " + table) + "\n";
    if (!full) continue;
    for (const std::string& sql :
         {"SELECT a, b FROM " + table + " WHERE a = 7", "SELECT a FROM " + table + " WHERE b = 2",
          "SELECT a FROM " + table + " WHERE c = 3", "EXPLAIN SELECT * FROM " + table + " WHERE b = 1",
          "EXPLAIN SELECT * FROM " + table + " WHERE c = 1"})
      out += db.query(sql) + "\n";
  }
  out += test::take_json(qm_retrieve(db.get(), kRetrieve)) + "\n";
  if (full) out += test::state_stats(db) + "\n";
  return out + "clock " + std::to_string(db.clock());
}

class Work {
 public:
  explicit Work(uint32_t seed) : rng_(seed) {}

  // One statement inside a transaction: writes, long values (blob files), DDL, and
  // statements that fail part way (a repeated UNIQUE key in a batch of rows).
  std::string next() {
    const std::string t = pick(3) ? "t0" : "t1";
    switch (pick(14)) {
      case 0: return "CREATE TABLE " + t + " (a UNIQUE, b, c)";
      case 1: return "DROP TABLE " + t;
      case 2: return "CREATE INDEX ON " + t + " (" + (pick(2) ? "b" : "c") + ")";
      case 3: return "CREATE INDEX ft ON t0 USING FULLTEXT (c) WITH (id_column = 'a')";
      case 4: return "DROP INDEX ft";
      case 5: return "UPDATE " + t + " SET b = b + 1 WHERE a < " + std::to_string(pick(300));
      case 6: return "DELETE FROM " + t + " WHERE a < " + std::to_string(pick(300)) + " AND b = " + std::to_string(pick(4));
      case 7: return "UPDATE " + t + " SET c = '" + long_text() + "' WHERE b = " + std::to_string(pick(4));
      case 8: return "INSERT INTO " + t + " (a, b, c) VALUES (" + std::to_string(next_key_++) + ", 1, 'x'), (" +
                     std::to_string(pick(20)) + ", 2, 'y')";
      default: {
        std::string sql = "INSERT INTO " + t + " (a, b, c) VALUES ";
        const size_t rows = 1 + pick(pick(6) == 0 ? 150 : 3);  // sometimes enough for new pages
        for (size_t i = 0; i < rows; ++i) {
          if (i) sql += ", ";
          sql += "(" + std::to_string(next_key_++) + ", " + std::to_string(pick(4)) + ", " +
                 (t == "t0" || pick(3) ? "'" + long_text() + "'" : std::to_string(pick(5))) + ")";
        }
        return sql;
      }
    }
  }
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  // A failing 2-row batch: the second row repeats a key of the first.
  std::string failing_batch() {
    const std::string k = std::to_string(next_key_++);
    return "[[" + k + ",1,\"" + long_text() + "\"],[" + k + ",2,\"z\"]]";
  }

 private:
  std::string long_text() { return "a value long enough for the blob store " + std::to_string(pick(1000)); }

  std::mt19937 rng_;
  int64_t next_key_ = 1000;
};

void compare_with_fresh_handles(bool logged) {
  // In memory, so that the many flushes to stable storage cost nothing.
  test::FaultyFs disk;
  fs::ScopedFileSystem use(disk);
  disk.make_dirs("/ws");
  const std::string path = "/ws";
  CDb db = CDb::workspace(path);
  if (logged) {
    ASSERT_EQ(qm_enable_commit_log(db.get(), 0, 0, 0), 1) << test::last_error();
  }
  for (const char* sql : {"CREATE TABLE t0 (a UNIQUE, b, c)", "CREATE INDEX ON t0 (b)",
                          "CREATE TABLE t1 (a UNIQUE, b, c)", "CREATE INDEX ON t1 (c)",
                          "INSERT INTO t0 VALUES (1, 1, 'red blob store'), (2, 2, NULL), (7, 2, 'x')",
                          "CREATE INDEX ft ON t0 USING FULLTEXT (c) WITH (id_column = 'a')"})
    ASSERT_EQ(db.query(sql).find("error"), std::string::npos) << sql;
  // Enough rows for several pages per table, so changes reach pages other than the tails.
  for (const char* t : {"t0", "t1"}) {
    std::string rows = std::string("INSERT INTO ") + t + " VALUES ";
    for (int i = 10; i < 300; ++i)
      rows += (i > 10 ? ", (" : "(") + std::to_string(i) + ", " + std::to_string(i % 4) + ", 'v" + std::to_string(i) + "')";
    ASSERT_EQ(db.query(rows).find("error"), std::string::npos) << rows;
  }
  Work work(logged ? 11 : 10);
  for (int round = 0; round < 40; ++round) {
    std::string context = "round " + std::to_string(round) + ":";
    // What every rollback must give back, whatever the disk holds.
    const std::string at_begin = answers(db);
    bool committed = false;
    if (work.pick(5) == 0) {
      context += " failing batch";
      ASSERT_NE(db.execute_many("INSERT INTO t0 VALUES (?, ?, ?)", work.failing_batch()).find("error"),
                std::string::npos);
    } else {
      ASSERT_EQ(run_or_call(db, "BEGIN"), "ok") << context;
      const size_t statements = 1 + work.pick(5);
      for (size_t i = 0; i < statements && qm_in_transaction(db.get()); ++i) {
        const std::string sql = work.next();
        context += " " + sql + " -> " + run_or_call(db, sql).substr(0, 80) + ";";
        // Every third round pushes the changed pages to the chunk files before the end.
        if (round % 3 == 0) {
          ASSERT_TRUE(db.get()->db.flush().has_value()) << context;
        }
      }
      if (qm_in_transaction(db.get())) {
        const char* end = work.pick(2) ? "ROLLBACK" : "COMMIT";
        context += std::string(" ") + end;
        ASSERT_EQ(run_or_call(db, end), "ok") << context;
        committed = end[0] == 'C';
      }
    }
    expect_page_sets_match_walks(db, context);
    const std::string seen = answers(db);
    if (!committed) {
      ASSERT_EQ(seen, at_begin) << context;
    }
    CDb fresh = CDb::workspace(path);
    ASSERT_EQ(seen, answers(fresh)) << context;
  }
}

TEST(WorkspaceRollback, TheHandleAnswersAsAFreshOpenAfterEveryTransaction) { compare_with_fresh_handles(false); }

TEST(WorkspaceRollback, TheHandleAnswersAsAFreshOpenAfterEveryTransactionUnderTheCommitLog) {
  compare_with_fresh_handles(true);
}

// Every call but qm_close on a handle whose rollback failed: each must fail with a text
// that asks for a reopen.
std::vector<std::string> calls_on_refused_handle(const CDb& db) {
  std::vector<std::string> out;
  auto text = [&](bool ok) { return ok ? std::string("(ok)") : test::last_error(); };
  out.push_back(db.query("SELECT * FROM t0"));
  out.push_back(db.query("SELECT ?", "[1]"));
  out.push_back(db.execute_many("INSERT INTO t0 VALUES (?, ?, ?)", "[[100,1,1]]"));
  QmStmt* stmt = qm_prepare(db.get(), "SELECT * FROM t0");
  out.push_back(text(stmt != nullptr));
  qm_stmt_close(stmt);
  size_t len = 0;
  uint8_t* image = qm_export(db.get(), &len);
  out.push_back(text(image != nullptr));
  qm_bytes_free(image, len);
  out.push_back(test::take_json(qm_retrieve(db.get(), kRetrieve)));
  out.push_back(test::take_json(qm_import_sql(db.get(), "INSERT INTO t0 VALUES (101, 1, 1);")));
  (void)qm_current_tx(db.get());
  out.push_back(test::last_error());
  (void)qm_in_transaction(db.get());
  out.push_back(test::last_error());
  out.push_back(text(qm_begin_transaction(db.get())));
  out.push_back(text(qm_commit_transaction(db.get())));
  out.push_back(text(qm_rollback_transaction(db.get())));
  out.push_back(test::take_json(qm_commit_log_status(db.get())));
  out.push_back(test::take_json(qm_changes_since(db.get(), 0, 10)));
  out.push_back(text(qm_prune_changes(db.get(), 0)));
  out.push_back(text(qm_enable_commit_log(db.get(), 0, 0, 0)));
  return out;
}

// A workspace with committed rows (long values, a retrieval index) on `disk`; returns what
// a handle on it answers.
std::string committed_workspace(test::FaultyFs& disk, bool logged) {
  fs::ScopedFileSystem use(disk);
  disk.make_dirs("/ws");
  CDb db = CDb::workspace("/ws");
  if (logged) {
    EXPECT_EQ(qm_enable_commit_log(db.get(), 0, 0, 0), 1);
  }
  std::string rows = "INSERT INTO t0 VALUES (1, 1, 'red blob store one')";
  for (int i = 2; i < 40; ++i) rows += ", (" + std::to_string(i) + ", " + std::to_string(i % 4) + ", 'v" + std::to_string(i) + "')";
  // One commit: the log (whose commits a logged rollback looks over) stays short.
  EXPECT_EQ(run_or_call(db, "BEGIN"), "ok");
  for (const std::string& sql : {std::string("CREATE TABLE t0 (a UNIQUE, b, c)"), std::string("CREATE INDEX ON t0 (b)"),
                                 std::string("CREATE TABLE t1 (a UNIQUE, b, c)"), rows,
                                 std::string("CREATE INDEX ft ON t0 USING FULLTEXT (c) WITH (id_column = 'a')")})
    EXPECT_EQ(db.query(sql).find("error"), std::string::npos) << sql;
  EXPECT_EQ(run_or_call(db, "COMMIT"), "ok");
  return answers(db, /*full=*/false);
}

// On a copy of `base` (holding `committed`): a transaction that writes pages to the chunk
// files, creates blob files and a table; its rollback meets a failure at call `n` of kind
// `op` (none when n == 0). Returns the number of calls of `op` the rollback made.
uint64_t rollback_with_fault(const test::FaultyFs& base, const std::string& committed, bool logged,
                             test::FaultyFs::Op op, uint64_t n) {
  test::FaultyFs disk = base;
  fs::ScopedFileSystem use(disk);
  uint64_t made = 0;
  {
    CDb db = CDb::workspace("/ws");
    EXPECT_EQ(run_or_call(db, "BEGIN"), "ok");
    for (const char* sql : {"UPDATE t0 SET b = 9 WHERE a < 20",
                            "UPDATE t0 SET c = 'a value long enough for the blob store, changed' WHERE a < 10",
                            "INSERT INTO t1 VALUES (1, 2, 'another value long enough for the blob store')",
                            "CREATE TABLE t2 (x)", "DELETE FROM t0 WHERE a = 7"})
      EXPECT_EQ(db.query(sql).find("error"), std::string::npos) << sql;
    EXPECT_TRUE(db.get()->db.flush().has_value());
    EXPECT_EQ(db.query("INSERT INTO t1 VALUES (2, 3, 'one more value long enough for the blob store')").find("error"),
              std::string::npos);
    const uint64_t before = disk.calls(op);
    if (n != 0) disk.fail_nth(op, n);
    const int rolled = qm_rollback_transaction(db.get());
    const std::string failure = rolled ? "" : test::last_error();
    disk.clear_faults();
    made = disk.calls(op) - before;
    const std::string context = "logged " + std::to_string(logged) + " op " + std::to_string(int(op)) + " call " +
                                std::to_string(n) + ": " + failure;
    if (rolled) {
      EXPECT_EQ(answers(db, false), committed) << context;
    } else {
      EXPECT_EQ(failure.rfind("transaction outcome is unknown: ", 0), 0u) << context;
      for (const std::string& answer : calls_on_refused_handle(db))
        EXPECT_NE(answer.find("; reopen the database"), std::string::npos) << context << " answered " << answer;
    }
  }
  CDb reopened = CDb::workspace("/ws");
  EXPECT_EQ(answers(reopened, false), committed) << "logged " << logged << " op " << int(op) << " call " << n;
  return made;
}

void fail_each_call_in_turn(bool logged) {
  using Op = test::FaultyFs::Op;
  test::FaultyFs base;
  const std::string committed = committed_workspace(base, logged);
  for (auto op = Op::Open; op != Op::kCount; op = static_cast<Op>(static_cast<int>(op) + 1)) {
    const uint64_t calls = rollback_with_fault(base, committed, logged, op, 0);
    for (uint64_t n = 1; n <= calls && !::testing::Test::HasFailure(); ++n)
      rollback_with_fault(base, committed, logged, op, n);
  }
}

TEST(WorkspaceRollback, AFailureAtAnyStepHoldsTheStateAtBeginOrRefusesEveryCall) { fail_each_call_in_turn(false); }

TEST(WorkspaceRollback, AFailureAtAnyStepHoldsTheStateAtBeginOrRefusesEveryCallUnderTheCommitLog) {
  fail_each_call_in_turn(true);
}

}  // namespace
}  // namespace qm::db
