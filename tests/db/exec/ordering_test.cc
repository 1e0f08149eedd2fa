#include <gtest/gtest.h>

#include <random>

#include "db/exec/ordering.h"
#include "trees.h"

namespace qm::db {
namespace {

using namespace testing;

const std::vector<std::string> kNames{"k", "tag"};

std::vector<Row> rows_of(std::vector<Value> keys) {
  std::vector<Row> out;
  for (size_t i = 0; i < keys.size(); ++i) out.push_back(Row{keys[i], I(static_cast<int64_t>(i))});
  return out;
}

std::vector<Value> column(const std::vector<Row>& rows, size_t c) {
  std::vector<Value> out;
  for (const Row& r : rows) out.push_back(r[c]);
  return out;
}

TEST(SortRows, NullsFirstAscendingLastDescendingAndKindsBeforeValues) {
  auto rows = rows_of({T("b"), D(1500000), N(), I(10), B("a"), T("B"), T("ba")});
  ASSERT_TRUE(sort_rows(rows, kNames, std::vector<OrderBy>{{"k", false}}));
  EXPECT_EQ(column(rows, 0), (std::vector<Value>{N(), I(10), D(1500000), T("B"), T("b"), T("ba"), B("a")}));
  ASSERT_TRUE(sort_rows(rows, kNames, std::vector<OrderBy>{{"k", true}}));
  EXPECT_EQ(column(rows, 0), (std::vector<Value>{B("a"), T("ba"), T("b"), T("B"), D(1500000), I(10), N()}));
}

TEST(SortRows, StableOnEqualKeysAndSecondKeyOnlyBreaksTies) {
  auto rows = rows_of({I(2), I(1), I(2), I(1), I(2)});
  ASSERT_TRUE(sort_rows(rows, kNames, std::vector<OrderBy>{{"k", true}}));
  EXPECT_EQ(column(rows, 1), (std::vector<Value>{I(0), I(2), I(4), I(1), I(3)}));
  ASSERT_TRUE(sort_rows(rows, kNames, std::vector<OrderBy>{{"k", false}, {"tag", true}}));
  EXPECT_EQ(column(rows, 1), (std::vector<Value>{I(3), I(1), I(4), I(2), I(0)}));
}

TEST(SortRows, UnknownKeyFailsEvenWithoutRows) {
  std::vector<Row> none;
  EXPECT_EQ(err(sort_rows(none, kNames, std::vector<OrderBy>{{"nope", false}})), "schema error: no column `nope`");
  EXPECT_EQ(err(take_top_n(none, kNames, std::vector<OrderBy>{{"nope", false}}, 0)), "schema error: no column `nope`");
}

// Top-N must return exactly the first k rows of the full stable sort, ties included.
TEST(TopN, EqualsStableSortPrefixWithManyTies) {
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    size_t n = rng() % 40;
    std::vector<Value> keys;
    for (size_t i = 0; i < n; ++i) {
      switch (rng() % 4) {
        case 0: keys.push_back(N()); break;
        case 1: keys.push_back(I(rng() % 3)); break;
        case 2: keys.push_back(D((rng() % 3) * 1000000)); break;
        default: keys.push_back(T(rng() % 2 ? "a" : "b")); break;
      }
    }
    std::vector<OrderBy> ob{{"k", rng() % 2 == 0}};
    auto full = rows_of(keys);
    ASSERT_TRUE(sort_rows(full, kNames, ob));
    uint64_t k = rng() % (n + 2);
    auto top = rows_of(keys);
    ASSERT_TRUE(take_top_n(top, kNames, ob, k));
    full.resize(std::min<size_t>(k, full.size()));
    ASSERT_EQ(top, full) << "n=" << n << " k=" << k;
  }
}

TEST(Dedup, KeepsFirstOccurrenceAndSeparatesIntFromDecimal) {
  std::vector<Row> rows{{I(1)}, {D(1000000)}, {N()}, {N()}, {I(1)}, {T("a")}, {B("a")}, {T("a")}};
  dedup_rows(rows);
  EXPECT_EQ(rows, (std::vector<Row>{{I(1)}, {D(1000000)}, {N()}, {T("a")}, {B("a")}}));
  std::vector<Row> wide{{I(1), I(2)}, {I(1), I(3)}, {I(1), I(2)}};
  dedup_rows(wide);
  EXPECT_EQ(wide, (std::vector<Row>{{I(1), I(2)}, {I(1), I(3)}}));
}

TEST(OffsetLimit, ExtremesAndOrder) {
  auto make = [] { return rows_of({I(0), I(1), I(2), I(3)}); };
  auto r = make();
  apply_offset_limit(r, std::nullopt, UINT64_MAX);
  EXPECT_TRUE(r.empty());
  r = make();
  apply_offset_limit(r, 0, 0);
  EXPECT_TRUE(r.empty());
  r = make();
  apply_offset_limit(r, UINT64_MAX, 1);
  EXPECT_EQ(r.size(), 3u);
  r = make();
  apply_offset_limit(r, 2, 1);  // OFFSET first, then LIMIT
  EXPECT_EQ(column(r, 0), (std::vector<Value>{I(1), I(2)}));
}

}  // namespace
}  // namespace qm::db
