// Joins under a query budget and over damaged indexes: a budgeted join always probes an
// indexed right side (so it scans only the candidates), every left key is charged even when
// repeated, and the probe trusts no index entry: a row id outside the right table's chain
// is corruption, and an entry whose row no longer holds the key is skipped. EXPLAIN reads
// no row, but its plan rows are charged and counted like any result.
#include <gtest/gtest.h>

#include <string>

#include "db/database.h"
#include "support/db_test_util.h"

namespace {

using namespace qm::db::test;

using qm::Value;
using qm::db::Database;
using qm::db::QueryLimits;

// l(k): 1, 1, 2. r(k): 0..99, with an index on r.k when asked.
Database fixture(bool index) {
  Database db = Database::open_memory();
  EXPECT_EQ(run(db, "CREATE TABLE l (k)"), R"({"done":true})");
  EXPECT_EQ(run(db, "CREATE TABLE r (k)"), R"({"done":true})");
  EXPECT_EQ(run(db, "INSERT INTO l VALUES (1), (1), (2)"), R"({"mutated":3})");
  std::string values;
  for (int i = 0; i < 100; ++i) values += (i ? ", (" : "(") + std::to_string(i) + ")";
  EXPECT_EQ(run(db, "INSERT INTO r VALUES " + values), R"({"mutated":100})");
  if (index) {
    EXPECT_EQ(run(db, "CREATE INDEX ON r (k)"), R"({"done":true})");
  }
  return db;
}

const std::string kJoin = "SELECT l.k, r.k FROM l JOIN r ON l.k = r.k";
const std::string kRows = R"({"columns":["l.k","r.k"],"rows":[[1,1],[1,1],[2,2]]})";

TEST(JoinBudget, BudgetedJoinProbesTheIndexOncePerDistinctKey) {
  QueryLimits limits = roomy();
  limits.max_scan_rows = 5;  // 3 left rows + one candidate for each of the 2 distinct keys
  Database indexed = fixture(true);
  EXPECT_EQ(run_limited(indexed, kJoin, limits), kRows);
  Database scanned = fixture(false);
  EXPECT_EQ(run_limited(scanned, kJoin, limits), "error: query resource limit exceeded: scanned more than 5 rows");
  EXPECT_EQ(run(scanned, kJoin), kRows);
}

TEST(JoinBudget, EveryLeftKeyIsChargedRepeatsIncluded) {
  // 3 left rows of 56 bytes, then 32 bytes per probe key: the third (a repeat) crosses 263.
  QueryLimits limits = roomy();
  limits.max_bytes = 263;
  Database db = fixture(true);
  EXPECT_EQ(run_limited(db, kJoin, limits),
            "error: query resource limit exceeded: join probe keys materialized more than 263 bytes");
  limits.max_bytes = 264;
  // Every key charged, the next charge is the first probe's candidates.
  EXPECT_EQ(run_limited(db, kJoin, limits),
            "error: query resource limit exceeded: index candidates materialized more than 264 bytes");
}

TEST(JoinBudget, ProbeRefusesARowIdOutsideTheRightTable) {
  Database db = fixture(true);
  const uint64_t foreign = db.catalog().tables().find("l")->second.first_page.value() << 16;
  db.catalog().tables().find("r")->second.indexes.find("k")->second.insert(Value::integer(1), foreign);
  const std::string err = "error: data corruption: record address " + std::to_string(foreign) +
                          " points outside its table page chain";
  EXPECT_EQ(run_limited(db, kJoin, roomy()), err);
}

TEST(JoinBudget, ProbeSkipsAnIndexEntryWhoseRowHoldsAnotherKey) {
  Database db = fixture(true);
  auto& index = db.catalog().tables().find("r")->second.indexes.find("k")->second;
  const uint64_t holds_50 = index.lookup(Value::integer(50)).front();
  index.insert(Value::integer(2), holds_50);
  EXPECT_EQ(run_limited(db, kJoin, roomy()), kRows);
}

TEST(JoinBudget, RetiredRightRowsNeverMatchOnEitherPath) {
  for (bool index : {false, true}) {
    Database db = fixture(index);
    ASSERT_EQ(run(db, "DELETE FROM r WHERE k = 1"), R"({"mutated":1})");
    EXPECT_EQ(run_limited(db, kJoin, roomy()), R"({"columns":["l.k","r.k"],"rows":[[2,2]]})") << index;
    EXPECT_EQ(run(db, kJoin), R"({"columns":["l.k","r.k"],"rows":[[2,2]]})") << index;
  }
}

}  // namespace

namespace {

TEST(ExplainBudget, PlanRowsAreChargedAndCountAsResultRows) {
  Database db = fixture(true);
  const std::string sql = "EXPLAIN SELECT COUNT(*) FROM l";
  QueryLimits limits = roomy();
  EXPECT_EQ(run_limited(db, sql, limits).rfind(R"({"columns":["step","operation","detail"])", 0), 0u);
  limits.max_bytes = 100;
  EXPECT_EQ(run_limited(db, sql, limits), "error: query resource limit exceeded: materialized more than 100 bytes");
  limits = roomy();
  limits.max_result_rows = 1;
  EXPECT_EQ(run_limited(db, sql, limits),
            "error: query resource limit exceeded: result has more than 1 rows; add or lower LIMIT");
  // EXPLAIN reads no row: a scan allowance of zero is enough.
  limits = roomy();
  limits.max_scan_rows = 0;
  EXPECT_EQ(run_limited(db, "EXPLAIN SELECT l.k FROM l JOIN r ON l.k = r.k", limits).rfind("{", 0), 0u);
}

}  // namespace
