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

TEST(ProjectSelect, AggregateItemIsRefusedOnThisPath) {
  EXPECT_EQ(err(run(ProjectItems{{item_agg(AggregateFunction::Count, std::nullopt)}})),
            "query parse error: aggregate projection requires the grouped execution path");
}

}  // namespace
}  // namespace qm::db
