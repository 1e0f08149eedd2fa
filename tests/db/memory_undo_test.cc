// Memory transactions keep an undo log; the image baked at begin is the reference. Two memory
// databases, one of each kind, run the same random statements (writes, long values, DDL,
// failing statements, commits and rollbacks) and must answer, count, describe themselves
// and export alike. The live row counts behind COUNT(*) are checked against a scanning
// count after every statement, and again after an export and re-import, and on a workspace
// across its rollbacks and reopens.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "table/catalog_rebuild.h"
#include "db/database.h"
#include "db/atomicity/transaction.h"
#include "ffi/db_handle.h"
#include "quilmarr.h"
#include "support/c_api.h"
#include "support/page_set_check.h"
#include "support/paired_run.h"
#include "support/temp_dir.h"

namespace qm::db {
namespace {

using test::CDb;
using test::expect_page_sets_match_walks;
using test::run_or_call;
using test::state_stats;

std::string exported(const CDb& db) { return test::export_image(db.get()).value_or(""); }

class RandomWork {
 public:
  explicit RandomWork(uint32_t seed) : rng_(seed) {}

  std::string next(bool in_tx) {
    const std::string t = "t" + std::to_string(pick(3));
    switch (pick(16)) {
      case 0: return "CREATE TABLE " + t + " (a UNIQUE, b, c)";
      case 1: return "DROP TABLE " + t;
      case 2: return "CREATE INDEX ON " + t + " (" + (pick(2) ? "b" : "c") + ")";
      case 3: return in_tx ? "COMMIT" : "BEGIN";
      case 4: return in_tx ? "ROLLBACK" : "BEGIN";
      case 5:  // often a duplicate of a unique value: the statement fails
        return "INSERT INTO " + t + " (a, b, c) VALUES (" + std::to_string(pick(40)) + ", 1, NULL)";
      case 6: return "UPDATE " + t + " SET b = b + 1 WHERE a < " + std::to_string(pick(40));
      case 7: return "DELETE FROM " + t + " WHERE a = " + std::to_string(pick(40));
      case 8: return "UPDATE " + t + " SET c = '" + long_text() + "' WHERE b = " + std::to_string(pick(4));
      default: {
        std::string sql = "INSERT INTO " + t + " (a, b, c) VALUES ";
        const size_t rows = 1 + pick(pick(8) == 0 ? 120 : 4);  // sometimes enough for new pages
        for (size_t i = 0; i < rows; ++i) {
          if (i) sql += ", ";
          sql += "(" + std::to_string(next_key_++) + ", " + std::to_string(pick(4)) + ", " +
                 (pick(3) ? "'" + long_text() + "'" : std::to_string(pick(100))) + ")";
        }
        return sql;
      }
    }
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  std::string long_text() { return "a value long enough for the blob store " + std::to_string(pick(50)); }

  std::mt19937 rng_;
  int64_t next_key_ = 40;
};

// COUNT(*) of every table from the kept count, and by a scan that filters nothing.
void expect_counts_match_scans(const CDb& db, const std::string& context) {
  for (int i = 0; i < 3; ++i) {
    const std::string t = "t" + std::to_string(i);
    EXPECT_EQ(db.query("SELECT COUNT(*) FROM " + t),
              db.query("SELECT COUNT(*) FROM " + t + " WHERE b IS NULL OR b IS NOT NULL"))
        << t << " after " << context;
  }
}

TEST(MemoryUndo, RollbackMatchesTheFullImageUnderRandomWork) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    CDb undo = CDb::memory();
    CDb image = CDb::memory();
    TransactionHost::use_full_image_transactions(image.get()->db, true);
    RandomWork work(seed);
    for (int step = 0; step < 200; ++step) {
      const std::string sql = work.next(qm_in_transaction(undo.get()));
      const std::string context = "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + sql;
      ASSERT_EQ(run_or_call(undo, sql), run_or_call(image, sql)) << context;
      ASSERT_EQ(qm_in_transaction(undo.get()), qm_in_transaction(image.get())) << context;
      expect_counts_match_scans(undo, context);
      expect_page_sets_match_walks(undo, context);
      for (int i = 0; i < 3; ++i) {
        const std::string select = "SELECT * FROM t" + std::to_string(i);
        ASSERT_EQ(undo.query(select), image.query(select)) << context;
      }
      if (qm_in_transaction(undo.get())) continue;
      ASSERT_EQ(undo.clock(), image.clock()) << context;
      ASSERT_EQ(state_stats(undo), state_stats(image)) << context;
      if (step % 10 == 0) {
        ASSERT_EQ(exported(undo), exported(image)) << context;
      }
    }
    const std::string bytes = exported(undo);
    ASSERT_FALSE(bytes.empty());
    CDb reopened(qm_import(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    expect_counts_match_scans(reopened, "re-import, seed " + std::to_string(seed));
  }
}

// A transaction that logs many blocks of index entries, with Int, Decimal and Text keys and
// row ids that jump from page to page, takes every entry back: the lookups after the rollback
// see only what was there before, and the same keys can be written again.
TEST(MemoryUndo, ALongTransactionTakesBackEveryIndexEntryOfEveryKind) {
  CDb db = CDb::memory();
  for (const char* sql : {"CREATE TABLE t (a, b)", "CREATE INDEX ON t (a)", "CREATE INDEX ON t (b)",
                          "INSERT INTO t VALUES (-1, 'before'), (-2, 2.5)"})
    ASSERT_EQ(run_or_call(db, sql).find("error"), std::string::npos) << sql;
  std::string insert = "INSERT INTO t VALUES (0, 'k0')";
  for (int i = 1; i < 6000; ++i) {
    const std::string n = std::to_string(i);
    insert += i % 3 == 0 ? ",(" + n + ", " + n + ".5)" : ",(" + n + ", 'k" + n + "')";
  }
  const std::string before = db.query("SELECT * FROM t WHERE a < 0");
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(run_or_call(db, "BEGIN"), "ok");
    ASSERT_EQ(run_or_call(db, insert), R"({"mutated":6000})");
    ASSERT_EQ(run_or_call(db, "ROLLBACK"), "ok");
    for (const char* probe : {"SELECT a FROM t WHERE a = 5001", "SELECT a FROM t WHERE b = 'k5002'",
                              "SELECT a FROM t WHERE b = 5004.5"})
      EXPECT_EQ(db.query(probe), R"({"columns":["a"],"rows":[]})") << probe;
    EXPECT_EQ(db.query("SELECT * FROM t WHERE a < 0"), before);
    EXPECT_EQ(db.query("SELECT a FROM t WHERE b = 'before'"), R"({"columns":["a"],"rows":[[-1]]})");
  }
}

// On a workspace a rollback and a reopen both forget the counts; the next COUNT(*) scans.
TEST(LiveRowCounts, MatchScansOnAWorkspaceAcrossRollbacksAndReopens) {
  test::TempDir tmp;
  const std::string path = tmp.join("ws");
  CDb db = CDb::workspace(path);
  RandomWork work(7);
  for (int step = 0; step < 60; ++step) {
    const std::string sql = work.next(qm_in_transaction(db.get()));
    run_or_call(db, sql);
    const std::string context = "step " + std::to_string(step) + ": " + sql;
    expect_counts_match_scans(db, context);
    if (step % 20 == 19) {
      db.close();  // an open transaction is rolled back
      db = CDb::workspace(path);
      expect_counts_match_scans(db, "reopen, " + context);
    }
  }
}

}  // namespace
}  // namespace qm::db
