// SELECT: variant and projection choice, aliases, joins and the clause order.
#include <gtest/gtest.h>

#include "parse_helpers.h"

namespace qm::query {
namespace {

using namespace test;

// Which projection a select list gives, and how clauses and joins combine, is stated through
// its results by the golden scripts; these are the refusals and their positions.
TEST(ParseSelect, SelectListRefusals) {
  EXPECT_EQ(parse_error("SELECT *, a FROM t"), "expected `from`, found Comma (line 1, column 9)");
  EXPECT_EQ(parse_error("SELECT a"), "unexpected end of statement (line 1, column 9)");
  EXPECT_EQ(parse_error("SELECT a b FROM t"), "expected `from`, found Word(\"b\") (line 1, column 10)");
}

TEST(ParseSelect, AliasesRefuseUnquotedReservedWords) {
  EXPECT_EQ(parse_error("SELECT a AS order FROM t"),
            "expected an alias name after AS, found keyword `order` (line 1, column 13)");
  Statement st = parse_ok("SELECT a AS \"order\" FROM t");
  EXPECT_EQ(std::get<ProjectItems>(as<SelectSingleStmt>(st).body.projection).items[0].alias, "order");
  EXPECT_EQ(parse_error("SELECT a FROM t AS Where"),
            "expected a table alias after AS, found keyword `Where` (line 1, column 20)");
  Statement z = parse_ok("SELECT a FROM t [my alias] WHERE b = 1");
  EXPECT_EQ(as<SelectStmt>(z).from, (TableRef{"t", "my alias"}));
}

TEST(ParseSelect, JoinErrors) {
  EXPECT_EQ(parse_error("SELECT * FROM a x JOIN b ON a.i = b.i JOIN c x ON a.i = c.i"),
            "duplicate table qualifier `x` (line 1, column 44)");
  parse_ok("SELECT * FROM a JOIN a AS b ON a.x = b.y");
  EXPECT_EQ(parse_error("SELECT * FROM a CROSS JOIN b"), "unsupported join type `CROSS` (line 1, column 17)");
  EXPECT_EQ(parse_error("SELECT * FROM a JOIN b ON a.x = b.y right join c ON a.x = c.x"),
            "unsupported join type `RIGHT` (line 1, column 37)");
  EXPECT_EQ(parse_error("SELECT * FROM a full JOIN b ON a.x = b.y"), "unsupported join type `FULL` (line 1, column 17)");
  EXPECT_EQ(parse_error("SELECT * FROM a NATURAL JOIN b"), "unsupported join type `NATURAL` (line 1, column 17)");
  EXPECT_EQ(parse_error("SELECT * FROM a JOIN b ON a.x = 1"), "expected identifier, found Int(1) (line 1, column 33)");
  EXPECT_EQ(parse_error("SELECT * FROM a JOIN b ON a.x = b.y AND a.z = b.z"),
            "unsupported or misplaced SQL construct `AND` (line 1, column 37)");
  EXPECT_EQ(parse_error("SELECT * FROM a JOIN b USING (x)"), "expected `on`, found Word(\"USING\") (line 1, column 24)");
  EXPECT_EQ(parse_error("SELECT * FROM a, b"), "unexpected token Comma after the statement (line 1, column 16)");
}

TEST(ParseSelect, RowCountsMustBeNonNegativeIntegers) {
  EXPECT_EQ(parse_error("SELECT a FROM t LIMIT -1"), "LIMIT expects a non-negative integer, found Int(-1) (line 1, column 23)");
  EXPECT_EQ(parse_error("SELECT a FROM t LIMIT 1.5"),
            "LIMIT expects a non-negative integer, found Dec(1500000) (line 1, column 23)");
  EXPECT_EQ(parse_error("SELECT a FROM t OFFSET 'x'"), "OFFSET expects a non-negative integer, found Str(\"x\") (line 1, column 24)");
  EXPECT_EQ(parse_error("SELECT a FROM t BEFORE x"), "BEFORE expects a non-negative integer, found Word(\"x\") (line 1, column 24)");
  EXPECT_EQ(parse_error("SELECT a FROM t LIMIT"), "unexpected end of statement (line 1, column 22)");
}

TEST(ParseSelect, ClausesOutOfOrderAreLeftOverAndRefused) {
  EXPECT_EQ(parse_error("SELECT a FROM t OFFSET 1 LIMIT 2"),
            "unsupported or misplaced SQL construct `LIMIT` (line 1, column 26)");
  EXPECT_EQ(parse_error("SELECT a FROM t ORDER BY a BEFORE 3"),
            "unsupported or misplaced SQL construct `BEFORE` (line 1, column 28)");
  EXPECT_EQ(parse_error("SELECT a FROM t WHERE a = 1 UNION SELECT a FROM u"),
            "unsupported or misplaced SQL construct `UNION` (line 1, column 29)");
  Statement st = parse_ok("SELECT a FROM t BEFORE 7 ORDER BY a DESC");
  EXPECT_EQ(as<SelectSingleStmt>(st).body.before, 7u);
  // HAVING without GROUP BY is the executor's concern.
  parse_ok("SELECT COUNT(*) FROM t HAVING COUNT(*) > 1");
  EXPECT_EQ(parse_error("SELECT a FROM t ORDER BY LOWER(a)"), "unexpected token LParen after the statement (line 1, column 31)");
  EXPECT_EQ(parse_error("SELECT a FROM t ORDER BY a NULLS FIRST"),
            "unsupported or misplaced SQL construct `NULLS` (line 1, column 28)");
}

}  // namespace
}  // namespace qm::query
