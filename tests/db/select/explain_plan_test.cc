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
