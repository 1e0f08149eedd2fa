// The driving-relation predicate of a join, over every value kind: the plans and rows the
// golden scripts state show where it is applied, this shows it is never stricter than WHERE.
#include <gtest/gtest.h>

#include "query/eval/predicate.h"
#include "query/plan/join_plan.h"
#include "sql/parser.h"
#include "query/eval/trees.h"

namespace qm::db {
namespace {

using namespace testing;

sql::Predicate where_of(std::string_view sql) {
  auto stmt = must(sql::parse(sql));
  return *std::get<sql::SelectStmt>(stmt.node).body.where;
}

TEST(SourcePredicate, NeverKeepsARowTheFullWhereWouldDrop) {
  // Whatever the row, when the pushed predicate is not true the full WHERE is not true.
  const std::vector<std::string> joined{"a.x", "b.y"}, driving{"x"};
  for (const char* sql : {"SELECT * FROM t a JOIN u b ON a.id = b.id WHERE (a.x > 1 AND b.y = 2) OR a.x IS NULL",
                          "SELECT * FROM t a JOIN u b ON a.id = b.id WHERE a.x BETWEEN 1 AND 3 AND b.y = 2",
                          "SELECT * FROM t a JOIN u b ON a.id = b.id WHERE a.x NOT IN (2, 3) AND (b.y = 2 OR a.x < 0)"}) {
    const auto full = where_of(sql);
    auto pushed = must(source_predicate(full, "a"));
    for (const Value& x : {N(), I(-1), I(0), I(2), D(2500000), T("2")}) {
      for (const Value& y : {N(), I(2), I(3)}) {
        auto part = check_result(pushed, driving, Row{x});
        auto whole = check_result(full, joined, Row{x, y});
        ASSERT_TRUE(part && whole);
        if (*part != Truth::True) {
          EXPECT_NE(*whole, Truth::True) << sql << " x=" << debug(x) << " y=" << debug(y);
        }
      }
    }
  }
}

}  // namespace
}  // namespace qm::db
