#include <gtest/gtest.h>

#include "query/eval/aggregate.h"
#include "table/query_budget.h"
#include "query/eval/trees.h"

namespace qm::db {
namespace {

using namespace testing;
using Clock = std::chrono::steady_clock;

QueryLimits limits(uint64_t rows, uint64_t bytes) { return QueryLimits{rows, bytes, UINT64_MAX, std::nullopt}; }

TEST(QueryBudget, ZeroScanLimitFailsFirstRowNamingZero) {
  QueryBudget b(limits(0, 100));
  EXPECT_EQ(err(b.scan_row()), "query resource limit exceeded: scanned more than 0 rows");
  QueryBudget c(limits(0, 100));
  EXPECT_TRUE(c.reserve_index_candidates(0));
  EXPECT_EQ(c.bytes_materialized, 0u);
}

TEST(QueryBudget, IndexCandidatesBoundedByRemainingScanAllowance) {
  QueryBudget b(limits(5, 1000));
  ASSERT_TRUE(b.scan_row());
  ASSERT_TRUE(b.scan_row());
  EXPECT_TRUE(b.reserve_index_candidates(3));
  EXPECT_EQ(b.bytes_materialized, 24u);
  EXPECT_EQ(b.rows_scanned, 2u);  // candidates are charged as rows only when read
  EXPECT_EQ(err(b.reserve_index_candidates(4)),
            "query resource limit exceeded: index produced more than 3 remaining row candidates");
  QueryBudget small(limits(100, 15));
  EXPECT_EQ(err(small.reserve_index_candidates(2)),
            "query resource limit exceeded: index candidates materialized more than 15 bytes");
}

TEST(QueryBudget, HugeCandidateCountSaturatesInsteadOfWrapping) {
  QueryBudget b(limits(UINT64_MAX, UINT64_MAX - 1));
  EXPECT_FALSE(b.reserve_index_candidates(UINT64_MAX / 4));
  EXPECT_EQ(b.bytes_materialized, UINT64_MAX);
  // Still over every smaller limit afterwards.
  EXPECT_FALSE(b.materialize(Row{}));
  EXPECT_EQ(b.bytes_materialized, UINT64_MAX);
}

TEST(QueryBudget, CancelWinsOverExpiredDeadline) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  QueryLimits l = limits(10, 10);
  l.deadline = Clock::now() - std::chrono::seconds(1);
  QueryBudget b(l, flag);
  EXPECT_EQ(err(b.scan_row()), "query resource limit exceeded: deadline expired");
  EXPECT_EQ(b.rows_scanned, 0u);  // liveness is tested before the charge
  flag->store(true);
  EXPECT_TRUE(b.scan_row().error().is(ErrorKind::Cancelled));
  EXPECT_EQ(err(b.checkpoint()), "database operation was cancelled");
}

TEST(QueryBudget, MaterializeIgnoresCancelAndDeadline) {
  auto flag = std::make_shared<std::atomic<bool>>(true);
  QueryLimits l = limits(10, 1000);
  l.deadline = Clock::now() - std::chrono::seconds(1);
  QueryBudget b(l, flag);
  EXPECT_TRUE(b.materialize(Row{I(1)}));
  EXPECT_FALSE(b.materialize_value("x", I(1)));
  EXPECT_FALSE(b.reserve_index_candidates(0));
}

// The key and accumulator charges and their texts are asserted by the streaming aggregate tests.
TEST(ChargeGroup, LivenessIsCheckedAndNoBudgetChargesNothing) {
  auto flag = std::make_shared<std::atomic<bool>>(true);
  QueryBudget cancelled(limits(10, 1000), flag);
  EXPECT_TRUE(aggregate::charge_group(&cancelled, Row{}, 1).error().is(ErrorKind::Cancelled));
  EXPECT_TRUE(aggregate::charge_group(nullptr, Row{}, 1000));
}

}  // namespace
}  // namespace qm::db
