#include <gtest/gtest.h>

#include <set>

#include "db/exec/explain.h"
#include "trees.h"

namespace qm::db::explain {
namespace {

using namespace qm::db::testing;
using query::CompareOp;

std::function<bool(const std::string&)> indexed(std::set<std::string> cols) {
  return [cols = std::move(cols)](const std::string& c) { return cols.count(c) > 0; };
}

std::optional<std::pair<std::string, std::string>> access(const Predicate& p, std::set<std::string> cols) {
  auto a = index_access(p, indexed(std::move(cols)));
  if (!a) return std::nullopt;
  return std::make_pair(a->operation, a->column);
}

TEST(IndexAccess, OperatorsAndShapes) {
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(access(cmp("a", CompareOp::Eq, I(1)), {"a"}), P("index lookup", "a"));
  EXPECT_EQ(access(cmp("a", CompareOp::Gt, I(1)), {"a"}), P("index range scan", "a"));
  EXPECT_EQ(access(cmp("a", CompareOp::Le, I(1)), {"a"}), P("index range scan", "a"));
  EXPECT_EQ(access(between("a", I(1), I(5)), {"a"}), P("index range scan", "a"));
  EXPECT_EQ(access(between("a", I(1), I(5), true), {"a"}), std::nullopt);
  EXPECT_EQ(access(cmp("a", CompareOp::Ne, I(1)), {"a"}), std::nullopt);
  EXPECT_EQ(access(cmp("a", CompareOp::Like, T("x%")), {"a"}), std::nullopt);
  EXPECT_EQ(access(in("a", {I(1), I(2)}), {"a"}), std::nullopt);
  EXPECT_EQ(access(is_null("a"), {"a"}), std::nullopt);
  EXPECT_EQ(access(or_(cmp("a", CompareOp::Eq, I(1)), cmp("b", CompareOp::Eq, I(2))), {"a", "b"}), std::nullopt);
  EXPECT_EQ(access(cmp("a", CompareOp::Eq, I(1)), {"b"}), std::nullopt);
}

TEST(IndexAccess, AndTakesTheFirstIndexedSideLeftToRight) {
  using P = std::pair<std::string, std::string>;
  auto p = and_(cmp("b", CompareOp::Eq, I(2)), cmp("a", CompareOp::Eq, I(1)));
  EXPECT_EQ(access(p, {"a"}), P("index lookup", "a"));
  EXPECT_EQ(access(p, {"a", "b"}), P("index lookup", "b"));
  auto nested = and_(cmp("b", CompareOp::Ne, I(2)), and_(is_null("c"), cmp("c", CompareOp::Lt, I(1))));
  EXPECT_EQ(access(nested, {"b", "c"}), P("index range scan", "c"));
}

}  // namespace
}  // namespace qm::db::explain
