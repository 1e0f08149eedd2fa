// Join-key matching, the probe-or-build choice and the joined rows.
#include <gtest/gtest.h>

#include "query/eval/join_rows.h"
#include "query/eval/trees.h"

namespace qm::db::join {
namespace {

using namespace qm::db::testing;

QueryLimits unlimited() { return QueryLimits{UINT64_MAX, UINT64_MAX, UINT64_MAX, std::nullopt}; }

RightMap right_map(std::vector<Row> rows, size_t pos = 0) {
  RightMap map(pos);
  add_right_rows(map, std::move(rows));
  return map;
}

TEST(JoinKeys, NumbersOrderNumericallyAcrossKindsAndBeforeText) {
  // The set of distinct keys must be a strict weak order over mixed kinds.
  KeySet keys{D(1500000), I(1), I(2), T("0"), D(2000000), B("z"), I(-7)};
  std::vector<Value> got = sorted_keys(keys);
  EXPECT_EQ(got, (std::vector<Value>{I(-7), I(1), D(1500000), I(2), T("0"), B("z")}));
}

TEST(JoinKeys, ExtremeIntsDoNotOverflowWhenScaled) {
  EXPECT_EQ(compare_keys(I(INT64_MAX), D(static_cast<i128>(INT64_MAX) * 1000000)), std::strong_ordering::equal);
  EXPECT_EQ(compare_keys(I(INT64_MIN), D(kI128Min)), std::strong_ordering::greater);
}

TEST(RightMapTable, ThousandsOfKeysSurviveGrowthAndFindEveryTwin) {
  // Grown from empty (no reserve), so every rehash is exercised; keys of three kinds.
  RightMap map(0);
  for (int64_t i = 0; i < 3000; ++i) {
    Value key = i % 3 == 0 ? I(i) : i % 3 == 1 ? D(static_cast<i128>(i) * 1000000) : Value::text(std::to_string(i));
    map.add(Row{key, I(i)});
    if (i % 7 == 0) map.add(Row{key, I(-i)});  // a second row under the key, chained after the first
  }
  map.add(Row{N(), I(0)});  // dropped
  for (int64_t i = 0; i < 3000; ++i) {
    Value numeric = i % 3 == 1 ? I(i) : D(static_cast<i128>(i) * 1000000);  // the other numeric twin
    Value key = i % 3 == 2 ? Value::text(std::to_string(i)) : numeric;
    size_t m = map.first(key);
    ASSERT_NE(m, RightMap::npos) << i;
    EXPECT_EQ(map.row(m)[1], I(i));
    m = map.next(m);
    if (i % 7 == 0) {
      ASSERT_NE(m, RightMap::npos) << i;
      EXPECT_EQ(map.row(m)[1], I(-i));
      m = map.next(m);
    }
    EXPECT_EQ(m, RightMap::npos) << i;
  }
  EXPECT_EQ(map.first(T("0")), RightMap::npos);  // the text "0" is not the number 0
  EXPECT_EQ(map.first(N()), RightMap::npos);
  EXPECT_EQ(RightMap(0).first(I(1)), RightMap::npos);
}

TEST(PreferProbe, FourProbesPerRightRowVersionIsTheThreshold) {
  EXPECT_TRUE(prefer_probe(10, 40, false));
  EXPECT_FALSE(prefer_probe(10, 39, false));
  EXPECT_TRUE(prefer_probe(0, 0, false));
  EXPECT_FALSE(prefer_probe(1, 0, false));  // an empty table still counts as one version
  EXPECT_FALSE(prefer_probe(UINT64_MAX / 2, UINT64_MAX - 1, false));  // the product saturates, never wraps
  EXPECT_TRUE(prefer_probe(UINT64_MAX / 4, UINT64_MAX, false));
  EXPECT_TRUE(prefer_probe(1000, 1, true));  // a budgeted query always probes
}

TEST(DistinctLeftKeys, RepeatedKeysAreChargedEachTimeButCollectedOnce) {
  std::vector<Row> left{{I(1)}, {I(1)}, {D(1000000)}, {N()}, {T("ab")}};
  QueryBudget budget(unlimited());
  auto keys = must(distinct_left_keys(left, 0, &budget, SIZE_MAX));
  EXPECT_EQ(keys.size(), 2u);
  EXPECT_TRUE(keys.contains(I(1)));
  EXPECT_EQ(sorted_keys(keys).front(), D(1000000));  // kept in normalised form
  EXPECT_EQ(budget.bytes_materialized, 32u * 3 + 32 + 2);  // NULL is not charged
  // Collection stops at the limit, but every key is still charged.
  std::vector<Row> four{{I(1)}, {I(2)}, {I(3)}, {I(4)}};
  QueryBudget counted(unlimited());
  auto two = must(distinct_left_keys(four, 0, &counted, 2));
  EXPECT_EQ(two.size(), 2u);
  EXPECT_EQ(counted.bytes_materialized, 4u * 32);
}

TEST(DistinctLeftKeys, ChargesFailWithTheProbeKeysLabelAndCancelStopsFirst) {
  std::vector<Row> left{{I(1)}, {I(2)}};
  QueryLimits limits = unlimited();
  limits.max_bytes = 40;
  QueryBudget budget(limits);
  EXPECT_EQ(err(distinct_left_keys(left, 0, &budget, 0)),
            "query resource limit exceeded: join probe keys materialized more than 40 bytes");
  QueryBudget cancelled(unlimited(), std::make_shared<std::atomic<bool>>(true));
  EXPECT_EQ(err(distinct_left_keys(left, 0, &cancelled, SIZE_MAX)), "database operation was cancelled");
}

TEST(JoinRows, EveryMatchInRightOrderAndTheLeftRowIsNotLostWhenMoved) {
  const RightMap right = right_map({{T("k"), I(1)}, {T("x"), I(9)}, {T("k"), I(2)}, {T("k"), I(3)}});
  std::vector<Row> left{{T("k")}, {T("k")}};
  auto out = must(join_rows(left, 0, right, 2, sql::JoinKind::Inner, nullptr));
  ASSERT_EQ(out.size(), 6u);
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ((out)[i], (Row{T("k"), T("k"), I(static_cast<int64_t>(i % 3 + 1))}));
}

TEST(JoinRows, OutputRowsAreChargedAsMaterialised) {
  const RightMap right = right_map({{I(1)}, {I(1)}});
  std::vector<Row> left{{I(1)}};
  QueryBudget budget(unlimited());
  ASSERT_TRUE(join_rows(left, 0, right, 1, sql::JoinKind::Inner, &budget));
  EXPECT_EQ(budget.bytes_materialized, 2u * (24 + 64));
  QueryLimits limits = unlimited();
  limits.max_bytes = 100;
  QueryBudget tight(limits);
  EXPECT_EQ(err(join_rows(left, 0, right, 1, sql::JoinKind::Inner, &tight)),
            "query resource limit exceeded: materialized more than 100 bytes");
}

TEST(JoinRows, NarrowLeftRowIsCorruptionNotAnOutOfBoundsRead) {
  std::vector<Row> left{{I(1)}};
  EXPECT_EQ(err(join_rows(left, 3, RightMap(0), 1, sql::JoinKind::Left, nullptr)),
            "data corruption: record field count does not match table columns");
}

}  // namespace
}  // namespace qm::db::join
