// Exact vector index: both metrics bit for bit, the clamp, the checks and budgets, ordering,
// filtering, and slot reuse after removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "vector/vector_index.h"
#include "support/result_text.h"

namespace qm::vector {
namespace {


std::vector<VectorHit> search(const VectorIndex& index, std::vector<float> q, size_t limit = 10) {
  return must(index.search_matching(q, limit, nullptr));
}

TEST(Distance, BothMetricsMatchTheirDefinitions) {
  struct Case {
    Metric metric;
    std::vector<float> stored, query;
    double want;
  };
  const float third = 1.0f / 3.0f;
  // Cosine of the last case by hand, in f64 and element order.
  double s0 = third, s1 = 0.7f, q0 = 0.1f, q1 = 2.5f;
  double dot = 0.0 + s0 * q0 + s1 * q1;
  double ns = std::sqrt(0.0 + s0 * s0 + s1 * s1), nq = std::sqrt(0.0 + q0 * q0 + q1 * q1);
  const std::vector<Case> cases = {
      {Metric::Cosine, {1, 0}, {2, 0}, 0.0},
      {Metric::Cosine, {0, 1}, {0, -3}, 2.0},
      {Metric::Cosine, {1, 2}, {2, 4}, 1.0 - 10.0 / (std::sqrt(5.0) * std::sqrt(20.0))},  // not quite 0 in f64
      {Metric::Cosine, {1, 0}, {0, 5}, 1.0},
      {Metric::Cosine, {third, 0.7f}, {0.1f, 2.5f}, 1.0 - dot / (ns * nq)},
      {Metric::SquaredEuclidean, {0, 0}, {3, 4}, 25.0},
      {Metric::SquaredEuclidean, {1.5f, -2}, {1.5f, -2}, 0.0},
      {Metric::SquaredEuclidean, {0, 0}, {0, 0}, 0.0},  // zero vectors are fine without cosine
  };
  for (const auto& c : cases) {
    VectorIndex index(2, c.metric);
    ASSERT_TRUE(index.upsert(1, c.stored).has_value());
    auto got = search(index, c.query);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].distance, c.want) << c.stored[0] << "," << c.stored[1];
  }
  // Rounding may push a parallel or opposite pair just past 0 or 2: the clamp holds the range.
  VectorIndex index(3, Metric::Cosine);
  ASSERT_TRUE(index.upsert(1, std::vector<float>{0.1f, 0.2f, 0.3f}).has_value());
  for (float k : {3.0f, 7.0f, 0.3f, -3.0f, -7.0f, -0.3f}) {
    double d = search(index, {0.1f * k, 0.2f * k, 0.3f * k})[0].distance;
    EXPECT_TRUE(d >= 0.0 && d <= 2.0) << d;
  }
}

TEST(Check, InvalidVectorsAreRefusedBeforeBudgets) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  VectorIndex cosine(2, Metric::Cosine);
  for (const auto& bad : std::vector<std::vector<float>>{{1}, {1, 2, 3}, {nan, 1}, {inf, 1}, {0, -0.0f}}) {
    EXPECT_EQ(cosine.upsert(1, bad).error(), VectorError::Invalid);
    EXPECT_EQ(cosine.search_matching(bad, 101, nullptr).error(), VectorError::Invalid);  // query check comes first
  }
  EXPECT_EQ(cosine.search_matching(std::vector<float>{1, 1}, 101, nullptr).error(), VectorError::Budget);
  EXPECT_EQ(cosine.size(), 0u);
  EXPECT_STREQ(to_string(VectorError::Invalid),
               "vectors must match dimensions and contain finite values; cosine vectors must be nonzero");
}

TEST(Budget, CountAndElementLimits) {
  VectorIndex small(1, Metric::SquaredEuclidean);
  for (int64_t i = 0; i < 10000; ++i) ASSERT_TRUE(small.upsert(i, std::vector<float>{1}).has_value());
  EXPECT_EQ(small.upsert(10000, std::vector<float>{1}).error(), VectorError::Budget);
  EXPECT_TRUE(small.upsert(5, std::vector<float>{2}).has_value());
  EXPECT_EQ(small.upsert(10000, std::vector<float>{1, 2}).error(), VectorError::Invalid);  // length first

  VectorIndex wide(4096, Metric::SquaredEuclidean);
  std::vector<float> v(4096, 1.0f);
  for (int64_t i = 0; i < 1024; ++i) ASSERT_TRUE(wide.upsert(i, v).has_value());
  EXPECT_EQ(wide.upsert(1024, v).error(), VectorError::Budget);
}

TEST(Search, OrdersByDistanceThenIdAndFilters) {
  VectorIndex index(2, Metric::SquaredEuclidean);
  for (auto [id, x] : std::vector<std::pair<int64_t, float>>{{9, 1}, {3, -1}, {5, 0}, {7, 2}, {1, 4}})
    ASSERT_TRUE(index.upsert(id, std::vector<float>{x, 0}).has_value());
  auto got = search(index, {0, 0}, 3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], (VectorHit{5, 0.0}));
  EXPECT_EQ(got[1], (VectorHit{3, 1.0}));  // ties: ascending id
  EXPECT_EQ(got[2], (VectorHit{9, 1.0}));
  EXPECT_TRUE(search(index, {0, 0}, 0).empty());

  std::vector<int64_t> allowed = {1, 7};
  auto filtered = must(index.search_filtered(std::vector<float>{0, 0}, 10, allowed));
  EXPECT_EQ(filtered, (std::vector<VectorHit>{{7, 4.0}, {1, 16.0}}));
  std::vector<int64_t> unknown = {1, 2};
  EXPECT_EQ(index.search_filtered(std::vector<float>{0, 0}, 10, unknown).error(), VectorError::Invalid);
  EXPECT_TRUE(index.search_filtered(std::vector<float>{0, 0}, 10, std::vector<int64_t>{})->empty());

  // Removing moves the last slot into the hole; every id must still find its own vector.
  EXPECT_TRUE(index.remove(3));
  EXPECT_FALSE(index.remove(3));
  EXPECT_EQ(index.vector(1)[0], 4.0f);
  EXPECT_EQ(search(index, {0, 0}).size(), 4u);
  EXPECT_EQ(search(index, {4, 0}, 1)[0].id, 1);
}

TEST(Search, BlockScanEqualsOneByOneDistances) {
  // 21 vectors: two full blocks and a partial one, after removals that move slots around.
  for (Metric metric : {Metric::Cosine, Metric::SquaredEuclidean}) {
    VectorIndex index(5, metric);
    uint32_t seed = 7;
    auto next = [&] {
      seed = seed * 1103515245u + 12345u;
      return static_cast<float>(static_cast<int>(seed >> 16) % 2001 - 1000) / 37.0f;
    };
    for (int64_t id = 0; id < 24; ++id) ASSERT_TRUE(index.upsert(id * 3, std::vector<float>{next(), next(), next(), next(), 1.0f}).has_value());
    for (int64_t id : {0, 30, 69}) EXPECT_TRUE(index.remove(id));
    std::vector<float> q = {next(), next(), next(), next(), next()};
    auto scanned = search(index, q, 100);
    ASSERT_EQ(scanned.size(), 21u);
    // A filter of all but one id takes the one-slot-at-a-time path.
    std::vector<int64_t> most;
    for (const auto& [id, slot] : index.ids()) most.push_back(id);
    most.pop_back();
    auto one_by_one = must(index.search_filtered(q, 100, most));
    for (const auto& hit : one_by_one) {
      auto same = std::find_if(scanned.begin(), scanned.end(), [&](const VectorHit& h) { return h.id == hit.id; });
      ASSERT_NE(same, scanned.end());
      EXPECT_EQ(std::memcmp(&same->distance, &hit.distance, sizeof(double)), 0) << hit.id;
    }
  }
}

}  // namespace
}  // namespace qm::vector
