// Join planning: ON-column resolution, the driving-relation predicate and the validated
// plan. Each test names the fault it would catch.
#include <gtest/gtest.h>

#include "db/exec/predicate.h"
#include "db/select/join_plan.h"
#include "engine/parser.h"
#include "../exec/trees.h"

namespace qm::db {
namespace {

using namespace testing;

const std::vector<std::string> kLeft{"a.id", "a.name"};
const std::vector<std::string> kRight{"b.id", "b.aid"};

TEST(ResolveJoinKeys, AcceptsEitherOperandOrder) {
  auto written = resolve_join_keys(kLeft, kRight, "a.id", "b.aid");
  ASSERT_TRUE(written);
  EXPECT_EQ(*written, (std::pair<size_t, size_t>{0, 1}));
  auto reversed = resolve_join_keys(kLeft, kRight, "b.aid", "a.id");
  ASSERT_TRUE(reversed);
  EXPECT_EQ(*reversed, (std::pair<size_t, size_t>{0, 1}));
}

TEST(ResolveJoinKeys, BareNamesResolveThroughTheirQualifiedColumn) {
  auto r = resolve_join_keys(kLeft, kRight, "name", "aid");
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, (std::pair<size_t, size_t>{1, 1}));
}

query::Predicate where_of(std::string_view sql) {
  auto stmt = query::parse(sql);
  EXPECT_TRUE(stmt) << err(stmt);
  return *std::get<query::SelectStmt>(stmt->node).body.where;
}

TEST(SourcePredicate, KeepsOnlyDrivingConjunctsRenamedToBareColumns) {
  auto p = source_predicate(where_of("SELECT * FROM t a JOIN u b ON a.id = b.id WHERE a.x = 1 AND b.y = 2"), "a");
  ASSERT_TRUE(p);
  EXPECT_EQ(*p, cmp("x", CompareOp::Eq, I(1)));
}

TEST(SourcePredicate, OrWithAnotherRelationCannotBePushed) {
  EXPECT_FALSE(source_predicate(where_of("SELECT * FROM t a JOIN u b ON a.id = b.id WHERE a.x = 1 OR b.y = 2"), "a"));
  auto both = source_predicate(where_of("SELECT * FROM t a JOIN u b ON a.id = b.id WHERE a.x = 1 OR a.y IS NULL"), "a");
  ASSERT_TRUE(both);
  EXPECT_EQ(*both, or_(cmp("x", CompareOp::Eq, I(1)), is_null("y")));
}

TEST(SourcePredicate, BareAndLookAlikeQualifiersAreNotPushed) {
  // A bare name may belong to any relation; "ab.x" is not a column of "a".
  EXPECT_FALSE(source_predicate(where_of("SELECT * FROM t a JOIN u ab ON a.id = ab.id WHERE x = 1"), "a"));
  EXPECT_FALSE(source_predicate(where_of("SELECT * FROM t a JOIN u ab ON a.id = ab.id WHERE ab.x = 1"), "a"));
}

TEST(SourcePredicate, NeverKeepsARowTheFullWhereWouldDrop) {
  // Whatever the row, when the pushed predicate is not true the full WHERE is not true.
  const std::vector<std::string> joined{"a.x", "b.y"}, driving{"x"};
  for (const char* sql : {"SELECT * FROM t a JOIN u b ON a.id = b.id WHERE (a.x > 1 AND b.y = 2) OR a.x IS NULL",
                          "SELECT * FROM t a JOIN u b ON a.id = b.id WHERE a.x BETWEEN 1 AND 3 AND b.y = 2",
                          "SELECT * FROM t a JOIN u b ON a.id = b.id WHERE a.x NOT IN (2, 3) AND (b.y = 2 OR a.x < 0)"}) {
    const auto full = where_of(sql);
    auto pushed = source_predicate(full, "a");
    ASSERT_TRUE(pushed) << sql;
    for (const Value& x : {N(), I(-1), I(0), I(2), D(2500000), T("2")}) {
      for (const Value& y : {N(), I(2), I(3)}) {
        auto part = check_result(*pushed, driving, Row{x});
        auto whole = check_result(full, joined, Row{x, y});
        ASSERT_TRUE(part && whole);
        if (*part != Truth::True) {
          EXPECT_NE(*whole, Truth::True) << sql << " x=" << debug(x) << " y=" << debug(y);
        }
      }
    }
  }
}

TableMap catalog() {
  TableMap tables;
  Table t;
  t.columns = {"id", "x"};
  Table u;
  u.columns = {"id", "tid", "y"};
  u.indexes["tid"];
  tables.emplace("t", std::move(t));
  tables.emplace("u", std::move(u));
  return tables;
}

// The plan borrows the statement's join clauses, so the statement is kept alive here.
Result<JoinPlan> plan(const TableMap& tables, std::string_view sql, std::optional<query::Statement>& holder) {
  QM_ASSIGN(auto stmt, query::parse(sql));
  holder.emplace(std::move(stmt));
  return plan_join(tables, std::get<query::SelectStmt>(holder->node));
}

TEST(PlanJoin, QualifiesNamesAndFindsTheRightIndex) {
  const TableMap tables = catalog();
  std::optional<query::Statement> s;
  auto p = plan(tables, "SELECT * FROM t a LEFT JOIN u ON u.tid = a.id WHERE a.x = 1", s);
  ASSERT_TRUE(p) << err(p);
  EXPECT_EQ(p->names, (std::vector<std::string>{"a.id", "a.x", "u.id", "u.tid", "u.y"}));
  ASSERT_EQ(p->joins.size(), 1u);
  EXPECT_EQ(p->joins[0].left_pos, 0u);
  EXPECT_EQ(p->joins[0].right_pos, 1u);
  EXPECT_TRUE(p->joins[0].indexed);
  ASSERT_TRUE(p->source);
  EXPECT_EQ(*p->source, cmp("x", CompareOp::Eq, I(1)));
}

}  // namespace
}  // namespace qm::db
