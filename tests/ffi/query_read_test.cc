// Reads through the C interface: the exact JSON a host receives for WHERE logic, text
// matching, scalar functions, numeric equality across kinds, ordering, limits, DISTINCT,
// counting and snapshots.
#include <gtest/gtest.h>

#include <string>

#include "support/c_api.h"

namespace {

using qm::test::CDb;

const std::string kDone = R"({"done":true})";

// A table t(a, b) holding a NULL, Ints, a Decimal and texts.
CDb numbers_table() {
  CDb db = CDb::memory();
  EXPECT_EQ(db.query("CREATE TABLE t (a, b)"), kDone);
  EXPECT_EQ(db.query("INSERT INTO t VALUES (1, 'one'), (NULL, 'none'), (2, 'two'), (2.5, 'two and a half'), "
                     "(3, NULL)"),
            R"({"mutated":5})");
  return db;
}

TEST(QueryWhere, NullComparisonsAreUnknownAndDropTheRow) {
  CDb db = numbers_table();
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a = NULL"), R"({"columns":["b"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a <> 1"),
            R"({"columns":["b"],"rows":[["two"],["two and a half"],[null]]})");
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a IS NULL"), R"({"columns":["b"],"rows":[["none"]]})");
  EXPECT_EQ(db.query("SELECT a FROM t WHERE b IS NOT NULL AND a > 1"),
            R"({"columns":["a"],"rows":[[2],["2.500000"]]})");
  // unknown OR true is true; unknown AND true is unknown.
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a > 2 OR b = 'none'"),
            R"({"columns":["b"],"rows":[["none"],["two and a half"],[null]]})");
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a > 0 AND b <> 'one'"),
            R"({"columns":["b"],"rows":[["two"],["two and a half"]]})");
}

TEST(QueryWhere, InAndNotInWithNullFollowThreeValuedLogic) {
  CDb db = numbers_table();
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a IN (1, 3)"), R"({"columns":["b"],"rows":[["one"],[null]]})");
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a IN (2.0, NULL)"), R"({"columns":["b"],"rows":[["two"]]})");
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a NOT IN (1, 2)"),
            R"({"columns":["b"],"rows":[["two and a half"],[null]]})");
  // NOT IN over a list holding NULL is never true.
  EXPECT_EQ(db.query("SELECT b FROM t WHERE a NOT IN (1, NULL)"), R"({"columns":["b"],"rows":[]})");
}

TEST(QueryWhere, BetweenIncludesBothEndsAcrossNumericKinds) {
  CDb db = numbers_table();
  EXPECT_EQ(db.query("SELECT a FROM t WHERE a BETWEEN 2 AND 2.5"), R"({"columns":["a"],"rows":[[2],["2.500000"]]})");
  EXPECT_EQ(db.query("SELECT a FROM t WHERE a NOT BETWEEN 1.5 AND 2.75"), R"({"columns":["a"],"rows":[[1],[3]]})");
  EXPECT_EQ(db.query("SELECT a FROM t WHERE a BETWEEN 3 AND 1"), R"({"columns":["a"],"rows":[]})");
}

TEST(QueryWhere, IntAndDecimalCompareNumerically) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE n (v)");
  db.query("INSERT INTO n VALUES (5), (5.0), (5.000001), (-0.5), (4)");
  EXPECT_EQ(db.query("SELECT v FROM n WHERE v = 5"), R"({"columns":["v"],"rows":[[5],["5.000000"]]})");
  EXPECT_EQ(db.query("SELECT v FROM n WHERE v = 5.000000"), R"({"columns":["v"],"rows":[[5],["5.000000"]]})");
  EXPECT_EQ(db.query("SELECT v FROM n WHERE v > 4.5"),
            R"({"columns":["v"],"rows":[[5],["5.000000"],["5.000001"]]})");
  EXPECT_EQ(db.query("SELECT v FROM n WHERE v < 0"), R"({"columns":["v"],"rows":[["-0.500000"]]})");
}

TEST(QueryWhere, UnknownColumnFailsEvenWhenTheTableIsEmpty) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE e (a)");
  EXPECT_EQ(db.query("SELECT * FROM e WHERE z = 1"), "error: schema error: no column `z`");
  EXPECT_EQ(db.query("SELECT * FROM missing"), "error: table not found: missing");
}

TEST(QueryLike, PercentAndUnderscoreMatchWholeCharactersOfNonAsciiText) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE w (s)");
  db.query("INSERT INTO w VALUES ('héllo'), ('hello'), ('日本語'), ('hé'), (42)");
  EXPECT_EQ(db.query("SELECT s FROM w WHERE s LIKE 'h_llo'"), R"({"columns":["s"],"rows":[["héllo"],["hello"]]})");
  EXPECT_EQ(db.query("SELECT s FROM w WHERE s LIKE '日_語'"), R"({"columns":["s"],"rows":[["日本語"]]})");
  EXPECT_EQ(db.query("SELECT s FROM w WHERE s LIKE '%語'"), R"({"columns":["s"],"rows":[["日本語"]]})");
  EXPECT_EQ(db.query("SELECT s FROM w WHERE s LIKE 'h__'"), R"({"columns":["s"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT s FROM w WHERE s LIKE 'h_'"), R"({"columns":["s"],"rows":[["hé"]]})");
  // LIKE on a non-text value is false, and NOT LIKE too.
  EXPECT_EQ(db.query("SELECT s FROM w WHERE s NOT LIKE 'h%'"), R"({"columns":["s"],"rows":[["日本語"]]})");
}

TEST(QueryScalar, FunctionsGiveTheirValuesAndLabels) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE f (s, n)");
  db.query("INSERT INTO f VALUES ('  Straße ', -2.5), (NULL, 3)");
  EXPECT_EQ(db.query("SELECT UPPER(s), LOWER(s), TRIM(s), LENGTH(s), ABS(n) FROM f"),
            R"J({"columns":["upper(s)","lower(s)","trim(s)","length(s)","abs(n)"],)J"
            R"J("rows":[["  STRASSE ","  straße ","Straße",9,"2.500000"],[null,null,null,null,3]]})J");
  EXPECT_EQ(db.query("SELECT COALESCE(s, 'dflt') AS c, NULLIF(n, 3) FROM f"),
            R"J({"columns":["c","nullif(n,3)"],"rows":[["  Straße ","-2.500000"],["dflt",null]]})J");
  EXPECT_EQ(db.query("SELECT CASE WHEN n > 0 THEN 'pos' ELSE 'neg' END FROM f"),
            R"({"columns":["case"],"rows":[["neg"],["pos"]]})");
}

TEST(QueryScalar, TypeFaultsAndOverflowReportTheirTexts) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE f (s, n)");
  db.query("INSERT INTO f VALUES ('x', -9223372036854775808)");
  EXPECT_EQ(db.query("SELECT UPPER(n) FROM f"), "error: schema error: text function expects text, found int");
  EXPECT_EQ(db.query("SELECT LENGTH(n) FROM f"), "error: schema error: LENGTH expects text or blob, found int");
  EXPECT_EQ(db.query("SELECT ABS(s) FROM f"), "error: schema error: ABS expects a numeric value, found text");
  EXPECT_EQ(db.query("SELECT ABS(n) FROM f"), "error: schema error: ABS overflowed i64");
}

TEST(QueryOrder, NullsAndKindsOrderKindFirstAndTiesKeepInputOrder) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE o (k, tag)");
  db.query("INSERT INTO o VALUES ('b', 1), (2, 2), (NULL, 3), (1.5, 4), (2, 5), ('a', 6), (NULL, 7), (2.0, 8)");
  EXPECT_EQ(db.query("SELECT tag FROM o ORDER BY k"),
            R"({"columns":["tag"],"rows":[[3],[7],[2],[5],[4],[8],[6],[1]]})");
  EXPECT_EQ(db.query("SELECT tag FROM o ORDER BY k DESC"),
            R"({"columns":["tag"],"rows":[[1],[6],[8],[4],[2],[5],[3],[7]]})");
  // Top-N: exactly the first rows of the full stable sort.
  EXPECT_EQ(db.query("SELECT tag FROM o ORDER BY k LIMIT 3"), R"({"columns":["tag"],"rows":[[3],[7],[2]]})");
  EXPECT_EQ(db.query("SELECT tag FROM o ORDER BY k LIMIT 2 OFFSET 2"), R"({"columns":["tag"],"rows":[[2],[5]]})");
  // ORDER BY names source columns, also ones not selected; an alias is not a source column.
  EXPECT_EQ(db.query("SELECT tag AS x FROM o ORDER BY x"), "error: schema error: no column `x`");
}

TEST(QueryLimit, ExtremesOfLimitAndOffset) {
  CDb db = numbers_table();
  EXPECT_EQ(db.query("SELECT a FROM t LIMIT 0"), R"({"columns":["a"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT a FROM t OFFSET 5"), R"({"columns":["a"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT a FROM t LIMIT 9223372036854775807 OFFSET 4"), R"({"columns":["a"],"rows":[[3]]})");
  EXPECT_EQ(db.query("SELECT a FROM t ORDER BY a LIMIT 9223372036854775807 OFFSET 9223372036854775807"),
            R"({"columns":["a"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT a FROM t ORDER BY a DESC LIMIT 1 OFFSET 9223372036854775807"),
            R"({"columns":["a"],"rows":[]})");
}

TEST(QueryDistinct, KeepsFirstOccurrencesAndTellsIntFromDecimal) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE d (a, b)");
  db.query("INSERT INTO d VALUES (1, 'x'), (1.0, 'x'), (1, 'y'), (1, 'x'), (NULL, NULL), (NULL, NULL)");
  EXPECT_EQ(db.query("SELECT DISTINCT a FROM d"), R"({"columns":["a"],"rows":[[1],["1.000000"],[null]]})");
  EXPECT_EQ(db.query("SELECT DISTINCT a, b FROM d ORDER BY b LIMIT 2"),
            R"({"columns":["a","b"],"rows":[[null,null],[1,"x"]]})");
}

TEST(QueryCount, CountStarCountsVisibleVersionsUnderItsAlias) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE c (a)");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM c"), R"({"columns":["count"],"rows":[[0]]})");
  db.query("INSERT INTO c VALUES (1), (2), (3)");
  db.query("DELETE FROM c WHERE a = 2");
  EXPECT_EQ(db.query("SELECT COUNT(*) AS n FROM c"), R"({"columns":["n"],"rows":[[2]]})");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM c WHERE a > 1"), R"({"columns":["count"],"rows":[[1]]})");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM c LIMIT 1"), R"({"columns":["count"],"rows":[[2]]})");
}

TEST(QueryGrouped, StarWithAggregatesIsAQueryError) {
  CDb db = numbers_table();
  EXPECT_EQ(db.query("SELECT * FROM t GROUP BY a"),
            "error: query parse error: SELECT * cannot be combined with GROUP BY or aggregates");
  EXPECT_EQ(db.query("SELECT * FROM t WHERE a > 1 GROUP BY a"),
            "error: query parse error: SELECT * cannot be combined with GROUP BY or aggregates");
  EXPECT_EQ(db.query("SELECT a, COUNT(*) FROM t GROUP BY a"),
            R"({"columns":["a","count"],"rows":[[null,1],[1,1],[2,1],[3,1],["2.500000",1]]})");
  EXPECT_EQ(db.query("SELECT SUM(a), MAX(b) FROM t WHERE a < 3"),
            R"J({"columns":["sum(a)","max(b)"],"rows":[["5.500000","two and a half"]]})J");
}

TEST(QuerySnapshot, BeforeShowsTheVersionsRetiredByUpdateAndDelete) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE s (k, v)");
  db.query("INSERT INTO s VALUES (1, 'a')");  // clock 1
  db.query("INSERT INTO s VALUES (2, 'b')");  // clock 2
  EXPECT_EQ(db.query("UPDATE s SET v = 'A' WHERE k = 1"), R"({"mutated":1})");  // retires at 3, new at 4
  EXPECT_EQ(db.query("DELETE FROM s WHERE k = 2"), R"({"mutated":1})");         // retires at 5
  EXPECT_EQ(db.clock(), 5u);
  EXPECT_EQ(db.query("SELECT * FROM s BEFORE 0"), R"({"columns":["k","v"],"rows":[]})");
  EXPECT_EQ(db.query("SELECT * FROM s BEFORE 2"), R"({"columns":["k","v"],"rows":[[1,"a"],[2,"b"]]})");
  EXPECT_EQ(db.query("SELECT * FROM s BEFORE 3"), R"({"columns":["k","v"],"rows":[[2,"b"]]})");
  EXPECT_EQ(db.query("SELECT * FROM s BEFORE 4"), R"({"columns":["k","v"],"rows":[[2,"b"],[1,"A"]]})");
  EXPECT_EQ(db.query("SELECT * FROM s"), R"({"columns":["k","v"],"rows":[[1,"A"]]})");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM s BEFORE 4"), R"({"columns":["count"],"rows":[[2]]})");
  EXPECT_EQ(db.query("SELECT v FROM s WHERE k = 1 BEFORE 2"), R"({"columns":["v"],"rows":[["a"]]})");
  db.query("CREATE INDEX ON s (k)");
  EXPECT_EQ(db.query("SELECT v FROM s WHERE k = 1 BEFORE 2"), R"({"columns":["v"],"rows":[["a"]]})");
  EXPECT_EQ(db.query("SELECT v FROM s WHERE k = 1"), R"({"columns":["v"],"rows":[["A"]]})");
}

}  // namespace
