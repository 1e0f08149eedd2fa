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
