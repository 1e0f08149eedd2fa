#include <gtest/gtest.h>

#include <random>

#include "query/eval/ordering.h"
#include "query/eval/trees.h"

namespace qm::db {
namespace {

using namespace testing;

const std::vector<std::string> kNames{"k", "tag"};

std::vector<Row> rows_of(std::vector<Value> keys) {
  std::vector<Row> out;
  for (size_t i = 0; i < keys.size(); ++i) out.push_back(Row{keys[i], I(static_cast<int64_t>(i))});
  return out;
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

}  // namespace
}  // namespace qm::db
