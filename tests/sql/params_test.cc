// Placeholder counting and binding: quoting rules, literal forms, count mismatches, and
// bound values that can never merge with the text around them.
#include <gtest/gtest.h>

#include <vector>

#include "sql/params.h"
#include "sql/parse_helpers.h"

namespace qm::sql {
namespace {

using namespace test;

std::string bind_ok(std::string_view sql, std::vector<Value> params) { return must(bind_params(sql, params)); }

std::string bind_error(std::string_view sql, std::vector<Value> params) {
  auto r = bind_params(sql, params);
  EXPECT_FALSE(r.has_value()) << sql;
  if (r) return {};
  EXPECT_EQ(r.error().kind, ErrorKind::Schema);
  return r.error().message();
}

TEST(ParameterCount, QuotedQuestionMarksAreNotPlaceholders) {
  EXPECT_EQ(parameter_count("SELECT * FROM t WHERE a = ? AND b = '?' AND [d?] = ?"), 2u);
  EXPECT_EQ(parameter_count("SELECT 'it''s ?'"), 0u);
  EXPECT_EQ(parameter_count("SELECT 'abc ?"), 0u);
  EXPECT_EQ(parameter_count("SELECT \"a?\", `b?`, \"x\"\"?\" FROM t"), 0u);
  EXPECT_EQ(parameter_count("SELECT [a]]?] FROM t WHERE b = ?"), 1u);
  EXPECT_EQ(parameter_count("SELECT a FROM t -- ?"), 1u);
  EXPECT_EQ(parameter_count("???"), 3u);
  EXPECT_EQ(parameter_count("'é?' ? 名?"), 2u);
  EXPECT_EQ(parameter_count(""), 0u);
}

TEST(BindParams, TemplatesWithSeparatePlaceholdersBindExactly) {
  EXPECT_EQ(bind_ok("SELECT * FROM t WHERE name = ?", {T("O'Brien")}), "SELECT * FROM t WHERE name = 'O''Brien'");
  EXPECT_EQ(bind_ok("INSERT INTO t VALUES (?, ?, ?, ?)", {Value::decimal(-1), I(-5), Value::null(), Value::decimal(1500000)}),
            "INSERT INTO t VALUES (-0.000001, -5, NULL, 1.500000)");
  EXPECT_EQ(bind_ok("INSERT INTO t VALUES (?,?)", {Value::decimal(-250000), T("")}), "INSERT INTO t VALUES (-0.250000,'')");
  EXPECT_EQ(bind_ok("SELECT a FROM t WHERE b = '?' AND c = ?", {I(7)}), "SELECT a FROM t WHERE b = '?' AND c = 7");
  EXPECT_EQ(bind_ok("SELECT 1", {}), "SELECT 1");
  // What binds, parses back to the same values.
  Statement st = parse_ok(bind_ok("INSERT INTO t VALUES (?, ?, ?, ?)",
                                  {Value::decimal(-1), I(INT64_MIN), T("it's \"x\"\n"), Value::decimal(kI128Min)}));
  EXPECT_EQ(as<InsertRowStmt>(st).row,
            (std::vector<Value>{Value::decimal(-1), I(INT64_MIN), T("it's \"x\"\n"), Value::decimal(kI128Min)}));
}

// Count mismatches are stated by the golden params script; a blob no JSON parameter makes.
TEST(BindParams, BlobsFail) {
  EXPECT_EQ(bind_error("SELECT * FROM t WHERE a = ?", {Value::blob(std::string("\x01"))}),
            "schema error: blob parameters are not supported in SQL parameter binding");
}

TEST(BindParams, BoundLiteralsNeverMergeWithTheirNeighbours) {
  // Pasted without separation these would read as column x1, the number 15 and a
  // single merged string literal.
  EXPECT_EQ(bind_ok("SELECT x? FROM t", {I(1)}), "SELECT x 1 FROM t");
  EXPECT_EQ(bind_ok("SELECT * FROM t WHERE a = 1?", {I(5)}), "SELECT * FROM t WHERE a = 1 5");
  EXPECT_EQ(bind_ok("SELECT 'abc'? FROM t", {T("x")}), "SELECT 'abc' 'x' FROM t");
  EXPECT_EQ(bind_ok("SELECT ?abc FROM t", {T("x")}), "SELECT 'x' abc FROM t");
  EXPECT_EQ(bind_ok("??", {I(1), I(2)}), "1 2");
  EXPECT_EQ(bind_ok("a = ?.5", {I(1)}), "a = 1 .5");
  EXPECT_EQ(bind_ok("a = -?", {I(5)}), "a = - 5");
  EXPECT_EQ(bind_ok("a = \"q\"?", {I(5)}), "a = \"q\" 5");
  EXPECT_EQ(bind_ok("a = é?", {I(5)}), "a = é 5");
  EXPECT_EQ(bind_ok("a = ?名", {I(5)}), "a = 5 名");
  EXPECT_EQ(bind_ok("(?)", {T("a")}), "('a')");
}

}  // namespace
}  // namespace qm::sql
