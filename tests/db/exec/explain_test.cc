#include <gtest/gtest.h>

#include <set>

#include "db/exec/explain.h"
#include "trees.h"

namespace qm::db::explain {
namespace {

using namespace qm::db::testing;
using query::CompareOp;

std::function<bool(const std::string&)> indexed(std::set<std::string> cols) {
  return [cols = std::move(cols)](const std::string& c) { return cols.count(c) > 0; };
}

std::optional<std::pair<std::string, std::string>> access(const Predicate& p, std::set<std::string> cols) {
  auto a = index_access(p, indexed(std::move(cols)));
  if (!a) return std::nullopt;
  return std::make_pair(a->operation, a->column);
}

TEST(PlanResult, StepsNumberedFromZeroWithTheThreeColumns) {
  std::vector<PlanStep> steps{{"table scan", "t: scan"}};
  append_limit(steps, 10, 5);
  auto r = plan_result(std::move(steps));
  EXPECT_EQ(r.columns, (std::vector<std::string>{"step", "operation", "detail"}));
  EXPECT_EQ(r.rows, (std::vector<Row>{{I(0), T("table scan"), T("t: scan")},
                                      {I(1), T("offset"), T("5")},
                                      {I(2), T("limit"), T("10")}}));
}

TEST(AppendLimit, ZeroOffsetAddsNothingAndZeroLimitStillShows) {
  std::vector<PlanStep> steps;
  append_limit(steps, std::nullopt, 0);
  EXPECT_TRUE(steps.empty());
  append_limit(steps, 0, 0);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].operation, "limit");
  EXPECT_EQ(steps[0].detail, "0");
  steps.clear();
  append_limit(steps, std::nullopt, UINT64_MAX);
  ASSERT_EQ(steps.size(), 1u);
  EXPECT_EQ(steps[0].detail, "18446744073709551615");
}

TEST(IndexAccess, OperatorsAndShapes) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(access(cmp("a", CompareOp::Eq, I(1)), {"a"}), P("index lookup", "a"));
  EXPECT_EQ(access(cmp("a", CompareOp::Gt, I(1)), {"a"}), P("index range scan", "a"));
  EXPECT_EQ(access(cmp("a", CompareOp::Le, I(1)), {"a"}), P("index range scan", "a"));
  EXPECT_EQ(access(between("a", I(1), I(5)), {"a"}), P("index range scan", "a"));
  EXPECT_EQ(access(between("a", I(1), I(5), true), {"a"}), std::nullopt);
  EXPECT_EQ(access(cmp("a", CompareOp::Ne, I(1)), {"a"}), std::nullopt);
  EXPECT_EQ(access(cmp("a", CompareOp::Like, T("x%")), {"a"}), std::nullopt);
  EXPECT_EQ(access(in("a", {I(1), I(2)}), {"a"}), std::nullopt);
  EXPECT_EQ(access(is_null("a"), {"a"}), std::nullopt);
  EXPECT_EQ(access(or_(cmp("a", CompareOp::Eq, I(1)), cmp("b", CompareOp::Eq, I(2))), {"a", "b"}), std::nullopt);
  EXPECT_EQ(access(cmp("a", CompareOp::Eq, I(1)), {"b"}), std::nullopt);
}

TEST(IndexAccess, AndTakesTheFirstIndexedSideLeftToRight) {
  using P = std::pair<std::string, std::string>;
  auto p = and_(cmp("b", CompareOp::Eq, I(2)), cmp("a", CompareOp::Eq, I(1)));
  EXPECT_EQ(access(p, {"a"}), P("index lookup", "a"));
  EXPECT_EQ(access(p, {"a", "b"}), P("index lookup", "b"));
  auto nested = and_(cmp("b", CompareOp::Ne, I(2)), and_(is_null("c"), cmp("c", CompareOp::Lt, I(1))));
  EXPECT_EQ(access(nested, {"b", "c"}), P("index range scan", "c"));
}

TEST(SortDetail, AscAndDescJoined) {
  EXPECT_EQ(sort_detail(std::vector<OrderBy>{{"x", false}, {"y", true}}), "x ASC, y DESC");
  EXPECT_EQ(sort_detail(std::vector<OrderBy>{}), "");
}

TEST(CheckProjection, FailsWhereTheSelectWouldFailOnANameWithoutReadingRows) {
  std::vector<std::string> names{"a", "b"};
  EXPECT_TRUE(check_projection(names, ProjectAll{}));
  EXPECT_EQ(err(check_projection(names, ProjectColumns{{"a", "zz"}})), "schema error: no column `zz`");
  EXPECT_EQ(err(check_projection(names, ProjectItems{{item_expr(call(ScalarFunction::Lower, {col("q")}))}})),
            "schema error: no column `q`");
  EXPECT_EQ(err(check_projection(names, ProjectItems{{item_agg(AggregateFunction::Sum, "m")}})),
            "schema error: no column `m`");
  EXPECT_TRUE(check_projection(names, ProjectItems{{item_agg(AggregateFunction::Count, std::nullopt)}}));
  query::ScalarCase c;
  c.branches.push_back({cmp("a", CompareOp::Eq, I(1)), lit(I(1))});
  c.branches.push_back({cmp("cond", CompareOp::Eq, I(1)), col("b")});
  EXPECT_EQ(err(check_projection(names, ProjectItems{{item_expr(ScalarExpr{c})}})), "schema error: no column `cond`");
  c.branches.pop_back();
  c.else_result = col("other");
  EXPECT_EQ(err(check_scalar(names, ScalarExpr{c})), "schema error: no column `other`");
  std::vector<std::string> joined{"o.id", "p.id"};
  EXPECT_EQ(err(check_projection(joined, ProjectColumns{{"id"}})), "schema error: ambiguous column `id`");
}

}  // namespace
}  // namespace qm::db::explain
