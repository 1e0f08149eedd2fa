// Index candidate planning: numeric ranges at the i64 extremes (computed wide, clamped
// last), range intersection, the choice between indexed columns, and the equality
// shortcut with its numeric twin.
#include "query/plan/index_plan.h"
#include "support/result_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

using qm::test::must;
using qm::Value;
using qm::db::comparison_ranges;
using qm::db::index_candidates;
using qm::db::intersect_range;
using qm::sql::CompareOp;
using qm::storage::Bound;
using qm::storage::KeyRange;
using qm::storage::SecondaryIndex;

// The row ids the ranges take from an index holding `keys` (key i has row id i).
std::vector<uint64_t> ids_in(const std::vector<Value>& keys, const qm::db::RangeList& ranges) {
  SecondaryIndex index;
  for (size_t i = 0; i < keys.size(); ++i) index.insert(keys[i], i);
  std::vector<uint64_t> out;
  for (const KeyRange& r : ranges) index.append_range(r, out);
  return out;
}

const std::vector<Value> kKeys = {
    Value::null(),                     // 0
    Value::integer(INT64_MIN),         // 1
    Value::integer(-1),                // 2
    Value::integer(5),                 // 3
    Value::integer(INT64_MAX),         // 4
    Value::decimal(-1500000),          // 5: -1.5
    Value::decimal(5000000),           // 6: 5.0
    Value::decimal(5500000),           // 7: 5.5
    Value::text("m"),                  // 8
    Value::blob(std::string("\x01")),  // 9
};

std::vector<uint64_t> ids_for(CompareOp op, const Value& literal) {
  auto ranges = must(comparison_ranges(op, literal));
  return ids_in(kKeys, ranges);
}

// The row ids each comparison's ranges take from the index of kKeys: numeric literals cover
// both numeric kinds and nothing else below; the i64 extremes neither overflow nor wrap.
TEST(ComparisonRanges, EachComparisonTakesItsKeys) {
  const Value huge = Value::decimal(static_cast<qm::i128>(INT64_MAX) * 1000000 + 500000);
  const Value tiny = Value::decimal(static_cast<qm::i128>(INT64_MIN) * 1000000 - 250000);
  const std::tuple<CompareOp, Value, std::vector<uint64_t>> cases[] = {
      {CompareOp::Eq, Value::integer(5), {3, 6}},
      {CompareOp::Eq, Value::decimal(5000000), {3, 6}},
      {CompareOp::Eq, Value::decimal(5500000), {7}},
      {CompareOp::Lt, Value::decimal(-1000000), {1, 5}},
      {CompareOp::Le, Value::decimal(-1500000), {1, 5}},
      // Above a number lie every Text and Blob key too; Null lies nowhere.
      {CompareOp::Gt, Value::decimal(5000000), {4, 7, 8, 9}},
      {CompareOp::Ge, Value::decimal(4500000), {3, 4, 6, 7, 8, 9}},
      {CompareOp::Gt, Value::integer(INT64_MAX), {8, 9}},
      {CompareOp::Ge, Value::integer(INT64_MAX), {4, 8, 9}},
      {CompareOp::Lt, Value::integer(INT64_MIN), {}},
      {CompareOp::Le, Value::integer(INT64_MIN), {1}},
      // Decimals beyond the i64 range: every Int on one side, none on the other.
      {CompareOp::Lt, huge, {1, 2, 3, 4, 5, 6, 7}},
      {CompareOp::Gt, huge, {8, 9}},
      {CompareOp::Eq, huge, {}},
      {CompareOp::Gt, tiny, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {CompareOp::Le, tiny, {}},
  };
  for (const auto& [op, literal, ids] : cases) EXPECT_EQ(ids_for(op, literal), ids) << debug(literal);
}

TEST(ComparisonRanges, NullAndUnindexableOperators) {
  EXPECT_TRUE(must(comparison_ranges(CompareOp::Eq, Value::null())).empty());
  EXPECT_FALSE(comparison_ranges(CompareOp::Ne, Value::integer(1)).has_value());
  EXPECT_FALSE(comparison_ranges(CompareOp::Like, Value::text("a%")).has_value());
  // Below a text every number lies.
  EXPECT_EQ(ids_for(CompareOp::Lt, Value::text("m")), (std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7}));
}

TEST(IntersectRange, ExcludedWinsAtEqualEndsAndEmptyIsNone) {
  const KeyRange gt5{Bound::excluded(Value::integer(5)), Bound::unbounded()};
  const KeyRange ge5{Bound::included(Value::integer(5)), Bound::unbounded()};
  auto both = must(intersect_range(gt5, ge5));
  EXPECT_EQ(both.lower.kind, Bound::Kind::Excluded);
  const KeyRange lt3{Bound::unbounded(), Bound::excluded(Value::integer(3))};
  EXPECT_FALSE(intersect_range(gt5, lt3).has_value());
  const KeyRange le5{Bound::unbounded(), Bound::included(Value::integer(5))};
  EXPECT_FALSE(intersect_range(gt5, le5).has_value());
  EXPECT_TRUE(intersect_range(ge5, le5).has_value());
}

qm::sql::Predicate parse_and(qm::sql::Predicate a, qm::sql::Predicate b) {
  return qm::sql::Predicate{qm::sql::AndPred{std::move(a), std::move(b)}};
}
qm::sql::Predicate cmp(const char* column, CompareOp op, Value v) {
  return qm::sql::Predicate{qm::sql::ComparePred{column, op, std::move(v)}};
}

TEST(IndexCandidates, TheColumnWithFewerIdsIsChosenAndTiesGoByName) {
  qm::db::IndexMap indexes;
  for (int i = 0; i < 6; ++i) indexes["b"].insert(Value::integer(i), 100 + i);
  for (int i = 0; i < 6; ++i) indexes["a"].insert(Value::integer(i), 200 + i);
  // b > 3 has two ids, a >= 1 five: b wins.
  auto r = must(index_candidates(
      indexes, parse_and(cmp("a", CompareOp::Ge, Value::integer(1)), cmp("b", CompareOp::Gt, Value::integer(3))),
      nullptr));
  EXPECT_EQ(*r, (std::vector<uint64_t>{104, 105}));
  // Equal counts: a sorts first.
  r = must(index_candidates(
      indexes, parse_and(cmp("b", CompareOp::Eq, Value::integer(1)), cmp("a", CompareOp::Eq, Value::integer(2))),
      nullptr));
  EXPECT_EQ(*r, (std::vector<uint64_t>{202}));
  // a > 5 AND a < 3 reads nothing rather than scanning.
  r = must(index_candidates(
      indexes, parse_and(cmp("a", CompareOp::Gt, Value::integer(5)), cmp("a", CompareOp::Lt, Value::integer(3))),
      nullptr));
  EXPECT_EQ(*r, (std::vector<uint64_t>{}));
  // An OR hides both sides: scan.
  r = must(index_candidates(indexes,
                            qm::sql::Predicate{qm::sql::OrPred{cmp("a", CompareOp::Eq, Value::integer(1)),
                                                                   cmp("b", CompareOp::Eq, Value::integer(1))}},
                            nullptr));
  EXPECT_FALSE(r.has_value());
}

TEST(IndexCandidates, EqualityTakesTheNumericTwin) {
  qm::db::IndexMap indexes;
  indexes["a"].insert(Value::integer(5), 1);
  indexes["a"].insert(Value::decimal(5000000), 2);
  indexes["a"].insert(Value::integer(INT64_MAX), 3);
  auto r = index_candidates(indexes, cmp("a", CompareOp::Eq, Value::decimal(5000000)), nullptr);
  EXPECT_EQ(**r, (std::vector<uint64_t>{2, 1}));
  r = index_candidates(indexes, cmp("a", CompareOp::Eq, Value::integer(INT64_MAX)), nullptr);
  EXPECT_EQ(**r, (std::vector<uint64_t>{3}));
  // A decimal whose quotient leaves the i64 range has no Int twin.
  r = index_candidates(
      indexes, cmp("a", CompareOp::Eq, Value::decimal(static_cast<qm::i128>(INT64_MAX) * 1000000 + 1000000)), nullptr);
  EXPECT_EQ(**r, (std::vector<uint64_t>{}));
}

}  // namespace
