#include <gtest/gtest.h>

#include "db/exec/projection.h"
#include "trees.h"

namespace qm::db {
namespace {

using namespace testing;
using F = query::ScalarFunction;

const std::vector<std::string> kNames{"id", "name", "price"};

std::vector<Row> sample() {
  return {{I(3), T("c"), D(3000000)}, {I(1), T("a"), I(1)}, {I(2), T("b"), N()}, {I(4), T("a"), I(7)}};
}

Result<RowsResult> run(Projection p, std::vector<OrderBy> ob = {}, bool distinct = false,
                       std::optional<uint64_t> limit = std::nullopt, uint64_t offset = 0,
                       std::vector<Row> rows = sample()) {
  return project_select(kNames, std::move(rows), p, ob, distinct, limit, offset);
}

TEST(ProjectSelect, StarKeepsSourceNamesAndRows) {
  auto r = run(ProjectAll{});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->columns, kNames);
  EXPECT_EQ(r->rows, sample());
}

TEST(ProjectSelect, ColumnListRepeatsColumnsAndFailsOnMisspellingWithoutRows) {
  auto r = run(ProjectColumns{{"name", "id", "name"}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->columns, (std::vector<std::string>{"name", "id", "name"}));
  EXPECT_EQ(r->rows[0], (Row{T("c"), I(3), T("c")}));
  EXPECT_EQ(err(run(ProjectColumns{{"id", "nmae"}}, {}, false, std::nullopt, 0, {})),
            "schema error: no column `nmae`");
}

TEST(ProjectSelect, ItemsResolveLazilySoEmptyInputHidesMisspelling) {
  Projection items = ProjectItems{{item_col("nmae", "x")}};
  auto empty = run(items, {}, false, std::nullopt, 0, {});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->columns, std::vector<std::string>{"x"});
  EXPECT_EQ(err(run(items)), "schema error: no column `nmae`");
}

TEST(ProjectSelect, ItemNamesAreAliasColumnOrLabel) {
  Projection items = ProjectItems{{item_col("id"), item_col("name", "n"), item_expr(call(F::Upper, {col("name")})),
                                   item_expr(lit(I(7)), "seven")}};
  auto r = run(items, {{"id", false}});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->columns, (std::vector<std::string>{"id", "n", "upper(name)", "seven"}));
  EXPECT_EQ(r->rows[0], (Row{I(1), T("a"), T("A"), I(7)}));
}

TEST(ProjectSelect, OrderByNamesSourceColumnsNotAliases) {
  Projection items = ProjectItems{{item_col("name", "x")}};
  EXPECT_EQ(err(run(items, {{"x", false}})), "schema error: no column `x`");
  auto r = run(ProjectColumns{{"name"}}, {{"id", true}});  // ordering by a column not selected
  ASSERT_TRUE(r);
  EXPECT_EQ(r->rows, (std::vector<Row>{{T("a")}, {T("c")}, {T("b")}, {T("a")}}));
}

TEST(ProjectSelect, AggregateItemIsRefusedOnThisPath) {
  EXPECT_EQ(err(run(ProjectItems{{item_agg(AggregateFunction::Count, std::nullopt)}})),
            "query parse error: aggregate projection requires the grouped execution path");
}

TEST(ProjectSelect, JoinedNamesResolveQualifiedAndUnqualified) {
  std::vector<std::string> names{"o.id", "p.id", "o.price"};
  std::vector<Row> rows{{I(1), I(2), I(3)}};
  EXPECT_EQ(err(project_select(names, rows, ProjectColumns{{"id"}}, {}, false, std::nullopt, 0)),
            "schema error: ambiguous column `id`");
  EXPECT_EQ(err(project_select(names, rows, ProjectColumns{{"z.id"}}, {}, false, std::nullopt, 0)),
            "schema error: no column `z.id`");
  auto r = project_select(names, rows, ProjectColumns{{"o.id", "price"}}, {}, false, std::nullopt, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->columns, (std::vector<std::string>{"o.id", "price"}));
  EXPECT_EQ(r->rows[0], (Row{I(1), I(3)}));
}

TEST(ProjectSelect, TopNWithOffsetReturnsTheMiddleOfTheOrder) {
  auto r = run(ProjectColumns{{"id"}}, {{"id", true}}, false, 2, 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->rows, (std::vector<Row>{{I(3)}, {I(2)}}));
  auto zero = run(ProjectColumns{{"id"}}, {{"id", true}}, false, 0, 0);
  ASSERT_TRUE(zero);
  EXPECT_TRUE(zero->rows.empty());
  auto huge = run(ProjectColumns{{"id"}}, {{"id", false}}, false, 2, UINT64_MAX);  // k saturates
  ASSERT_TRUE(huge);
  EXPECT_TRUE(huge->rows.empty());
}

TEST(ProjectSelect, TopNProjectsOnlyTheKeptRows) {
  // ABS fails on the text row, which top-N drops before projection.
  std::vector<Row> rows{{I(1), T("x"), I(-1)}, {I(2), T("y"), T("bad")}};
  Projection items = ProjectItems{{item_expr(call(F::Abs, {col("price")}))}};
  auto r = project_select(kNames, rows, items, std::vector<OrderBy>{{"id", false}}, false, 1, 0);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->rows, (std::vector<Row>{{I(1)}}));
  EXPECT_EQ(err(project_select(kNames, rows, items, {}, false, 1, 0)),
            "schema error: ABS expects a numeric value, found text");
}

TEST(ProjectSelect, DistinctThenOffsetThenLimit) {
  std::vector<Row> rows{{I(1), T("a"), N()}, {I(1), T("a"), N()}, {I(2), T("b"), N()}, {I(3), T("a"), N()},
                        {I(4), T("c"), N()}};
  auto r = project_select(kNames, rows, ProjectColumns{{"name"}}, std::vector<OrderBy>{{"name", false}}, true, 1, 1);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->rows, (std::vector<Row>{{T("b")}}));
  auto mixed = project_select(kNames, {{I(1), N(), N()}, {D(1000000), N(), N()}}, ProjectColumns{{"id"}}, {}, true,
                              std::nullopt, 0);
  ASSERT_TRUE(mixed);
  EXPECT_EQ(mixed->rows.size(), 2u);
}

TEST(ProjectionToItems, StarIsAQueryErrorAndColumnsBecomeItems) {
  auto star = projection_to_items(ProjectAll{});
  ASSERT_FALSE(star);
  EXPECT_TRUE(star.error().is(ErrorKind::Query));
  EXPECT_EQ(star.error().message(), "query parse error: SELECT * cannot be combined with GROUP BY or aggregates");
  auto items = projection_to_items(ProjectColumns{{"a", "b"}});
  ASSERT_TRUE(items);
  EXPECT_EQ(*items, (std::vector<SelectItem>{item_col("a"), item_col("b")}));
}

TEST(CountStarOnly, RecognisesOnlyALoneCountStar) {
  auto plain = count_star_only(ProjectItems{{item_agg(AggregateFunction::Count, std::nullopt)}});
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->alias);
  auto aliased = count_star_only(ProjectItems{{item_agg(AggregateFunction::Count, std::nullopt, "n")}});
  ASSERT_TRUE(aliased);
  EXPECT_EQ(aliased->alias, "n");
  EXPECT_FALSE(count_star_only(ProjectItems{{item_agg(AggregateFunction::Count, "x")}}));
  EXPECT_FALSE(count_star_only(ProjectItems{{item_agg(AggregateFunction::Sum, std::nullopt)}}));
  EXPECT_FALSE(count_star_only(ProjectItems{
      {item_agg(AggregateFunction::Count, std::nullopt), item_agg(AggregateFunction::Count, std::nullopt)}}));
  EXPECT_FALSE(count_star_only(ProjectAll{}));
  EXPECT_FALSE(count_star_only(ProjectColumns{{"count"}}));
}

}  // namespace
}  // namespace qm::db
