#include <gtest/gtest.h>

#include <random>

#include "query/eval/aggregate.h"
#include "query/eval/grouping.h"
#include "query/eval/streaming_aggregate.h"
#include "query/eval/trees.h"

namespace qm::db {
namespace {

using namespace testing;
using A = sql::AggregateFunction;
using sql::CompareOp;

const std::vector<std::string> kNames{"g", "x"};

Result<RowsResult> grouped(std::vector<Row> rows, std::vector<SelectItem> items, std::vector<std::string> group_by,
                           const HavingPred* having = nullptr, std::vector<OrderBy> ob = {}) {
  return project_grouped(kNames, std::move(rows), items, group_by, having, ob, false, std::nullopt, 0);
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
    auto expected = must(grouped(rows, items, {"g"}));
    auto s = must(aggregate::StreamingGroups::prepare(kNames, items, std::vector<std::string>{"g"}, {}, nullptr));
    for (const Row& row : rows) ASSERT_TRUE(s.step(nullptr, 10, 1, 0, row));
    auto got = must(std::move(s).finish(nullptr, {}, false, std::nullopt, 0));
    EXPECT_EQ(got.columns, expected.columns);
    EXPECT_EQ(got.rows, expected.rows);
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
  auto r = must(std::move(*s).finish(nullptr, {}, false, std::nullopt, 0));
  EXPECT_EQ(r.rows, (std::vector<Row>{{I(1)}}));
}

TEST(StreamingAggregate, BudgetTextsForGroupsAndExtremes) {
  std::vector<SelectItem> items{item_col("g"), item_agg(A::Max, "x")};
  // First group: key (24 + 32) + 2 accumulators (192) = 248 bytes.
  QueryBudget tight(QueryLimits{100, 400, 100, std::nullopt});
  auto s = must(aggregate::StreamingGroups::prepare(kNames, items, std::vector<std::string>{"g"}, {}, &tight));
  ASSERT_TRUE(s.step(&tight, 1, 1, 0, Row{I(1), I(1)}));
  // Second group: its key still fits (304), its accumulators do not (496).
  EXPECT_EQ(err(s.step(&tight, 1, 1, 0, Row{I(2), I(1)})),
            "query resource limit exceeded: aggregate groups exceed materialization budget");

  QueryBudget small(QueryLimits{100, 300, 100, std::nullopt});
  auto k = aggregate::StreamingGroups::prepare(kNames, items, std::vector<std::string>{"g"}, {}, &small);
  ASSERT_TRUE(k->step(&small, 1, 1, 0, Row{I(1), I(1)}));
  EXPECT_EQ(err(k->step(&small, 1, 1, 0, Row{I(2), I(1)})),
            "query resource limit exceeded: materialized more than 300 bytes");

  QueryBudget extreme(QueryLimits{100, 280, 100, std::nullopt});
  auto e = must(aggregate::StreamingGroups::prepare(kNames, items, std::vector<std::string>{"g"}, {}, &extreme));
  EXPECT_EQ(err(e.step(&extreme, 1, 1, 0, Row{I(1), T("a long text value")})),
            "query resource limit exceeded: aggregate extreme materialized more than 280 bytes");
}

TEST(StreamingAggregate, NarrowRowIsCorruptionNotAnOverread) {
  auto s = must(aggregate::StreamingGroups::prepare(kNames, {item_agg(A::Sum, "x")}, std::vector<std::string>{}, {}, nullptr));
  EXPECT_EQ(err(s.step(nullptr, 1, 1, 0, Row{I(1)})),
            "data corruption: record field count does not match table columns");
}

}  // namespace
}  // namespace qm::db
