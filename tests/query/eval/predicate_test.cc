#include <gtest/gtest.h>

#include <random>

#include "query/eval/columns.h"
#include "query/eval/predicate.h"
#include "query/eval/value_compare.h"
#include "query/eval/trees.h"

namespace qm::db {
namespace {

using namespace testing;
using sql::CompareOp;

const std::vector<std::string> kNames{"a", "b"};

Truth eval(const Predicate& p, Row row) {
  auto direct = must(check_result(p, kNames, row));
  auto bound = must(BoundPredicate::bind(p, kNames).eval(row));
  EXPECT_EQ(direct, bound) << "bound form disagrees with direct evaluation";
  return direct;
}

// Comparisons of values SQL can write are stated by the golden scripts; blobs come from no
// SQL literal or parameter.
TEST(Compare, BlobsOrderAfterTextAndCompareByEveryByte) {
  EXPECT_TRUE(eval_compare(T("zzz"), CompareOp::Lt, B("\x01")));
  EXPECT_FALSE(values_equal(T("a"), B("a")));
  EXPECT_TRUE(values_equal(B(std::string("a\0b", 3)), B(std::string("a\0b", 3))));
  EXPECT_FALSE(values_equal(B(std::string("a\0b", 3)), B("a")));
}

TEST(Columns, QualifiedAndUnqualifiedResolution) {
  std::vector<std::string> joined{"t1.id", "t2.id", "t1.name"};
  EXPECT_EQ(err(projection_col_pos(joined, "id")), "schema error: ambiguous column `id`");
  EXPECT_EQ(*projection_col_pos(joined, "t1.id"), 0u);
  EXPECT_EQ(*projection_col_pos(joined, "name"), 2u);
  EXPECT_EQ(err(projection_col_pos(joined, "t3.id")), "schema error: no column `t3.id`");
  EXPECT_EQ(err(projection_col_pos(joined, "d")), "schema error: no column `d`");  // not a suffix match
  std::vector<std::string> mixed{"t1.id", "id"};
  EXPECT_EQ(*projection_col_pos(mixed, "id"), 1u);
  EXPECT_EQ(column_matches(mixed, "id"), std::vector<size_t>{1});
  EXPECT_EQ(column_matches(joined, "id"), (std::vector<size_t>{0, 1}));
  EXPECT_TRUE(column_matches(joined, "x.id").empty());
  EXPECT_EQ(err(projection_col_pos(std::vector<std::string>{"A"}, "a")), "schema error: no column `a`");
  std::vector<std::string> dup{"x", "x"};
  EXPECT_EQ(err(projection_col_pos(dup, "x")), "schema error: ambiguous column `x`");
}

TEST(ThreeValued, NarrowRowIsCorruptionNotAnOverread) {
  Row narrow{I(1)};
  const char* text = "data corruption: record field count does not match table columns";
  EXPECT_EQ(err(check_result(is_null("b"), kNames, narrow)), text);
  EXPECT_EQ(err(BoundPredicate::bind(is_null("a"), kNames).eval(narrow)), text);
}

// The bound form must agree with direct evaluation on every shape and every value kind.
TEST(BoundPredicate, AgreesWithDirectEvaluationOnRandomTrees) {
  std::mt19937 rng(7);
  std::vector<Value> pool{N(),  I(0),        I(1),   I(-1),   D(1000000), D(500000), D(-1000000), T("a"),
                          T("ab"), T(""), B("a"), B(""), I(INT64_MIN), D(static_cast<i128>(INT64_MIN) * 1000000)};
  auto value = [&] { return pool[rng() % pool.size()]; };
  std::function<Predicate(int)> gen = [&](int depth) -> Predicate {
    unsigned pick = rng() % (depth > 3 ? 4 : 6);
    std::string c = kNames[rng() % 2];
    switch (pick) {
      case 0: return cmp(c, static_cast<CompareOp>(rng() % 8), value());
      case 1: return in(c, {value(), value(), value()}, rng() % 2);
      case 2: return between(c, value(), value(), rng() % 2);
      case 3: return is_null(c, rng() % 2);
      case 4: return and_(gen(depth + 1), gen(depth + 1));
      default: return or_(gen(depth + 1), gen(depth + 1));
    }
  };
  for (int i = 0; i < 300; ++i) {  // long IN lists take the sorted path
    std::vector<Value> members;
    size_t n = 9 + rng() % 20;
    for (size_t k = 0; k < n; ++k) members.push_back(value());
    eval(in(kNames[rng() % 2], members, rng() % 2), Row{value(), value()});
  }
  for (int i = 0; i < 2000; ++i) {
    Predicate p = gen(0);
    Row row{value(), value()};
    eval(p, row);
  }
}

}  // namespace
}  // namespace qm::db
