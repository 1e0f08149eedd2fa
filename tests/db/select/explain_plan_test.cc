// EXPLAIN plans over a hand-built catalog: the exact steps, operation words and details,
// and the validation errors EXPLAIN shares with execution.
#include <gtest/gtest.h>

#include "db/select/explain_plan.h"
#include "engine/parser.h"
#include "../exec/trees.h"

namespace qm::db {
namespace {

using namespace testing;

TableMap catalog() {
  TableMap tables;
  Table t;
  t.columns = {"a", "b", "c"};
  t.indexes["a"];
  Table u;
  u.columns = {"id", "a", "v"};
  u.indexes["a"];
  Table w;
  w.columns = {"id", "k"};
  tables.emplace("t", std::move(t));
  tables.emplace("u", std::move(u));
  tables.emplace("w", std::move(w));
  return tables;
}

// "operation | detail" per step; also checks the step numbers and column names.
Result<std::vector<std::string>> plan(std::string_view sql, uint64_t clock = 42) {
  QM_ASSIGN(auto stmt, query::parse(sql));
  const auto* explain = std::get_if<query::ExplainStmt>(&stmt.node);
  const query::Statement& inner = explain ? *explain->statement : stmt;
  QM_ASSIGN(RowsResult rows, explain_select(catalog(), clock, inner));
  EXPECT_EQ(rows.columns, (std::vector<std::string>{"step", "operation", "detail"}));
  std::vector<std::string> out;
  for (size_t i = 0; i < rows.rows.size(); ++i) {
    EXPECT_EQ(rows.rows[i][0], I(static_cast<int64_t>(i)));
    out.push_back(rows.rows[i][1].as_text() + " | " + rows.rows[i][2].as_text());
  }
  return out;
}

using Steps = std::vector<std::string>;

TEST(ExplainSingle, CountStarAloneIsTheEnvelopeCount) {
  EXPECT_EQ(*plan("EXPLAIN SELECT COUNT(*) FROM t"),
            (Steps{"snapshot | transaction 42", "count envelopes | t: MVCC visibility only; row bodies are not decoded"}));
  // Any other clause leaves the fast path.
  EXPECT_EQ(plan("EXPLAIN SELECT COUNT(*) FROM t LIMIT 1")->at(1),
            "table scan | t: scan row versions and check MVCC visibility");
}

TEST(ExplainSingle, SnapshotShowsBeforeWhateverTheClock) {
  EXPECT_EQ(plan("EXPLAIN SELECT * FROM t BEFORE 7", 900)->front(), "snapshot | transaction 7");
}

TEST(ExplainSingle, OrderedIndexScanStopsAtOffsetPlusLimit) {
  EXPECT_EQ(*plan("EXPLAIN SELECT b FROM t ORDER BY a DESC LIMIT 10 OFFSET 5"),
            (Steps{"snapshot | transaction 42", "ordered index scan | t.a DESC; early stop 15",
                   "project | select output columns", "offset | 5", "limit | 10"}));
  EXPECT_EQ(*plan("EXPLAIN SELECT * FROM t ORDER BY a"),
            (Steps{"snapshot | transaction 42", "ordered index scan | t.a ASC; early stop none",
                   "project | select output columns"}));
}

TEST(ExplainSingle, UnindexedOrderWithLimitIsTopNUnlessDistinct) {
  EXPECT_EQ(*plan("EXPLAIN SELECT * FROM t ORDER BY b LIMIT 3"),
            (Steps{"snapshot | transaction 42", "table scan | t: scan row versions and check MVCC visibility",
                   "top-N sort | b ASC", "project | select output columns", "limit | 3"}));
  EXPECT_EQ(*plan("EXPLAIN SELECT DISTINCT b FROM t ORDER BY b, c DESC LIMIT 0"),
            (Steps{"snapshot | transaction 42", "table scan | t: scan row versions and check MVCC visibility",
                   "sort | b ASC, c DESC", "project | select output columns", "distinct | deduplicate output rows",
                   "limit | 0"}));
}

TEST(ExplainSingle, IndexedWhereShowsLookupOrRangeThenFilter) {
  EXPECT_EQ(*plan("EXPLAIN SELECT * FROM t WHERE a = 1"),
            (Steps{"snapshot | transaction 42", "index lookup | t.a; recheck full predicate and MVCC visibility",
                   "filter | evaluate WHERE with SQL NULL semantics", "project | select output columns"}));
  EXPECT_EQ(plan("EXPLAIN SELECT * FROM t WHERE b = 2 AND a BETWEEN 1 AND 5")->at(1),
            "index range scan | t.a; recheck full predicate and MVCC visibility");
  for (const char* sql : {"EXPLAIN SELECT * FROM t WHERE a <> 1", "EXPLAIN SELECT * FROM t WHERE a = 1 OR b = 2",
                          "EXPLAIN SELECT * FROM t WHERE a IN (1, 2)", "EXPLAIN SELECT * FROM t WHERE a NOT BETWEEN 1 AND 2"}) {
    EXPECT_EQ(plan(sql)->at(1), "table scan | t: scan row versions and check MVCC visibility") << sql;
  }
  // A WHERE disables the ordered index path.
  EXPECT_EQ(plan("EXPLAIN SELECT * FROM t WHERE b = 1 ORDER BY a LIMIT 2")->at(3), "top-N sort | a ASC");
}

TEST(ExplainSingle, GroupedPlanAndItsStepsInOrder) {
  EXPECT_EQ(*plan("EXPLAIN SELECT b, COUNT(*) AS n FROM t WHERE c > 0 GROUP BY b HAVING n > 1 ORDER BY n DESC "
                  "LIMIT 2 OFFSET 1"),
            (Steps{"snapshot | transaction 42", "table scan | t: scan row versions and check MVCC visibility",
                   "filter | evaluate WHERE with SQL NULL semantics", "aggregate | group by b",
                   "project | select group output columns", "filter groups | having", "sort | n DESC", "offset | 1",
                   "limit | 2"}));
  EXPECT_EQ(plan("EXPLAIN SELECT SUM(a) FROM t")->at(2), "aggregate | whole input");
  EXPECT_EQ(plan("EXPLAIN SELECT b, c FROM t GROUP BY b, c")->at(2), "aggregate | group by b, c");
}

TEST(ExplainSingle, FailsWhereTheSelectWouldFail) {
  EXPECT_EQ(err(plan("EXPLAIN SELECT nosuch FROM t")), "schema error: no column `nosuch`");
  EXPECT_EQ(err(plan("EXPLAIN SELECT UPPER(zz) FROM t")), "schema error: no column `zz`");
  EXPECT_EQ(err(plan("EXPLAIN SELECT CASE WHEN q = 1 THEN 'x' END FROM t")), "schema error: no column `q`");
  EXPECT_EQ(err(plan("EXPLAIN SELECT * FROM t WHERE zz = 1")), "schema error: no column `zz`");
  EXPECT_EQ(err(plan("EXPLAIN SELECT * FROM missing")), "table not found: missing");
  EXPECT_EQ(err(plan("EXPLAIN SELECT b, c FROM t GROUP BY b")),
            "schema error: column `c` must appear in GROUP BY or inside an aggregate");
  EXPECT_EQ(err(plan("EXPLAIN SELECT * FROM t GROUP BY b")),
            "query parse error: SELECT * cannot be combined with GROUP BY or aggregates");
  EXPECT_EQ(err(plan("EXPLAIN SELECT b FROM t ORDER BY zz")), "schema error: no column `zz`");
  EXPECT_EQ(err(plan("EXPLAIN SELECT b, COUNT(*) FROM t GROUP BY b ORDER BY c")), "schema error: no column `c`");
}

TEST(ExplainSingle, RefusesAnythingButASelect) {
  auto stmt = query::parse("DELETE FROM t WHERE a = 1");
  ASSERT_TRUE(stmt);
  EXPECT_EQ(err(explain_select(catalog(), 1, *stmt)), "query parse error: EXPLAIN requires a SELECT statement");
}

TEST(ExplainJoin, UnindexedRightSideIsScannedThenJoinedThroughAMap) {
  EXPECT_EQ(*plan("EXPLAIN SELECT * FROM t x LEFT JOIN w ON x.a = w.k"),
            (Steps{"snapshot | transaction 42", "table scan | t AS x", "table scan | w AS w",
                   "left equality join | x.a = w.k; build ordered map of right input",
                   "project | select output columns"}));
}

TEST(ExplainJoin, IndexedRightSideIsAdaptive) {
  EXPECT_EQ(*plan("EXPLAIN SELECT x.b, y.v FROM t x JOIN u y ON y.a = x.a"),
            (Steps{"snapshot | transaction 42", "table scan | t AS x",
                   "adaptive indexed inner join | y.a = x.a; probe y.a once per distinct left key when cheaper, "
                   "otherwise build the right input",
                   "project | select output columns"}));
}

TEST(ExplainJoin, DrivingPredicateUsesTheDrivingIndex) {
  EXPECT_EQ(*plan("EXPLAIN SELECT * FROM t x JOIN w ON x.b = w.k WHERE x.a > 3 AND w.id = 1 ORDER BY w.id LIMIT 5"),
            (Steps{"snapshot | transaction 42", "index range scan | t AS x",
                   "source filter | apply driving-relation predicates before joining", "table scan | w AS w",
                   "inner equality join | x.b = w.k; build ordered map of right input",
                   "filter | evaluate WHERE with SQL NULL semantics", "top-N sort | w.id ASC",
                   "project | select output columns", "limit | 5"}));
  // Only the other relation in WHERE: no source filter.
  EXPECT_EQ(plan("EXPLAIN SELECT * FROM t x JOIN w ON x.b = w.k WHERE w.id = 1")->at(1), "table scan | t AS x");
}

TEST(ExplainJoin, AliasWithoutJoinAndGroupedJoin) {
  EXPECT_EQ(*plan("EXPLAIN SELECT * FROM t AS q"),
            (Steps{"snapshot | transaction 42", "table scan | t AS q", "project | select output columns"}));
  EXPECT_EQ(*plan("EXPLAIN SELECT w.k, COUNT(*) FROM t x JOIN w ON x.b = w.k GROUP BY w.k"),
            (Steps{"snapshot | transaction 42", "table scan | t AS x", "table scan | w AS w",
                   "inner equality join | x.b = w.k; build ordered map of right input", "aggregate | group by w.k",
                   "project | select group output columns"}));
}

TEST(ExplainJoin, FailsWhereTheJoinWouldFail) {
  EXPECT_EQ(err(plan("EXPLAIN SELECT * FROM t x JOIN nope n ON x.a = n.a")), "table not found: nope");
  EXPECT_EQ(err(plan("EXPLAIN SELECT * FROM t x JOIN w ON x.a = x.b")),
            "schema error: JOIN ON must compare one column from the joined relation with one earlier column; "
            "could not resolve `x.a = x.b`");
  EXPECT_EQ(err(plan("EXPLAIN SELECT id FROM u x JOIN w ON x.a = w.k")), "schema error: ambiguous column `id`");
  EXPECT_EQ(err(plan("EXPLAIN SELECT * FROM t x JOIN w ON x.a = w.k WHERE x.zz = 1")),
            "schema error: no column `x.zz`");
}

}  // namespace
}  // namespace qm::db
