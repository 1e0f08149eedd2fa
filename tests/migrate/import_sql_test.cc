// qm_import_sql as a host meets it (where statements split and what each becomes are the
// scanners' own tests): the exact report of a dump, what the imported database
// then holds, the argument faults, and an import inside the host's own transaction.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/result_json.h"
#include "db/database.h"
#include "support/c_api.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "support/result_text.h"
#include "query/statements/statements.h"

namespace {

using ImportSqlFs = qm::test::OnFaultyFs;
using namespace qm::test;

std::string import(const CDb& db, const std::string& dump) { return take_json(qm_import_sql(db.get(), dump.c_str())); }

struct ReportCase {
  const char* name;
  std::string dump;
  std::string report;
};

TEST(ImportSql, ReportsWhatRanWhatWasSkippedAndWhatFailed) {
  const std::vector<ReportCase> cases = {
      {"empty", "", R"j({"errors":[],"executed":0,"skipped":[]})j"},
      {"pragma, transaction and constraints",
       "PRAGMA foreign_keys=OFF;\nBEGIN TRANSACTION;\n"
       "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT NOT NULL, CHECK (id > 0));\n"
       "INSERT INTO t VALUES(1,'a');\nINSERT INTO t VALUES(2,'b');\nCOMMIT;\n",
       R"j({"errors":[],"executed":3,"skipped":["pragma not supported: PRAGMA foreign_keys=OFF",)j"
       R"j("transactions not supported: BEGIN TRANSACTION","transactions not supported: COMMIT"]})j"},
      {"trigger body with semicolons, index and view",
       "CREATE TABLE t(a, b);\n"
       "CREATE TRIGGER tr AFTER INSERT ON t BEGIN\n  UPDATE t SET b = CASE WHEN new.a > 1 THEN 'big' END;\n  "
       "DELETE FROM t WHERE a = 0;\nEND;\n"
       "CREATE INDEX ti ON t(a);\nCREATE VIEW v AS SELECT a FROM t;\nINSERT INTO t VALUES(2, 'x');",
       R"j({"errors":[],"executed":2,"skipped":["triggers not supported: CREATE TRIGGER tr AFTER INSERT ON t BEGIN UPDATE t SET b = C...",)j"
       R"j("dump index skipped: CREATE INDEX ti ON t(a)","views not supported: CREATE VIEW v AS SELECT a FROM t"]})j"},
      {"failing statements do not stop the import",
       "INSERT INTO nope VALUES(1);\nCREATE TABLE t(a);\nCREATE TABLE t(b);\nINSERT INTO t VALUES(1);\n"
       "CREATE TABLE s.x(a);",
       R"j({"errors":["table not found: nope: INSERT INTO nope VALUES(1)",)j"
       R"j("schema error: table `t` already exists: CREATE TABLE t(b)"],"executed":2,)j"
       R"j("skipped":["could not parse CREATE TABLE: CREATE TABLE s.x(a)"]})j"},
      {"a statement the dialect cannot parse",
       "CREATE TABLE t(a);\nINSERT INTO t VALUES(X'00');",
       R"j({"errors":["query parse error: expected a value, found Word(\"X\") (line 1, column 22)\n  INSERT INTO t VALUES(X'00')\n)j"
       R"j(                       ^: INSERT INTO t VALUES(X'00')"],"executed":1,"skipped":[]})j"},
      {"an error after rewritten literals quotes the dump's own text",
       "CREATE TABLE t(a, b);\nINSERT INTO t VALUES(2.5e+20, replace('x\\ny','\\n',char(10)) junk);",
       R"j({"errors":["query parse error: expected `,` or `)`, found Word(\"junk\") (line 1, column 61)\n  )j"
       R"j(INSERT INTO t VALUES(2.5e+20, replace('x\\ny','\\n',char(10)) junk)\n)j" + std::string(62, ' ') +
           R"j(^: INSERT INTO t VALUES(2.5e+20, replace('x\\ny','\\n',char(10)) ..."],"executed":1,"skipped":[]})j"},
      {"unterminated comment runs nothing",
       "CREATE TABLE t(a);\nINSERT INTO t VALUES(1);\n/* never closed",
       R"j({"errors":["unterminated SQL comment; no statements imported"],"executed":0,"skipped":[]})j"},
  };
  for (const ReportCase& c : cases) {
    CDb db = CDb::memory();
    EXPECT_EQ(import(db, c.dump), c.report) << c.name;
  }
}

TEST(ImportSql, ArgumentFaultsAreRefusedWithTheirOwnTexts) {
  CDb db = CDb::memory();
  EXPECT_EQ(take_json(qm_import_sql(nullptr, "SELECT 1")), "error: qm_import_sql: db handle is NULL");
  EXPECT_EQ(take_json(qm_import_sql(db.get(), nullptr)), "error: qm_import_sql: dump is NULL or not valid UTF-8");
  EXPECT_EQ(take_json(qm_import_sql(db.get(), "INSERT INTO t VALUES('\xc3')")),
            "error: qm_import_sql: dump is NULL or not valid UTF-8");
  EXPECT_EQ(import(db, "CREATE TABLE t(a)"), R"j({"errors":[],"executed":1,"skipped":[]})j");
  EXPECT_EQ(last_error(), "(none)");
}

TEST(ImportSql, WorkspaceKeepsEveryStatementThatRan) {
  qm::test::TempDir dir;
  {
    CDb db = CDb::workspace(dir.join("ws"));
    EXPECT_EQ(import(db, "CREATE TABLE t(a, b);\nINSERT INTO t VALUES(1,'x');\nINSERT INTO nope VALUES(1);\n"
                         "INSERT INTO t VALUES(2,'y');"),
              R"j({"errors":["table not found: nope: INSERT INTO nope VALUES(1)"],"executed":3,"skipped":[]})j");
  }
  CDb reopened = CDb::workspace(dir.join("ws"));
  EXPECT_EQ(reopened.query("SELECT a, b FROM t ORDER BY a"), R"j({"columns":["a","b"],"rows":[[1,"x"],[2,"y"]]})j");
}

// A statement whose write fails inside the host's transaction rolls that transaction back;
// the rest of the dump must not then be applied piecemeal outside it, or the host could
// neither keep nor undo the import as a whole.
TEST_F(ImportSqlFs, StatementsAfterTheHostTransactionRolledBackAreNotRun) {
  disk.make_dirs("/ws");
  auto db = must(qm::db::Database::open_workspace("/ws"));
  ASSERT_TRUE(query_with(db, "CREATE TABLE t(a)", {}).has_value());
  ASSERT_TRUE(db.begin_transaction().has_value());
  disk.fail_nth(qm::test::FaultyFs::Op::Write, 1);  // the first blob file: a value over 16 bytes
  const qm::migrate::ImportReport report = import_sql(db, 
      "INSERT INTO t VALUES(1);\nINSERT INTO t VALUES('longer than sixteen bytes'), (2);\nPRAGMA x;\n"
      "INSERT INTO t VALUES(3);\nINSERT INTO t VALUES(;");
  EXPECT_EQ(report.executed, 1u);
  EXPECT_EQ(report.skipped, std::vector<std::string>{"pragma not supported: PRAGMA x"});
  ASSERT_EQ(report.errors.size(), 3u);
  EXPECT_EQ(report.errors[0].rfind("i/o error: ", 0), 0u) << report.errors[0];
  EXPECT_EQ(report.errors[1],
            "transaction error: statement not run: an earlier statement failed and rolled back the open transaction: "
            "INSERT INTO t VALUES(3)");
  EXPECT_EQ(report.errors[2].rfind("query parse error: unexpected end of statement", 0), 0u) << report.errors[2];
  EXPECT_FALSE(db.in_transaction());
  auto count = must(query_with(db, "SELECT COUNT(*) FROM t", {}));
  EXPECT_EQ(qm::json::result_to_string(count), R"j({"columns":["count"],"rows":[[0]]})j");
}

TEST(ImportSql, InsideASurvivingHostTransactionTheHostDecides) {
  CDb db = CDb::memory();
  ASSERT_EQ(db.query("CREATE TABLE t(a)"), R"j({"done":true})j");
  ASSERT_EQ(qm_begin_transaction(db.get()), 1);
  EXPECT_EQ(import(db, "INSERT INTO t VALUES(1);INSERT INTO nope VALUES(2);INSERT INTO t VALUES(3);"),
            R"j({"errors":["table not found: nope: INSERT INTO nope VALUES(2)"],"executed":2,"skipped":[]})j");
  EXPECT_TRUE(qm_in_transaction(db.get()));
  ASSERT_EQ(qm_rollback_transaction(db.get()), 1);
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM t"), R"j({"columns":["count"],"rows":[[0]]})j");
}

}  // namespace
