// Row sources against damaged catalogs and under budgets: chain checks that a full read
// must make, row ids from an index that point outside the table, and the limits and
// liveness tests of the budgeted entry point.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "db/database.h"
#include "support/db_test_util.h"

namespace {

using namespace qm::db::test;

using qm::db::Database;
using qm::db::QueryLimits;

Database table_of_four() {
  Database db = Database::open_memory();
  EXPECT_EQ(run(db, "CREATE TABLE t (a, b)"), R"({"done":true})");
  EXPECT_EQ(run(db, "INSERT INTO t VALUES (1, 'x'), (2, 'y'), (3, 'z'), (4, 'w')"), R"({"mutated":4})");
  return db;
}

TEST(ChainChecks, AMiscountedCatalogFailsEveryFullRead) {
  Database db = table_of_four();
  db.catalog().tables().find("t")->second.row_versions = 5;
  const std::string err = "error: data corruption: manifest declares 5 record version(s), page chain contains 4";
  EXPECT_EQ(run(db, "SELECT * FROM t"), err);
  EXPECT_EQ(run(db, "SELECT COUNT(*) FROM t"), err);
  EXPECT_EQ(run(db, "SELECT a, COUNT(*) FROM t GROUP BY a"), err);
  EXPECT_EQ(run(db, "DELETE FROM t WHERE a = 1"), err);
}

TEST(ChainChecks, ATailThatLinksOnOrIsNeverReachedIsRefused) {
  Database db = table_of_four();
  db.catalog().tables().find("t")->second.tail_page->set_next_page(0);
  EXPECT_EQ(run(db, "SELECT * FROM t"), "error: data corruption: table tail page links to another page");
  db = table_of_four();
  run(db, "CREATE TABLE u (a)");
  run(db, "INSERT INTO u VALUES (9)");
  db.catalog().tables().find("t")->second.tail_id = db.catalog().tables().find("u")->second.tail_id;
  EXPECT_EQ(run(db, "SELECT * FROM t"), "error: data corruption: table page chain does not reach its declared tail");
}

// Reads that decode only the columns their WHERE or ORDER BY keys need before dropping a
// row still check every field of every record, and the rows they keep come out whole.
TEST(ChainChecks, AFieldNoFilterReadsIsStillChecked) {
  Database db = Database::open_memory();
  run(db, "CREATE TABLE t (a, b, c)");
  run(db, "INSERT INTO t VALUES (1, 'abc', 2.5), (2, 'a text longer than sixteen bytes', 0.5), "
          "(3, 'another text past sixteen', 3)");
  EXPECT_EQ(run(db, "SELECT * FROM t WHERE c > 1"), R"({"columns":["a","b","c"],"rows":[[1,"abc","2.500000"],)"
                                                    R"([3,"another text past sixteen",3]]})");
  // Kind first: every Decimal sorts after every Int.
  EXPECT_EQ(run(db, "SELECT b, a FROM t ORDER BY c DESC LIMIT 2"),
            R"({"columns":["b","a"],"rows":[["abc",1],["a text longer than sixteen bytes",2]]})");

  qm::db::Table& t = db.catalog().tables().find("t")->second;
  qm::storage::Page page = t.tail_page->bytes();
  const std::string_view text = "abc";
  auto at = std::search(page.begin(), page.end(), text.begin(), text.end());
  ASSERT_NE(at, page.end());
  at[1] = 0xFF;  // b of the first row is no longer UTF-8
  t.tail_page = *qm::storage::RowPage::from_bytes(page);
  for (const char* sql : {"SELECT * FROM t WHERE a = 7", "SELECT a FROM t WHERE c > 1", "SELECT * FROM t ORDER BY a LIMIT 1",
                          "DELETE FROM t WHERE c = 0"})
    EXPECT_EQ(run(db, sql), "error: data corruption: record: invalid utf-8 text") << sql;
}

TEST(IndexCandidates, ARowIdOfAnotherTableIsNeverRead) {
  Database db = table_of_four();
  run(db, "CREATE TABLE other (a, b)");
  run(db, "INSERT INTO other VALUES (7, 'secret')");
  run(db, "CREATE INDEX ON t (a)");
  const uint64_t foreign = qm::storage::row_id(*db.catalog().tables().find("other")->second.tail_id, 0);
  db.catalog().tables().find("t")->second.indexes.find("a")->second.insert(qm::Value::integer(7), foreign);
  const std::string outside =
      "error: data corruption: record address " + std::to_string(foreign) + " points outside its table page chain";
  for (const char* sql : {"SELECT b FROM t WHERE a = 7", "SELECT b FROM t ORDER BY a DESC LIMIT 1", "DELETE FROM t WHERE a = 7"})
    EXPECT_EQ(run(db, sql), outside) << sql;
  EXPECT_EQ(run(db, "SELECT * FROM other"), R"({"columns":["a","b"],"rows":[[7,"secret"]]})");
}

TEST(IndexCandidates, ARepeatedIdInADamagedIndexYieldsTheRowOnce) {
  Database db = table_of_four();
  run(db, "CREATE INDEX ON t (a)");
  auto& index = db.catalog().tables().find("t")->second.indexes.find("a")->second;
  const uint64_t id = index.lookup(qm::Value::integer(2))[0];
  index.insert(qm::Value::integer(2), id);
  EXPECT_EQ(run(db, "SELECT b FROM t WHERE a = 2"), R"({"columns":["b"],"rows":[["y"]]})");
  EXPECT_EQ(run(db, "SELECT b FROM t WHERE a >= 2 AND a < 3"), R"({"columns":["b"],"rows":[["y"]]})");
}

// The key order of index candidates is stated by the golden where script.
TEST(IndexCandidates, ARepeatedIdKeepsItsFirstPlace) {
  Database db = Database::open_memory();
  run(db, "CREATE TABLE t (a, b)");
  run(db, "INSERT INTO t VALUES (3, 'z'), (1, 'x'), (2.0, 'two'), (2, 'y')");
  run(db, "CREATE INDEX ON t (a)");
  auto& index = db.catalog().tables().find("t")->second.indexes.find("a")->second;
  index.insert(qm::Value::integer(1), index.lookup(qm::Value::integer(3))[0]);
  EXPECT_EQ(run(db, "SELECT b FROM t WHERE a > 0 AND a < 4"), R"({"columns":["b"],"rows":[["x"],["z"],["y"],["two"]]})");
}

TEST(Streaming, TheLimitWindowEndsTheReadUnlessABudgetCountsTheRest) {
  Database db = table_of_four();
  // What a window returns is stated by the golden order_limit script. A read that stops at
  // its window never reaches the chain's closing checks; a budgeted
  // one reads, charges and checks everything, as without the LIMIT.
  db.catalog().tables().find("t")->second.row_versions = 5;
  EXPECT_EQ(run(db, "SELECT a FROM t LIMIT 2"), R"({"columns":["a"],"rows":[[1],[2]]})");
  EXPECT_EQ(run_limited(db, "SELECT a FROM t LIMIT 2", roomy()),
            "error: data corruption: manifest declares 5 record version(s), page chain contains 4");
  db.catalog().tables().find("t")->second.row_versions = 4;
  QueryLimits limits = roomy();
  limits.max_scan_rows = 3;
  EXPECT_EQ(run_limited(db, "SELECT * FROM t LIMIT 1", limits),
            "error: query resource limit exceeded: scanned more than 3 rows");
}

TEST(Budget, InvisibleVersionsAreChargedAsScannedRows) {
  Database db = table_of_four();
  run(db, "DELETE FROM t WHERE a > 1");
  QueryLimits limits = roomy();
  limits.max_scan_rows = 3;
  EXPECT_EQ(run_limited(db, "SELECT * FROM t", limits),
            "error: query resource limit exceeded: scanned more than 3 rows");
  EXPECT_EQ(run_limited(db, "SELECT COUNT(*) FROM t", limits),
            "error: query resource limit exceeded: scanned more than 3 rows");
  limits.max_scan_rows = 4;
  EXPECT_EQ(run_limited(db, "SELECT * FROM t", limits), R"({"columns":["a","b"],"rows":[[1,"x"]]})");
}

TEST(Budget, ResultRowsBytesCancelAndDeadline) {
  Database db = table_of_four();
  QueryLimits limits = roomy();
  limits.max_result_rows = 4;
  EXPECT_EQ(run_limited(db, "SELECT a FROM t", limits), R"({"columns":["a"],"rows":[[1],[2],[3],[4]]})");
  limits.max_result_rows = 3;
  EXPECT_EQ(run_limited(db, "SELECT a FROM t", limits),
            "error: query resource limit exceeded: result has more than 3 rows; add or lower LIMIT");
  EXPECT_EQ(run_limited(db, "SELECT a FROM t LIMIT 3", limits), R"({"columns":["a"],"rows":[[1],[2],[3]]})");
  // A written row of one Int and a one-byte Text counts 24 + 32 + 33 = 89 bytes.
  limits = roomy();
  limits.max_bytes = 89;
  EXPECT_EQ(run_limited(db, "SELECT * FROM t WHERE a = 1", limits), R"({"columns":["a","b"],"rows":[[1,"x"]]})");
  EXPECT_EQ(run_limited(db, "SELECT * FROM t WHERE a <= 2", limits),
            "error: query resource limit exceeded: materialized more than 89 bytes");
  EXPECT_EQ(run_limited(db, "INSERT INTO t VALUES (5, 'v'), (6, 'u')", limits),
            "error: query resource limit exceeded: materialized more than 89 bytes");
  auto cancel = std::make_shared<std::atomic<bool>>(true);
  limits = roomy();
  limits.deadline = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  EXPECT_EQ(run_limited(db, "SELECT * FROM t", limits, cancel), "error: database operation was cancelled");
  EXPECT_EQ(run_limited(db, "SELECT * FROM t", limits), "error: query resource limit exceeded: deadline expired");
  EXPECT_EQ(run(db, "SELECT COUNT(*) FROM t"), R"({"columns":["count"],"rows":[[4]]})");
}

TEST(Budget, IndexCandidatesAreReservedAgainstTheRemainingScanAllowance) {
  Database db = table_of_four();
  run(db, "CREATE INDEX ON t (a)");
  QueryLimits limits = roomy();
  limits.max_scan_rows = 2;
  EXPECT_EQ(run_limited(db, "SELECT b FROM t WHERE a >= 2", limits),
            "error: query resource limit exceeded: index produced more than 2 remaining row candidates");
  EXPECT_EQ(run_limited(db, "SELECT b FROM t WHERE a >= 3", limits), R"({"columns":["b"],"rows":[["z"],["w"]]})");
}

// UPDATE holds the matched rows packed until it writes their replacements: every kind must
// come back as it was, a row larger than a packing chunk among small ones included.
TEST(MatchedRows, UpdateKeepsTheOtherValuesOfEveryKind) {
  Database db = Database::open_memory();
  ASSERT_EQ(run(db, "CREATE TABLE t (k, v, w)"), R"({"done":true})");
  const std::string big(100000, 'q');
  ASSERT_EQ(run(db, "INSERT INTO t VALUES (1, NULL, -9223372036854775807), (2, '', 12345678901.125), "
                    "(3, '" + big + "', 'after the large one'), (4, 'x', -0.5), (5, 'short', NULL)"),
            R"({"mutated":5})");
  const std::string before = run(db, "SELECT v, w FROM t");
  EXPECT_EQ(run(db, "UPDATE t SET k = 0 WHERE k >= 1"), R"({"mutated":5})");
  EXPECT_EQ(run(db, "SELECT v, w FROM t"), before);
  EXPECT_EQ(run(db, "SELECT k FROM t"), R"({"columns":["k"],"rows":[[0],[0],[0],[0],[0]]})");
}

}  // namespace
