// The pure dump scanners: where statements split, what each statement becomes, and the
// short previews the import report shows.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "migrate/decimal_literals.h"
#include "migrate/dump_text.h"
#include "migrate/rewrite.h"
#include "migrate/split.h"
#include "support/result_text.h"

namespace {

using qm::test::must;
using qm::migrate::kUnterminatedComment;
using qm::migrate::kUnterminatedQuoteOrTrigger;

struct SplitCase {
  const char* dump;
  std::vector<std::string> statements;  // or, when `error` is set, nothing
  const char* error = nullptr;
};

TEST(SplitStatements, EndsStatementsOnlyAtSemicolonsOutsideQuotesCommentsAndTriggerBodies) {
  const std::vector<SplitCase> cases = {
      {"A; B;", {"A", " B"}},
      {"A;B", {"A", "B"}},
      {"A;;B", {"A", "", "B"}},
      {"V('a;b', \"c;d\", `e;f`, [g;h]);x", {"V('a;b', \"c;d\", `e;f`, [g;h])", "x"}},
      {"V('it''s;', [a]];b]);", {"V('it''s;', [a]];b])"}},
      {"A -- c; d\nB;", {"A  B"}},
      {"A; -- trailing comment without newline", {"A"}},
      {"A /* x; */ B", {"A   B"}},
      {"a - b / c * d;", {"a - b / c * d"}},
      {"V('é;ñ'); ÉTÉ;", {"V('é;ñ')", " ÉTÉ"}},
      {"CREATE TRIGGER tr AFTER INSERT ON t BEGIN UPDATE t SET a = CASE WHEN 1 THEN 2 END; END; INSERT INTO t;",
       {"CREATE TRIGGER tr AFTER INSERT ON t BEGIN UPDATE t SET a = CASE WHEN 1 THEN 2 END; END", " INSERT INTO t"}},
      {"create temp trigger x before delete on t begin select 1; end;y", {"create temp trigger x before delete on t begin select 1; end", "y"}},
      {"CREATE/*c*/TRIGGER x BEGIN a; END;y", {"CREATE TRIGGER x BEGIN a; END", "y"}},
      // Only CREATE [TEMP|TEMPORARY] TRIGGER opens a body; a longer word is not the keyword.
      {"CREATE TRIGGERS x; y", {"CREATE TRIGGERS x", " y"}},
      {"SELECT CASE WHEN a THEN b END; y", {"SELECT CASE WHEN a THEN b END", " y"}},
      {"A; /* unclosed", {}, kUnterminatedComment},
      {"A; 'unclosed;", {}, kUnterminatedQuoteOrTrigger},
      {"A; [unclosed", {}, kUnterminatedQuoteOrTrigger},
      {"CREATE TRIGGER tr BEGIN UPDATE t SET a = CASE WHEN 1 THEN 2 END; ", {}, kUnterminatedQuoteOrTrigger},
      {"CREATE TRIGGER tr AFTER INSERT ON t; x;", {}, kUnterminatedQuoteOrTrigger},
  };
  for (const SplitCase& c : cases) {
    auto split = qm::migrate::split_statements(c.dump);
    if (c.error) {
      ASSERT_FALSE(split) << c.dump;
      EXPECT_EQ(split.error(), c.error) << c.dump;
      continue;
    }
    ASSERT_TRUE(split) << c.dump << ": " << split.error();
    std::vector<std::string> got(split->statements.begin(), split->statements.end());
    EXPECT_EQ(got, c.statements) << c.dump;
  }
}

TEST(SplitStatements, CopiedStatementsSurviveMovingTheResult) {
  std::string dump;
  for (int i = 0; i < 100; ++i) dump += "INSERT /* c */ INTO t VALUES (" + std::to_string(i) + ");";
  auto split = must(qm::migrate::split_statements(dump));
  qm::migrate::SplitDump moved = std::move(split);
  ASSERT_EQ(moved.statements.size(), 100u);
  EXPECT_EQ(moved.statements[99], "INSERT   INTO t VALUES (99)");
}

struct RewriteCase {
  const char* statement;
  const char* skip_reason;  // nullptr: executed
  const char* sql;          // executed text; nullptr: the statement unchanged
};

TEST(RewriteStatement, SkipsWhatTheDialectLacksAndReducesCreateTable) {
  const std::vector<RewriteCase> cases = {
      {"pragma foreign_keys=OFF", "pragma not supported", nullptr},
      {"BEGIN TRANSACTION", "transactions not supported", nullptr},
      {"commit", "transactions not supported", nullptr},
      {"end", "transactions not supported", nullptr},
      {"END TRANSACTION", nullptr, nullptr},
      {"create temporary  trigger x", "triggers not supported", nullptr},
      {"CREATE VIEW v AS SELECT 1", "views not supported", nullptr},
      {"CREATE  VIEW v AS SELECT 1", nullptr, nullptr},
      {"CREATE INDEX i ON t(a)", "dump index skipped", nullptr},
      {"create unique index i ON t(a)", "dump index skipped", nullptr},
      {"ALTERX", "ALTER not supported", nullptr},
      {"INSERT INTO t VALUES(1)", nullptr, nullptr},
      {"CREATE TEMP TABLE t(a)", nullptr, nullptr},
      {"CREATE TABLE IF NOT EXISTS \"my t\"(id INTEGER PRIMARY KEY, \"full name\" TEXT NOT NULL, "
       "CONSTRAINT c UNIQUE(id), FOREIGN KEY(id) REFERENCES u(id))",
       nullptr, "CREATE TABLE \"my t\" (id, \"full name\")"},
      {"create table t(a DECIMAL(10,2) DEFAULT (1), b CHECK (b > 0), [c d], `e``f`, \"primary\", unique(a),)", nullptr,
       "CREATE TABLE t (a, b, [c d], `e``f`, \"primary\")"},
      {"CREATE TABLE t(a) WITHOUT ROWID", nullptr, "CREATE TABLE t (a)"},
      {"CREATE TABLE ünï(ça, _x1)", nullptr, "CREATE TABLE ünï (ça, _x1)"},
      {"CREATE TABLE t(primary)", "could not parse CREATE TABLE", nullptr},
      {"CREATE TABLE s.t(a)", "could not parse CREATE TABLE", nullptr},
      {"CREATE TABLE (a)", "could not parse CREATE TABLE", nullptr},
      {"CREATE TABLE IF EXISTS t(a)", "could not parse CREATE TABLE", nullptr},
      {"CREATE TABLE t", "could not parse CREATE TABLE", nullptr},
      {"CREATE TABLE t(a, (b)", "could not parse CREATE TABLE", nullptr},
      {"CREATE TABLE t(a, 'b", "could not parse CREATE TABLE", nullptr},
      {"CREATE TABLEX(a)", "could not parse CREATE TABLE", nullptr},
  };
  for (const RewriteCase& c : cases) {
    auto r = qm::migrate::rewrite_statement(c.statement);
    EXPECT_EQ(r.skip, c.skip_reason != nullptr) << c.statement;
    if (c.skip_reason) {
      EXPECT_EQ(r.reason, c.skip_reason) << c.statement;
      continue;
    }
    EXPECT_EQ(r.sql(c.statement), c.sql ? c.sql : c.statement) << c.statement;
  }
}

TEST(DumpText, PreviewCollapsesWhiteSpaceAndCutsAfterSixtyCharacters) {
  const std::string sixty(60, 'x');
  const std::string accented = std::string(59, 'a') + "éé";  // 61 characters, 63 bytes
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  SELECT\n\t 1 ,  2  ", "SELECT 1 , 2"},
      {sixty, sixty},
      {sixty + "y", sixty + "..."},
      {std::string(59, 'x') + "  y", std::string(59, 'x') + " ..."},
      {accented, std::string(59, 'a') + "é..."},
  };
  for (const auto& [statement, expected] : cases) EXPECT_EQ(qm::migrate::preview(statement), expected) << statement;
}

TEST(DumpLiterals, AreRewrittenOnlyWhereTheLexerReadsThem) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"VALUES(1,-24.874999999999999999,0.10000000000000000555)", "VALUES(1,-24.875000,0.100000)"},
      {"VALUES(9.9999995, 0.0000004, 12.1234565)", "VALUES(10.000000, 0.000000, 12.123457)"},
      // Exponent notation becomes the fixed-point decimal, rounded the same way.
      {"VALUES(1.51666666666666660745e+00,1.0e-07,5.0e-07,2.5e+20,-3E2,1e-400,9.9999999e-01)",
       "VALUES(1.516667,0.000000,0.000001,250000000000000000000.0,-300.0,0.000000,1.000000)"},
      // The shell's forms of a text with line feeds, carriage returns or both; its other marker.
      {"VALUES(replace('a\\nb','\\n',char(10)),replace(replace('c\\r\\nd','\\r',char(13)),'\\n',char(10)))",
       "VALUES('a\nb','c\r\nd')"},
      {"VALUES(replace('it''s \\n\\012','\\012',char(10)))", "VALUES('it''s \\n\n')"},
      // Six places or fewer, digits in words, quotes and after a dot are not number literals.
      {"VALUES(1.5, 2.123456, x1.1234567, '3.1234567', \"4.1234567\", t.1234567, 1.2.3456789)", nullptr},
      {"VALUES(1., x1e5, 1e5x, 1e999, 'replace(''a'',''b'',char(10))')", nullptr},
      {"VALUES('open 1.1234567", nullptr},
      // Only the shell's exact forms: no other character code, spelling, spacing or depth.
      {"VALUES(replace('a','b',char(9)), REPLACE('a','b',char(10)), replace( 'a','b',char(10)))", nullptr},
      {"VALUES(replace('a','',char(10)), replace('a','b',char(10), replace('a'))", nullptr},
  };
  for (const auto& [sql, expected] : cases) {
    auto rewritten = qm::migrate::rewrite_dump_literals(sql);
    if (!expected) {
      EXPECT_FALSE(rewritten) << sql << " -> " << rewritten->text;
      continue;
    }
    ASSERT_TRUE(rewritten) << sql;
    EXPECT_EQ(rewritten->text, expected);
  }
}

}  // namespace
