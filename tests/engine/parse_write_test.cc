// INSERT, UPDATE, DELETE and DROP: refusals at their positions (what the accepted forms do is
// stated by the golden scripts), and the retrieval-index DROP, which has no table behaviour yet.
#include <gtest/gtest.h>

#include "parse_helpers.h"

namespace qm::query {
namespace {

using namespace test;

TEST(ParseInsert, Refusals) {
  EXPECT_EQ(parse_error("INSERT INTO t (a) DEFAULT VALUES"),
            "DEFAULT VALUES cannot include a target-column list (line 1, column 19)");
  EXPECT_EQ(parse_error("INSERT INTO t VALUES ()"), "expected a value, found RParen (line 1, column 23)");
  EXPECT_EQ(parse_error("INSERT INTO t SELECT * FROM u"), "expected `values`, found Word(\"SELECT\") (line 1, column 15)");
  EXPECT_EQ(parse_error("INSERT INTO t VALUES (1 2)"), "expected `,` or `)`, found Int(2) (line 1, column 25)");
  EXPECT_EQ(parse_error("INSERT INTO t (a b) VALUES (1)"), "expected `,` or `)`, found Word(\"b\") (line 1, column 18)");
  EXPECT_EQ(parse_error("INSERT INTO t VALUES (1),"), "unexpected end of statement (line 1, column 26)");
  EXPECT_EQ(parse_error("INSERT INTO t VALUES (lower('x'))"), "expected a value, found Word(\"lower\") (line 1, column 23)");
  EXPECT_EQ(parse_error("INSERT t VALUES (1)"), "expected `into`, found Word(\"t\") (line 1, column 8)");
  EXPECT_EQ(parse_error("INSERT INTO t.x VALUES (1)"), "expected `values`, found Dot (line 1, column 14)");
}

TEST(ParseUpdate, OneLiteralAssignmentAndARequiredWhere) {
  EXPECT_EQ(parse_error("UPDATE t SET a = 1"), "unexpected end of statement (line 1, column 19)");
  EXPECT_EQ(parse_error("UPDATE t SET a = 1, b = 2 WHERE id = 1"), "expected `where`, found Comma (line 1, column 19)");
  EXPECT_EQ(parse_error("UPDATE t SET a = b WHERE id = 1"), "expected a value, found Word(\"b\") (line 1, column 18)");
  EXPECT_EQ(parse_error("UPDATE t SET t.a = 1 WHERE id = 1"), "expected Eq, found Dot (line 1, column 15)");
}

TEST(ParseDelete, RequiresFromAndWhere) {
  EXPECT_EQ(parse_error("DELETE FROM t"), "unexpected end of statement (line 1, column 14)");
  EXPECT_EQ(parse_error("DELETE t WHERE a = 1"), "expected `from`, found Word(\"t\") (line 1, column 8)");
  EXPECT_EQ(parse_error("DELETE FROM t LIMIT 1"), "expected `where`, found Word(\"LIMIT\") (line 1, column 15)");
}

TEST(ParseDrop, TablesAndNamedIndexes) {
  Statement c = parse_ok("DROP INDEX IF EXISTS docs_fts");
  EXPECT_EQ(as<DropRetrievalIndexStmt>(c), (DropRetrievalIndexStmt{"docs_fts", true}));
  Statement d = parse_ok("DROP INDEX docs_fts;");
  EXPECT_EQ(as<DropRetrievalIndexStmt>(d), (DropRetrievalIndexStmt{"docs_fts", false}));
  EXPECT_EQ(parse_error("DROP TABLE IF t"), "expected `exists`, found Word(\"t\") (line 1, column 15)");
  EXPECT_EQ(parse_error("DROP VIEW v"), "expected `table`, found Word(\"VIEW\") (line 1, column 6)");
  EXPECT_EQ(parse_error("DROP TABLE a, b"), "unexpected token Comma after the statement (line 1, column 13)");
}

}  // namespace
}  // namespace qm::query
