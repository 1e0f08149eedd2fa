#include <gtest/gtest.h>

#include "query/eval/projection.h"
#include "query/eval/trees.h"

namespace qm::db {
namespace {

using namespace testing;

TEST(ProjectSelect, AggregateItemIsRefusedOnThisPath) {
  const Projection count = ProjectItems{{item_agg(AggregateFunction::Count, std::nullopt)}};
  EXPECT_EQ(err(project_select({"id", "name"}, {{I(3), T("c")}}, count, {}, false, std::nullopt, 0)),
            "query parse error: aggregate projection requires the grouped execution path");
}

}  // namespace
}  // namespace qm::db
