// SELECT: variant and projection choice, aliases, joins and the clause order.
#include <gtest/gtest.h>

#include "parse_helpers.h"

namespace qm::query {
namespace {

using namespace test;

TEST(ParseSelect, FullClauseSetBuildsTheExpectedTree) {
  Statement st = parse_ok(
      "SELECT DISTINCT g, COUNT(*), SUM(t.price) AS total FROM t WHERE a = 1 GROUP BY g, t.h "
      "HAVING COUNT(*) > 2 BEFORE 7 ORDER BY g DESC, h ASC, i LIMIT 5 OFFSET 10");
  const auto& s = as<SelectSingleStmt>(st);
  EXPECT_EQ(s.table, "t");
  SelectBody want;
  want.distinct = true;
  want.projection = ProjectItems{{
      SelectItem{SelectColumn{"g"}, std::nullopt},
      SelectItem{SelectAggregate{AggregateFunction::Count, std::nullopt}, std::nullopt},
      SelectItem{SelectAggregate{AggregateFunction::Sum, "t.price"}, "total"},
  }};
  want.where = cmp("a", CompareOp::Eq, I(1));
  want.group_by = {"g", "t.h"};
  want.having = HavingPred{HavingCompare{HavingAggregate{AggregateFunction::Count, std::nullopt}, CompareOp::Gt, I(2)}};
  want.before = 7;
  want.order_by = {{"g", true}, {"h", false}, {"i", false}};
  want.limit = 5;
  want.offset = 10;
  EXPECT_EQ(s.body, want);
}

TEST(ParseSelect, ProjectionIsColumnsOnlyForBareUnaliasedColumns) {
  Statement a = parse_ok("SELECT a, b FROM t");
  EXPECT_EQ(as<SelectSingleStmt>(a).body.projection, Projection(ProjectColumns{{"a", "b"}}));
  Statement b = parse_ok("SELECT a AS x FROM t");
  EXPECT_EQ(as<SelectSingleStmt>(b).body.projection, Projection(ProjectItems{{SelectItem{SelectColumn{"a"}, "x"}}}));
  Statement c = parse_ok("SELECT a, 1 FROM t");
  EXPECT_EQ(as<SelectSingleStmt>(c).body.projection,
            Projection(ProjectItems{{SelectItem{SelectColumn{"a"}, std::nullopt},
                                     SelectItem{SelectScalar{ScalarExpr{ScalarLiteral{I(1)}}}, std::nullopt}}}));
  Statement d = parse_ok("SELECT * FROM t");
  EXPECT_EQ(as<SelectSingleStmt>(d).body, SelectBody{});
  EXPECT_EQ(parse_error("SELECT *, a FROM t"), "expected `from`, found Comma (line 1, column 9)");
  EXPECT_EQ(parse_error("SELECT a"), "unexpected end of statement (line 1, column 9)");
  EXPECT_EQ(parse_error("SELECT a b FROM t"), "expected `from`, found Word(\"b\") (line 1, column 10)");
}

TEST(ParseSelect, SelectItemsDispatchOnTheirFirstTokens) {
  Statement st = parse_ok("SELECT NULL, 'x', -2.5, upper(name), CASE WHEN a = 1 THEN 'y' END, count, max(x) FROM t");
  const auto& items = std::get<ProjectItems>(as<SelectSingleStmt>(st).body.projection).items;
  ASSERT_EQ(items.size(), 7u);
  EXPECT_EQ(items[0].expr, SelectExpr(SelectScalar{ScalarExpr{ScalarLiteral{Value::null()}}}));
  EXPECT_EQ(items[1].expr, SelectExpr(SelectScalar{ScalarExpr{ScalarLiteral{T("x")}}}));
  EXPECT_EQ(items[2].expr, SelectExpr(SelectScalar{ScalarExpr{ScalarLiteral{Value::decimal(-2500000)}}}));
  EXPECT_EQ(items[3].expr,
            SelectExpr(SelectScalar{ScalarExpr{ScalarCall{ScalarFunction::Upper, {ScalarExpr{ScalarColumn{"name"}}}}}}));
  EXPECT_TRUE(std::holds_alternative<ScalarCase>(std::get<SelectScalar>(items[4].expr).expr.node));
  EXPECT_EQ(items[5].expr, SelectExpr(SelectColumn{"count"}));  // an aggregate name without "(" is a column
  EXPECT_EQ(items[6].expr, SelectExpr(SelectAggregate{AggregateFunction::Max, "x"}));
  EXPECT_EQ(agg_label(AggregateFunction::Max, std::string("t.id")), "max(t.id)");
  EXPECT_EQ(agg_label(AggregateFunction::Count, std::nullopt), "count");
}

TEST(ParseSelect, DistinctIsAColumnWhenAListSeparatorOrFromFollows) {
  Statement a = parse_ok("SELECT distinct, b FROM t");
  EXPECT_FALSE(as<SelectSingleStmt>(a).body.distinct);
  EXPECT_EQ(as<SelectSingleStmt>(a).body.projection, Projection(ProjectColumns{{"distinct", "b"}}));
  Statement b = parse_ok("SELECT distinct FROM t");
  EXPECT_EQ(as<SelectSingleStmt>(b).body.projection, Projection(ProjectColumns{{"distinct"}}));
  Statement c = parse_ok("SELECT DISTINCT a FROM t");
  EXPECT_TRUE(as<SelectSingleStmt>(c).body.distinct);
}

TEST(ParseSelect, AliasesRefuseUnquotedReservedWords) {
  EXPECT_EQ(parse_error("SELECT a AS order FROM t"),
            "expected an alias name after AS, found keyword `order` (line 1, column 13)");
  Statement st = parse_ok("SELECT a AS \"order\" FROM t");
  EXPECT_EQ(std::get<ProjectItems>(as<SelectSingleStmt>(st).body.projection).items[0].alias, "order");
  EXPECT_EQ(parse_error("SELECT a FROM t AS Where"),
            "expected a table alias after AS, found keyword `Where` (line 1, column 20)");
  Statement x = parse_ok("SELECT a FROM t x");
  EXPECT_EQ(as<SelectStmt>(x).from, (TableRef{"t", "x"}));
  EXPECT_TRUE(as<SelectStmt>(x).joins.empty());
  Statement y = parse_ok("SELECT a FROM t AS x");
  EXPECT_EQ(as<SelectStmt>(y).from, (TableRef{"t", "x"}));
  Statement z = parse_ok("SELECT a FROM t [my alias] WHERE b = 1");
  EXPECT_EQ(as<SelectStmt>(z).from, (TableRef{"t", "my alias"}));
}

TEST(ParseSelect, JoinsKeepKindTableAliasAndOnColumnsInOrder) {
  Statement st = parse_ok("SELECT * FROM a JOIN b ON a.id = b.id LEFT OUTER JOIN c AS k ON b.id = k.id INNER JOIN d ON x = y");
  const auto& s = as<SelectStmt>(st);
  EXPECT_EQ(s.from, (TableRef{"a", std::nullopt}));
  ASSERT_EQ(s.joins.size(), 3u);
  EXPECT_EQ(s.joins[0], (JoinClause{JoinKind::Inner, "b", std::nullopt, "a.id", "b.id"}));
  EXPECT_EQ(s.joins[1], (JoinClause{JoinKind::Left, "c", "k", "b.id", "k.id"}));
  EXPECT_EQ(s.joins[2], (JoinClause{JoinKind::Inner, "d", std::nullopt, "x", "y"}));
  Statement left = parse_ok("SELECT * FROM a LEFT JOIN b ON a.x = b.y");
  EXPECT_EQ(as<SelectStmt>(left).joins[0].kind, JoinKind::Left);
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
  Statement a = parse_ok("SELECT a FROM t OFFSET 5");
  EXPECT_EQ(as<SelectSingleStmt>(a).body.limit, std::nullopt);
  EXPECT_EQ(as<SelectSingleStmt>(a).body.offset, 5u);
  Statement b = parse_ok("SELECT a FROM t LIMIT 0");
  EXPECT_EQ(as<SelectSingleStmt>(b).body.limit, 0u);
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
