#include <gtest/gtest.h>

#include <random>

#include "db/exec/aggregate.h"
#include "db/exec/grouping.h"
#include "db/exec/streaming_aggregate.h"
#include "trees.h"

namespace qm::db {
namespace {

using namespace testing;
using A = query::AggregateFunction;
using query::CompareOp;

const std::vector<std::string> kNames{"g", "x"};

Result<Value> agg(A f, std::vector<Value> xs) {
  std::vector<Row> rows;
  for (Value& v : xs) rows.push_back(Row{N(), std::move(v)});
  return compute_one_aggregate({f, std::string("x")}, kNames, rows);
}

Result<RowsResult> grouped(std::vector<Row> rows, std::vector<SelectItem> items, std::vector<std::string> group_by,
                           const HavingPred* having = nullptr, std::vector<OrderBy> ob = {}) {
  return project_grouped(kNames, std::move(rows), items, group_by, having, ob, false, std::nullopt, 0);
}

TEST(Aggregates, AvgRoundsHalfAwayFromZero) {
  EXPECT_EQ(*agg(A::Avg, {I(1), I(2)}), D(1500000));
  EXPECT_EQ(*agg(A::Avg, {I(1), I(1), I(2)}), D(1333333));
  EXPECT_EQ(*agg(A::Avg, {I(0), I(0), I(1)}), D(333333));
  EXPECT_EQ(*agg(A::Avg, {D(1), D(2)}), D(2));
  EXPECT_EQ(*agg(A::Avg, {D(-1), D(-2)}), D(-2));
  EXPECT_EQ(*agg(A::Avg, {I(2), I(2), I(1)}), D(1666667));
  EXPECT_EQ(*agg(A::Avg, {D(kI128Min)}), D(kI128Min));
}

TEST(Aggregates, OverflowTexts) {
  EXPECT_EQ(err(agg(A::Sum, {I(INT64_MAX), I(1)})), "schema error: SUM overflowed i64");
  EXPECT_EQ(*agg(A::Sum, {I(INT64_MAX), I(1), I(-2)}), I(INT64_MAX - 1));  // only the final total counts
  EXPECT_EQ(*agg(A::Sum, {I(INT64_MIN), I(INT64_MIN), I(INT64_MAX), I(INT64_MAX), I(1)}), I(-1));
  EXPECT_EQ(err(agg(A::Sum, {D(kI128Max), D(1)})), "schema error: SUM overflowed");
  EXPECT_EQ(err(agg(A::Avg, {D(kI128Min), D(-1)})), "schema error: AVG overflowed");
  // Int totals beyond i64 are fine once a Decimal makes the result a Decimal.
  EXPECT_EQ(*agg(A::Sum, {I(INT64_MAX), I(INT64_MAX), D(1)}), D(2 * static_cast<i128>(INT64_MAX) * 1000000 + 1));
  EXPECT_EQ(err(agg(A::Avg, {D(kI128Max), I(1)})), "schema error: numeric aggregate overflowed");
  EXPECT_EQ(err(agg(A::Sum, {D(kI128Max), I(1)})), "schema error: numeric aggregate overflowed");
}

TEST(Aggregates, MinMaxCompareNumbersNumericallyAndKeepTheEarlierTie) {
  EXPECT_EQ(*agg(A::Min, {I(5), D(4500000)}), D(4500000));
  EXPECT_EQ(*agg(A::Min, {I(5), T("a")}), I(5));
  EXPECT_EQ(*agg(A::Max, {I(5), T("a")}), T("a"));
  EXPECT_EQ(*agg(A::Max, {I(5), D(5000000)}), I(5));
  EXPECT_EQ(*agg(A::Max, {D(5000000), I(5)}), D(5000000));
  EXPECT_EQ(*agg(A::Min, {D(2000000), I(2)}), D(2000000));
  EXPECT_EQ(*agg(A::Max, {I(INT64_MAX), D(static_cast<i128>(INT64_MAX) * 1000000 + 1)}),
            D(static_cast<i128>(INT64_MAX) * 1000000 + 1));
}

TEST(Having, AliasesAggregatesAndShortCircuit) {
  std::vector<Row> rows{{I(1), I(10)}, {I(1), I(20)}, {I(2), I(5)}, {I(3), T("t")}};
  // HAVING n > 1, with n the alias of COUNT(*).
  HavingPred by_alias{HavingCompare{HavingColumn{"n"}, CompareOp::Gt, I(1)}};
  auto r = grouped(rows, {item_col("g"), item_agg(A::Count, std::nullopt, "n")}, {"g"}, &by_alias);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->rows, (std::vector<Row>{{I(1), I(2)}}));

  // g <> 3 AND SUM(x) > 6: SUM over the text group would fail, but the left side stops it.
  HavingPred guarded{HavingAnd{HavingPred{HavingCompare{HavingColumn{"g"}, CompareOp::Ne, I(3)}},
                               HavingPred{HavingCompare{HavingAggregate{A::Sum, "x"}, CompareOp::Gt, I(6)}}}};
  auto g = grouped(rows, {item_col("g")}, {"g"}, &guarded);
  ASSERT_TRUE(g);
  EXPECT_EQ(g->rows, (std::vector<Row>{{I(1)}}));

  HavingPred unguarded{HavingCompare{HavingAggregate{A::Sum, "x"}, CompareOp::Gt, I(6)}};
  EXPECT_EQ(err(grouped(rows, {item_col("g")}, {"g"}, &unguarded)),
            "schema error: SUM requires numeric values, found Text(\"t\")");

  // A grouped column missing from the select list is not an output column.
  HavingPred not_output{HavingCompare{HavingColumn{"g"}, CompareOp::Eq, I(1)}};
  EXPECT_EQ(err(grouped(rows, {item_agg(A::Count, std::nullopt)}, {"g"}, &not_output)),
            "schema error: no column `g`");
  // A NULL on either side is false, not an error.
  HavingPred null_cmp{HavingCompare{HavingAggregate{A::Max, "x"}, CompareOp::Eq, N()}};
  auto none = grouped(rows, {item_col("g")}, {"g"}, &null_cmp);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->rows.empty());
}

// The streaming fold and the collected-rows grouping must agree on every input.
TEST(StreamingAggregate, AgreesWithCollectedGrouping) {
  std::mt19937 rng(5);
  std::vector<Value> pool{N(), I(0), I(1), I(-7), D(1000000), D(-2500000), T("a"), T("b")};
  std::vector<Value> numbers{N(), I(0), I(3), I(-7), D(1000000), D(-2500000)};
  std::vector<SelectItem> items{item_col("g"),          item_agg(A::Count, std::nullopt), item_agg(A::Count, "x"),
                                item_agg(A::Sum, "x"), item_agg(A::Avg, "x"),             item_agg(A::Min, "x"),
                                item_agg(A::Max, "x")};
  for (int round = 0; round < 100; ++round) {
    std::vector<Row> rows;
    size_t n = rng() % 30;
    for (size_t i = 0; i < n; ++i) rows.push_back(Row{pool[rng() % pool.size()], numbers[rng() % numbers.size()]});
    auto expected = grouped(rows, items, {"g"});
    ASSERT_TRUE(expected) << err(expected);
    auto s = aggregate::StreamingGroups::prepare(kNames, items, std::vector<std::string>{"g"}, {}, nullptr);
    ASSERT_TRUE(s);
    for (const Row& row : rows) ASSERT_TRUE(s->step(nullptr, 10, 1, 0, row));
    auto got = std::move(*s).finish(nullptr, {}, false, std::nullopt, 0);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->columns, expected->columns);
    EXPECT_EQ(got->rows, expected->rows);
  }
}

TEST(StreamingAggregate, InvisibleVersionsAreChargedButNotCounted) {
  QueryBudget budget(QueryLimits{3, UINT64_MAX, UINT64_MAX, std::nullopt});
  auto s = aggregate::StreamingGroups::prepare(kNames, {item_agg(A::Count, std::nullopt)}, std::vector<std::string>{},
                                               {}, &budget);
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->step(&budget, 5, 6, 0, Row{I(1), I(1)}));  // created after the snapshot
  ASSERT_TRUE(s->step(&budget, 5, 1, 5, Row{I(1), I(1)}));  // deleted at the snapshot
  ASSERT_TRUE(s->step(&budget, 5, 5, 6, Row{I(1), I(1)}));  // deleted after: visible
  EXPECT_EQ(err(s->step(&budget, 5, 1, 0, Row{I(1), I(1)})), "query resource limit exceeded: scanned more than 3 rows");
  auto r = std::move(*s).finish(nullptr, {}, false, std::nullopt, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->rows, (std::vector<Row>{{I(1)}}));
}

TEST(StreamingAggregate, BudgetTextsForGroupsAndExtremes) {
  std::vector<SelectItem> items{item_col("g"), item_agg(A::Max, "x")};
  // First group: key (24 + 32) + 2 accumulators (192) = 248 bytes.
  QueryBudget tight(QueryLimits{100, 400, 100, std::nullopt});
  auto s = aggregate::StreamingGroups::prepare(kNames, items, std::vector<std::string>{"g"}, {}, &tight);
  ASSERT_TRUE(s);
  ASSERT_TRUE(s->step(&tight, 1, 1, 0, Row{I(1), I(1)}));
  // Second group: its key still fits (304), its accumulators do not (496).
  EXPECT_EQ(err(s->step(&tight, 1, 1, 0, Row{I(2), I(1)})),
            "query resource limit exceeded: aggregate groups exceed materialization budget");

  QueryBudget small(QueryLimits{100, 300, 100, std::nullopt});
  auto k = aggregate::StreamingGroups::prepare(kNames, items, std::vector<std::string>{"g"}, {}, &small);
  ASSERT_TRUE(k->step(&small, 1, 1, 0, Row{I(1), I(1)}));
  EXPECT_EQ(err(k->step(&small, 1, 1, 0, Row{I(2), I(1)})),
            "query resource limit exceeded: materialized more than 300 bytes");

  QueryBudget extreme(QueryLimits{100, 280, 100, std::nullopt});
  auto e = aggregate::StreamingGroups::prepare(kNames, items, std::vector<std::string>{"g"}, {}, &extreme);
  ASSERT_TRUE(e);
  EXPECT_EQ(err(e->step(&extreme, 1, 1, 0, Row{I(1), T("a long text value")})),
            "query resource limit exceeded: aggregate extreme materialized more than 280 bytes");
}

// Streaming validation must report the same first error as the collected path over no rows.
TEST(StreamingAggregate, FirstValidationErrorMatchesCollectedPath) {
  struct Case {
    std::vector<SelectItem> items;
    std::vector<std::string> group_by;
    std::vector<OrderBy> order_by;
  };
  std::vector<Case> cases{
      {{item_agg(A::Sum, "nope")}, {}, {{"zz", false}}},
      {{item_agg(A::Sum, "nope")}, {"g"}, {{"zz", false}}},
      {{item_agg(A::Sum, "x"), item_agg(A::Max, "nope2")}, {}, {}},
      {{item_col("g"), item_agg(A::Min, "x")}, {"g"}, {{"min(x)", true}, {"x", false}}},
      {{item_col("x"), item_expr(lit(I(1)))}, {"g"}, {}},
      {{item_expr(lit(I(1))), item_col("x")}, {"g"}, {}},
      {{item_agg(A::Count, std::nullopt)}, {"g", "bad"}, {}},
  };
  for (const Case& c : cases) {
    auto collected = project_grouped(kNames, {}, c.items, c.group_by, nullptr, c.order_by, false, std::nullopt, 0);
    auto streaming = aggregate::StreamingGroups::prepare(kNames, c.items, c.group_by, c.order_by, nullptr);
    ASSERT_FALSE(collected);
    EXPECT_EQ(err(streaming), err(collected));
  }
}

TEST(StreamingAggregate, NarrowRowIsCorruptionNotAnOverread) {
  auto s = aggregate::StreamingGroups::prepare(kNames, {item_agg(A::Sum, "x")}, std::vector<std::string>{}, {}, nullptr);
  ASSERT_TRUE(s);
  EXPECT_EQ(err(s->step(nullptr, 1, 1, 0, Row{I(1)})),
            "data corruption: record field count does not match table columns");
}

}  // namespace
}  // namespace qm::db
