// Statement entry and refusals: every statement kind refused at the token of its first fault
// (message and position; what accepted forms do is stated by the golden scripts), the error
// layout with its source line and caret, and the few parsed shapes no script can see.
#include <gtest/gtest.h>

#include "sql/cursor.h"
#include "sql/error_position.h"
#include "sql/parse_helpers.h"

namespace qm::sql {
namespace {

using namespace test;

struct Refusal {
  const char* sql;
  const char* error;  // the first line of the detail: message (line L, column C)
};

constexpr Refusal kRefusals[] = {
    // Statement entry: empty text, unknown first words, what may follow a statement.
    {"", "unexpected end of statement (line 1, column 1)"},
    {"  \n\t ", "unexpected end of statement (line 1, column 1)"},
    {"SELECT\n", "unexpected end of statement (line 2, column 1)"},
    {";", "unsupported statement token Semicolon (line 1, column 1)"},
    {"\"select\" * FROM t", "unsupported statement token Ident(\"select\") (line 1, column 1)"},
    {"  vacuum", "unsupported statement `VACUUM` (line 1, column 3)"},
    {"BEGIN WORK", "unsupported or misplaced SQL construct `WORK` (line 1, column 7)"},
    {"COMMIT TRANSACTION TRANSACTION", "unsupported or misplaced SQL construct `TRANSACTION` (line 1, column 20)"},
    {"EXPLAIN", "unexpected end of statement (line 1, column 8)"},
    {"EXPLAIN DELETE FROM t WHERE a = 1", "EXPLAIN requires SELECT, found Word(\"DELETE\") (line 1, column 9)"},
    {"EXPLAIN EXPLAIN SELECT a FROM t", "EXPLAIN requires SELECT, found Word(\"EXPLAIN\") (line 1, column 9)"},
    {"SELECT * FROM t; SELECT * FROM u", "unsupported or misplaced SQL construct `SELECT` (line 1, column 18)"},
    {"SELECT * FROM t; 5", "unexpected token Int(5) after the statement (line 1, column 18)"},
    {"SELECT * FROM t )", "unexpected token RParen after the statement (line 1, column 17)"},
    {"SELECT a \"from\" t", "expected `from`, found Ident(\"from\") (line 1, column 10)"},
    {"SELECT a x t", "expected `from`, found Word(\"x\") (line 1, column 10)"},
    {"UPDATE t SET a = \"null\" WHERE b = 1", "expected a value, found Ident(\"null\") (line 1, column 18)"},
    {"SELECT a.b.c FROM t", "expected `from`, found Dot (line 1, column 11)"},
    {"SELECT a. FROM t", "expected `from`, found Word(\"t\") (line 1, column 16)"},
    // SELECT lists, aliases, joins, row counts and clause order.
    {"SELECT *, a FROM t", "expected `from`, found Comma (line 1, column 9)"},
    {"SELECT a", "unexpected end of statement (line 1, column 9)"},
    {"SELECT a b FROM t", "expected `from`, found Word(\"b\") (line 1, column 10)"},
    {"SELECT a AS order FROM t", "expected an alias name after AS, found keyword `order` (line 1, column 13)"},
    {"SELECT a FROM t AS Where", "expected a table alias after AS, found keyword `Where` (line 1, column 20)"},
    {"SELECT * FROM a x JOIN b ON a.i = b.i JOIN c x ON a.i = c.i",
     "duplicate table qualifier `x` (line 1, column 44)"},
    {"SELECT * FROM a CROSS JOIN b", "unsupported join type `CROSS` (line 1, column 17)"},
    {"SELECT * FROM a JOIN b ON a.x = b.y right join c ON a.x = c.x",
     "unsupported join type `RIGHT` (line 1, column 37)"},
    {"SELECT * FROM a full JOIN b ON a.x = b.y", "unsupported join type `FULL` (line 1, column 17)"},
    {"SELECT * FROM a NATURAL JOIN b", "unsupported join type `NATURAL` (line 1, column 17)"},
    {"SELECT * FROM a JOIN b ON a.x = 1", "expected identifier, found Int(1) (line 1, column 33)"},
    {"SELECT * FROM a JOIN b ON a.x = b.y AND a.z = b.z",
     "unsupported or misplaced SQL construct `AND` (line 1, column 37)"},
    {"SELECT * FROM a JOIN b USING (x)", "expected `on`, found Word(\"USING\") (line 1, column 24)"},
    {"SELECT * FROM a, b", "unexpected token Comma after the statement (line 1, column 16)"},
    {"SELECT a FROM t LIMIT -1", "LIMIT expects a non-negative integer, found Int(-1) (line 1, column 23)"},
    {"SELECT a FROM t LIMIT 1.5", "LIMIT expects a non-negative integer, found Dec(1500000) (line 1, column 23)"},
    {"SELECT a FROM t OFFSET 'x'", "OFFSET expects a non-negative integer, found Str(\"x\") (line 1, column 24)"},
    {"SELECT a FROM t BEFORE x", "BEFORE expects a non-negative integer, found Word(\"x\") (line 1, column 24)"},
    {"SELECT a FROM t LIMIT", "unexpected end of statement (line 1, column 22)"},
    {"SELECT a FROM t OFFSET 1 LIMIT 2", "unsupported or misplaced SQL construct `LIMIT` (line 1, column 26)"},
    {"SELECT a FROM t ORDER BY a BEFORE 3", "unsupported or misplaced SQL construct `BEFORE` (line 1, column 28)"},
    {"SELECT a FROM t WHERE a = 1 UNION SELECT a FROM u",
     "unsupported or misplaced SQL construct `UNION` (line 1, column 29)"},
    {"SELECT a FROM t ORDER BY LOWER(a)", "unexpected token LParen after the statement (line 1, column 31)"},
    {"SELECT a FROM t ORDER BY a NULLS FIRST", "unsupported or misplaced SQL construct `NULLS` (line 1, column 28)"},
    // Conditions, HAVING, aggregates, scalar functions and CASE.
    {"SELECT * FROM t WHERE a NOT = 1", "expected IN, BETWEEN, or LIKE after NOT (line 1, column 29)"},
    {"SELECT * FROM t WHERE a IN ()", "expected a value, found RParen (line 1, column 29)"},
    {"SELECT * FROM t WHERE a IN (1 2)", "expected `,` or `)`, found Int(2) (line 1, column 31)"},
    {"SELECT * FROM t WHERE a == 1", "expected a value, found Eq (line 1, column 26)"},
    {"SELECT * FROM t WHERE a 1", "expected a comparison operator, found Int(1) (line 1, column 25)"},
    {"SELECT * FROM t WHERE a = b", "expected a value, found Word(\"b\") (line 1, column 27)"},
    {"SELECT * FROM t WHERE 1 = a", "expected identifier, found Int(1) (line 1, column 23)"},
    {"SELECT * FROM t WHERE a BETWEEN 1 OR 2", "expected `and`, found Word(\"OR\") (line 1, column 35)"},
    {"SELECT * FROM t WHERE a IS 1", "expected `null`, found Int(1) (line 1, column 28)"},
    {"SELECT * FROM t WHERE (a = 1", "unexpected end of statement (line 1, column 29)"},
    {"SELECT * FROM t WHERE NOT a = 1", "expected a comparison operator, found Word(\"a\") (line 1, column 27)"},
    {"SELECT g FROM t HAVING name LIKE 'a%'",
     "expected a comparison operator, found Word(\"LIKE\") (line 1, column 29)"},
    {"SELECT g FROM t HAVING SUM(*) > 1", "only COUNT(*) may use `*`; SUM/MIN/MAX need a column (line 1, column 24)"},
    {"SELECT g FROM t HAVING g IS NULL", "expected a comparison operator, found Word(\"IS\") (line 1, column 26)"},
    {"SELECT SUM(*) FROM t", "only COUNT(*) may use `*`; SUM/MIN/MAX need a column (line 1, column 8)"},
    {"SELECT COUNT(DISTINCT a) FROM t", "expected RParen, found Word(\"a\") (line 1, column 23)"},
    {"SELECT COUNT() FROM t", "expected identifier, found RParen (line 1, column 14)"},
    {"SELECT UPPER(a, b) FROM t", "UPPER expects exactly one argument (line 1, column 8)"},
    {"SELECT COALESCE() FROM t", "COALESCE expects at least one argument (line 1, column 8)"},
    {"SELECT nullif(a) FROM t", "nullif expects exactly two arguments (line 1, column 8)"},
    {"SELECT lower() FROM t", "lower expects exactly one argument (line 1, column 8)"},
    {"SELECT foo(a) FROM t", "unsupported scalar function `foo` (line 1, column 8)"},
    {"SELECT t.abs(a) FROM t", "expected `from`, found LParen (line 1, column 13)"},
    {"SELECT abs(t.lower(a)) FROM t", "unsupported scalar function `t.lower` (line 1, column 12)"},
    {"SELECT abs(a + 1) FROM t", "unexpected character `+` (line 1, column 14)"},
    {"SELECT CASE ELSE 1 END FROM t", "CASE requires at least one WHEN branch (line 1, column 8)"},
    {"SELECT CASE a WHEN 1 THEN 2 END FROM t", "CASE requires at least one WHEN branch (line 1, column 8)"},
    {"SELECT CASE WHEN a = 1 'x' END FROM t", "expected `then`, found Str(\"x\") (line 1, column 24)"},
    {"SELECT CASE WHEN a = 1 THEN 'x' FROM t", "expected `end`, found Word(\"FROM\") (line 1, column 33)"},
    // INSERT, UPDATE, DELETE and DROP.
    {"INSERT INTO t (a) DEFAULT VALUES", "DEFAULT VALUES cannot include a target-column list (line 1, column 19)"},
    {"INSERT INTO t VALUES ()", "expected a value, found RParen (line 1, column 23)"},
    {"INSERT INTO t SELECT * FROM u", "expected `values`, found Word(\"SELECT\") (line 1, column 15)"},
    {"INSERT INTO t VALUES (1 2)", "expected `,` or `)`, found Int(2) (line 1, column 25)"},
    {"INSERT INTO t (a b) VALUES (1)", "expected `,` or `)`, found Word(\"b\") (line 1, column 18)"},
    {"INSERT INTO t VALUES (1),", "unexpected end of statement (line 1, column 26)"},
    {"INSERT INTO t VALUES (lower('x'))", "expected a value, found Word(\"lower\") (line 1, column 23)"},
    {"INSERT t VALUES (1)", "expected `into`, found Word(\"t\") (line 1, column 8)"},
    {"INSERT INTO t.x VALUES (1)", "expected `values`, found Dot (line 1, column 14)"},
    {"UPDATE t SET a = 1", "unexpected end of statement (line 1, column 19)"},
    {"UPDATE t SET a = 1, b = 2 WHERE id = 1", "expected `where`, found Comma (line 1, column 19)"},
    {"UPDATE t SET a = b WHERE id = 1", "expected a value, found Word(\"b\") (line 1, column 18)"},
    {"UPDATE t SET t.a = 1 WHERE id = 1", "expected Eq, found Dot (line 1, column 15)"},
    {"DELETE FROM t", "unexpected end of statement (line 1, column 14)"},
    {"DELETE t WHERE a = 1", "expected `from`, found Word(\"t\") (line 1, column 8)"},
    {"DELETE FROM t LIMIT 1", "expected `where`, found Word(\"LIMIT\") (line 1, column 15)"},
    {"DROP TABLE IF t", "expected `exists`, found Word(\"t\") (line 1, column 15)"},
    {"DROP VIEW v", "expected `table`, found Word(\"VIEW\") (line 1, column 6)"},
    {"DROP TABLE a, b", "unexpected token Comma after the statement (line 1, column 13)"},
    // CREATE TABLE, CREATE INDEX and the retrieval-index DDL.
    {"CREATE TABLE t (a VARCHAR(0))", "type size expects a positive integer, found Int(0) (line 1, column 27)"},
    {"CREATE TABLE t (a DECIMAL(5, -1))",
     "type scale expects a non-negative integer, found Int(-1) (line 1, column 30)"},
    {"CREATE TABLE t (a DECIMAL(5, 1, 2))", "expected RParen, found Comma (line 1, column 31)"},
    {"CREATE TABLE t (a UNSIGNED INT)", "unsupported column constraint or type modifier `INT` (line 1, column 28)"},
    {"CREATE TABLE t (a INT REFERENCES u(id))",
     "unsupported column constraint or type modifier `REFERENCES` (line 1, column 23)"},
    {"CREATE TABLE t (a INT NULL)", "unsupported column constraint or type modifier `NULL` (line 1, column 23)"},
    {"CREATE TABLE t (a INT, PRIMARY KEY (a))", "unsupported table constraint `PRIMARY` (line 1, column 24)"},
    {"CREATE TABLE t (a INT, constraint c CHECK (a > 0))",
     "unsupported table constraint `CONSTRAINT` (line 1, column 24)"},
    {"CREATE TABLE t (unique)", "unsupported table constraint `UNIQUE` (line 1, column 17)"},
    {"CREATE TABLE t (a INT DEFAULT 1 DEFAULT 2)", "duplicate DEFAULT constraint (line 1, column 33)"},
    {"CREATE TABLE t (a INT PRIMARY KEY PRIMARY KEY)", "duplicate PRIMARY KEY constraint (line 1, column 35)"},
    {"CREATE TABLE t (a INT DEFAULT CURRENT_TIMESTAMP)",
     "DEFAULT supports only NULL, integer, decimal, and text literals (line 1, column 31)"},
    {"CREATE TABLE t (a INT DEFAULT (b))",
     "DEFAULT supports only NULL, integer, decimal, and text literals (line 1, column 32)"},
    {"CREATE TABLE t ()", "expected identifier, found RParen (line 1, column 17)"},
    {"CREATE TABLE t (a b c)", "unsupported column constraint or type modifier `C` (line 1, column 21)"},
    {"CREATE TABLE t (a; b)", "expected `,` or `)`, found Semicolon (line 1, column 18)"},
    {"CREATE TABLE IF EXISTS t (a)", "expected `not`, found Word(\"EXISTS\") (line 1, column 17)"},
    {"CREATE UNIQUE INDEX i ON t (a)", "expected `on`, found Word(\"i\") (line 1, column 21)"},
    {"CREATE VIEW v", "expected TABLE or INDEX after CREATE, found Word(\"VIEW\") (line 1, column 8)"},
    {"CREATE (a)", "expected TABLE or INDEX after CREATE, found LParen (line 1, column 8)"},
    {"CREATE", "unexpected end of statement (line 1, column 7)"},
    {"CREATE INDEX IF NOT EXISTS ix ON d USING FULLTEXT (a) WITH (id_column = 1)",
     "id_column must be an explicit string option (line 1, column 14)"},
    {"CREATE INDEX ix ON d USING FULLTEXT (a) WITH (id_column = '')",
     "schema error: persistent retrieval identifiers must contain 1–256 non-control UTF-8 bytes (line 1, column 14)"},
    {"CREATE INDEX ix ON d USING FULLTEXT (a) WITH (id_column = 'a\nb')",
     "schema error: persistent retrieval identifiers must contain 1–256 non-control UTF-8 bytes (line 1, column 14)"},
    {"CREATE INDEX docs_hnsw ON docs USING hnsw (a) WITH (id_column = 'id')",
     "expected FULLTEXT or VECTOR index kind (line 1, column 38)"},
    {"CREATE INDEX docs_fts ON docs USING FULLTEXT (a)", "unexpected end of statement (line 1, column 49)"},
    {"CREATE INDEX f ON d USING FULLTEXT (a) WHERE", "expected `with`, found Word(\"WHERE\") (line 1, column 40)"},
    {"CREATE INDEX f ON d USING FULLTEXT (a) WITH (id_column = id)",
     "expected a value, found Word(\"id\") (line 1, column 58)"},
    {"CREATE INDEX f ON d USING FULLTEXT (a) WITH (id_column = 'id', id_column = 'x')",
     "duplicate retrieval option `id_column` (line 1, column 64)"},
    {"CREATE INDEX f ON d USING FULLTEXT (a) WITH (Language = 'en')",
     "unknown retrieval option `language` (line 1, column 46)"},
    {"CREATE INDEX f ON d USING FULLTEXT (a b) WITH (id_column = 'id')",
     "expected `,` or `)`, found Word(\"b\") (line 1, column 39)"},
    {"CREATE INDEX f ON d USING FULLTEXT (a) WITH (id_column = 'id' metric = 'x')",
     "expected `,` or `)`, found Word(\"metric\") (line 1, column 63)"},
};

TEST(ParseRefusal, EachStatementFailsAtItsFirstFault) {
  for (const Refusal& c : kRefusals) EXPECT_EQ(parse_error(c.sql), c.error) << c.sql;
}

TEST(ErrorPosition, LayoutHasMessageSourceLineAndCaretCountedByCharacter) {
  auto r = parse("SELECT * FROM");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(),
            "query parse error: unexpected end of statement (line 1, column 14)\n  SELECT * FROM\n               ^");
  // Carriage returns stay in the line; tabs count as one column; non-ASCII text by character.
  const std::pair<const char*, const char*> cases[] = {
      {"SELECT a\nFROM t WHERE a ! 1", "expected `=` after `!` (line 2, column 16)\n  FROM t WHERE a ! 1\n                 ^"},
      {"SELECT a\r\n\tFROM t x y",
       "unsupported or misplaced SQL construct `Y` (line 2, column 11)\n  \tFROM t x y\n            ^"},
      {"SELECT 'é' ?", "unexpected character `?` (line 1, column 12)\n  SELECT 'é' ?\n             ^"},
      {"SELECT 名前, '日本'\nFROM t WHERE 名前 = ?",
       "unexpected character `?` (line 2, column 19)\n  FROM t WHERE 名前 = ?\n                    ^"},
  };
  for (const auto& [sql, text] : cases) EXPECT_EQ(parse_error_text(sql), text) << sql;
  // Positions beyond the end are clamped.
  EXPECT_EQ(point_at("ab\ncd", 99, "m"), "m (line 2, column 3)\n  cd\n    ^");
  EXPECT_EQ(point_at("", 5, "m"), "m (line 1, column 1)\n  \n  ^");
  EXPECT_EQ(point_at("ab\n", 3, "m"), "m (line 2, column 1)\n  \n  ^");
}

TEST(ParsedShapes, KeywordsAliasesQualifiersAndDrops) {
  EXPECT_EQ(parse_ok("SeLeCt * FrOm t;;"), parse_ok("select * from t ; ; "));
  EXPECT_EQ(as<UpdateSetStmt>(parse_ok("UPDATE t SET a = null WHERE b = 1")).value, Value::null());
  Statement cols = parse_ok("SELECT t.a, \"T x\".\"b c\", [q].a FROM t");
  EXPECT_EQ(std::get<ProjectColumns>(as<SelectSingleStmt>(cols).body.projection).columns,
            (std::vector<std::string>{"t.a", "T x.b c", "q.a"}));
  // A reserved word is an alias only when quoted.
  Statement quoted = parse_ok("SELECT a AS \"order\" FROM t");
  EXPECT_EQ(std::get<ProjectItems>(as<SelectSingleStmt>(quoted).body.projection).items[0].alias, "order");
  EXPECT_EQ(as<SelectStmt>(parse_ok("SELECT a FROM t [my alias] WHERE b = 1")).from, (TableRef{"t", "my alias"}));
  parse_ok("SELECT * FROM a JOIN a AS b ON a.x = b.y");
  EXPECT_EQ(as<SelectSingleStmt>(parse_ok("SELECT a FROM t BEFORE 7 ORDER BY a DESC")).body.before, 7u);
  parse_ok("SELECT COUNT(*) FROM t HAVING COUNT(*) > 1");  // HAVING without GROUP BY is the executor's concern
  EXPECT_EQ(as<DropRetrievalIndexStmt>(parse_ok("DROP INDEX IF EXISTS docs_fts")), (DropRetrievalIndexStmt{"docs_fts", true}));
  EXPECT_EQ(as<DropRetrievalIndexStmt>(parse_ok("DROP INDEX docs_fts;")), (DropRetrievalIndexStmt{"docs_fts", false}));
}

}  // namespace
}  // namespace qm::sql
