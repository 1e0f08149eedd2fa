// The node and depth limits of conditions, HAVING, CASE and scalar expressions at their boundaries.
#include <gtest/gtest.h>

#include "sql/parse_helpers.h"

namespace qm::sql {
namespace {

using namespace test;

Predicate where_of(std::string_view cond) {
  Statement st = parse_ok("SELECT * FROM t WHERE " + std::string(cond));
  const auto* s = std::get_if<SelectSingleStmt>(&st.node);
  if (!s || !s->body.where) throw std::runtime_error("no WHERE");
  return *s->body.where;
}

std::string chain(size_t n, std::string_view joiner) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i) out += joiner;
    out += "a = " + std::to_string(i);
  }
  return out;
}

TEST(ParseCondition, NodeBudgetAllows128ComparisonsJoinedByAnd) {
  // 128 comparisons + 127 ANDs = 255 nodes.
  Predicate p = where_of(chain(128, " AND "));
  EXPECT_TRUE(std::holds_alternative<AndPred>(p.node));
  // 129 comparisons = 257 nodes: the 129th comparison is node 257 (the 128th AND is 256).
  std::string sql = "SELECT * FROM t WHERE " + chain(129, " AND ");
  size_t last = sql.rfind("a = 128");
  EXPECT_EQ(parse_error(sql), "predicate complexity exceeds the 256-node limit (line 1, column " +
                                  std::to_string(last + 1) + ")");
  // 128 comparisons and 128 ORs make 256 nodes; the missing comparison after the last OR
  // would be the 257th and is refused at the end of the text.
  std::string ors = "SELECT * FROM t WHERE " + chain(128, " OR ") + " OR";
  EXPECT_EQ(parse_error(ors), "predicate complexity exceeds the 256-node limit (line 1, column " +
                                  std::to_string(ors.size() + 1) + ")");
}

TEST(ParseCondition, NodeBudgetIsSharedByWhereHavingAndCase) {
  // WHERE 100 comparisons (199 nodes) + HAVING 29 (57 nodes) = 256: passes.
  std::string having;
  for (int i = 0; i < 29; ++i) having += std::string(i ? " AND " : "") + "COUNT(*) > " + std::to_string(i);
  parse_ok("SELECT g FROM t WHERE " + chain(100, " AND ") + " GROUP BY g HAVING " + having);
  // One CASE condition more tips it over.
  EXPECT_NE(parse_error("SELECT CASE WHEN x = 1 THEN 1 END FROM t WHERE " + chain(100, " AND ") +
                        " GROUP BY g HAVING " + having)
                .find("predicate complexity exceeds the 256-node limit"),
            std::string::npos);
  // IN-list values and parentheses cost nothing.
  std::string in_list = "a IN (";
  for (int i = 0; i < 1000; ++i) in_list += std::string(i ? "," : "") + std::to_string(i);
  parse_ok("SELECT * FROM t WHERE ((((" + in_list + ")))))");
}

std::string nested_abs(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "ABS(";
  return s + "a" + std::string(n, ')');
}

std::string nested_case(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += "CASE WHEN a = 1 THEN ";
  s += "1";
  for (size_t i = 0; i < n; ++i) s += " END";
  return s;
}

TEST(ParseScalar, DepthLimitAtItsBoundary) {
  parse_ok("SELECT " + nested_abs(64) + " FROM t");
  // Sixty-five calls need 65 parentheses: the lexer's limit fires first, and its text stands.
  EXPECT_EQ(parse_error("SELECT " + nested_abs(65) + " FROM t"),
            "SQL expression nesting exceeds the 64-level limit (line 1, column 267)");
  // CASE nests without parentheses, so the parser's own limit is reachable: results at
  // depth 64 parse, depth 65 fails at the token where the 65th level starts.
  parse_ok("SELECT " + nested_case(64) + " FROM t");
  std::string deep = "SELECT " + nested_case(65) + " FROM t";
  size_t at = 7 + 65 * std::string("CASE WHEN a = 1 THEN ").size();
  EXPECT_EQ(parse_error(deep), "scalar expression nesting exceeds the 64-level limit (line 1, column " +
                                   std::to_string(at + 1) + ")");
}

}  // namespace
}  // namespace qm::sql
