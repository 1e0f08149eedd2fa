// Statement entry, error layout (line, column, source line, caret), reserved words and
// the cursor's typed reads as the statements exercise them.
#include <gtest/gtest.h>

#include "engine/cursor.h"
#include "engine/error_position.h"
#include "parse_helpers.h"

namespace qm::query {
namespace {

using namespace test;

TEST(ErrorPosition, LayoutHasMessageSourceLineAndCaret) {
  EXPECT_EQ(parse_error_text("SELECT * FROM"),
            "unexpected end of statement (line 1, column 14)\n  SELECT * FROM\n               ^");
  auto r = parse("SELECT * FROM");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "query parse error: unexpected end of statement (line 1, column 14)\n  SELECT * FROM\n               ^");
}

TEST(ErrorPosition, SecondLineReportsItsOwnLineAndColumn) {
  EXPECT_EQ(parse_error_text("SELECT a\nFROM t WHERE a ! 1"),
            "expected `=` after `!` (line 2, column 16)\n  FROM t WHERE a ! 1\n                 ^");
  // Carriage returns stay in the line; tabs count as one column.
  EXPECT_EQ(parse_error_text("SELECT a\r\n\tFROM t x y"),
            "unsupported or misplaced SQL construct `Y` (line 2, column 11)\n  \tFROM t x y\n            ^");
}

TEST(ErrorPosition, NonAsciiTextBeforeTheErrorCountsByCharacter) {
  EXPECT_EQ(parse_error_text("SELECT 'é' ?"),
            "unexpected character `?` (line 1, column 12)\n  SELECT 'é' ?\n             ^");
  EXPECT_EQ(parse_error_text("SELECT 名前, '日本'\nFROM t WHERE 名前 = ?"),
            "unexpected character `?` (line 2, column 19)\n  FROM t WHERE 名前 = ?\n                    ^");
}

TEST(ErrorPosition, PositionsBeyondTheEndAreClamped) {
  EXPECT_EQ(point_at("ab\ncd", 99, "m"), "m (line 2, column 3)\n  cd\n    ^");
  EXPECT_EQ(point_at("", 5, "m"), "m (line 1, column 1)\n  \n  ^");
  EXPECT_EQ(point_at("ab\n", 3, "m"), "m (line 2, column 1)\n  \n  ^");
}

TEST(StatementEntry, EmptyOrBlankTextReportsLineOneColumnOne) {
  EXPECT_EQ(parse_error(""), "unexpected end of statement (line 1, column 1)");
  EXPECT_EQ(parse_error("  \n\t "), "unexpected end of statement (line 1, column 1)");
  // Running out of tokens later reports the end position.
  EXPECT_EQ(parse_error("SELECT\n"), "unexpected end of statement (line 2, column 1)");
}

TEST(StatementEntry, FirstTokenMustBeAKnownWord) {
  EXPECT_EQ(parse_error(";"), "unsupported statement token Semicolon (line 1, column 1)");
  EXPECT_EQ(parse_error("\"select\" * FROM t"), "unsupported statement token Ident(\"select\") (line 1, column 1)");
  EXPECT_EQ(parse_error("  vacuum"), "unsupported statement `VACUUM` (line 1, column 3)");
  EXPECT_EQ(parse_ok("SeLeCt * FrOm t"), parse_ok("select * from t"));
}

TEST(StatementEntry, TransactionWordsTakeNothingButTransaction) {
  EXPECT_EQ(parse_error("BEGIN WORK"), "unsupported or misplaced SQL construct `WORK` (line 1, column 7)");
  EXPECT_EQ(parse_error("COMMIT TRANSACTION TRANSACTION"),
            "unsupported or misplaced SQL construct `TRANSACTION` (line 1, column 20)");
}

TEST(StatementEntry, ExplainWrapsOnlySelect) {
  EXPECT_EQ(parse_error("EXPLAIN"), "unexpected end of statement (line 1, column 8)");
  EXPECT_EQ(parse_error("EXPLAIN DELETE FROM t WHERE a = 1"),
            "EXPLAIN requires SELECT, found Word(\"DELETE\") (line 1, column 9)");
  EXPECT_EQ(parse_error("EXPLAIN EXPLAIN SELECT a FROM t"),
            "EXPLAIN requires SELECT, found Word(\"EXPLAIN\") (line 1, column 9)");
}

TEST(StatementEntry, OnlySemicolonsMayFollowTheStatement) {
  parse_ok("SELECT * FROM t;;");
  parse_ok("SELECT * FROM t ; ; ");
  EXPECT_EQ(parse_error("SELECT * FROM t; SELECT * FROM u"),
            "unsupported or misplaced SQL construct `SELECT` (line 1, column 18)");
  EXPECT_EQ(parse_error("SELECT * FROM t; 5"), "unexpected token Int(5) after the statement (line 1, column 18)");
  EXPECT_EQ(parse_error("SELECT * FROM t )"), "unexpected token RParen after the statement (line 1, column 17)");
}

TEST(Cursor, KeywordsMatchBareWordsInAnyCaseButNeverQuotedNames) {
  parse_ok("SELECT a From t");
  EXPECT_EQ(parse_error("SELECT a \"from\" t"), "expected `from`, found Ident(\"from\") (line 1, column 10)");
  EXPECT_EQ(parse_error("SELECT a x t"), "expected `from`, found Word(\"x\") (line 1, column 10)");
}

TEST(Cursor, ValueReadsNullOnlyFromTheBareWord) {
  EXPECT_EQ(as<UpdateSetStmt>(parse_ok("UPDATE t SET a = null WHERE b = 1")).value, Value::null());
  EXPECT_EQ(parse_error("UPDATE t SET a = \"null\" WHERE b = 1"),
            "expected a value, found Ident(\"null\") (line 1, column 18)");
}

TEST(Cursor, ColumnReferencesTakeOneQualifierAtMost) {
  Statement st = parse_ok("SELECT t.a, \"T x\".\"b c\", [q].a FROM t");
  const auto& s = as<SelectSingleStmt>(st);
  EXPECT_EQ(std::get<ProjectColumns>(s.body.projection).columns,
            (std::vector<std::string>{"t.a", "T x.b c", "q.a"}));
  EXPECT_EQ(parse_error("SELECT a.b.c FROM t"), "expected `from`, found Dot (line 1, column 11)");
  EXPECT_EQ(parse_error("SELECT a. FROM t"), "expected `from`, found Word(\"t\") (line 1, column 16)");
}

}  // namespace
}  // namespace qm::query
