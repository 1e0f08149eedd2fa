// Real dumps: SQLite builds a database (quoted names, quotes, NULLs, non-ASCII text, line
// breaks, an index, a view and a trigger), its command-line shell or Python's iterdump()
// writes the dump, and the import must hold every row SQLite holds, compared row by row.
// No blobs; a REAL arrives as a decimal of six places.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/c_api.h"
#include "support/temp_dir.h"

namespace {

constexpr const char* kSource = R"sql(
CREATE TABLE people(id INTEGER PRIMARY KEY, name TEXT NOT NULL, city TEXT DEFAULT 'none', score REAL, big INTEGER);
CREATE TABLE "order items"("item id" INTEGER, [unit price] NUMERIC(10,2), `qty` INT, label TEXT, UNIQUE("item id"));
CREATE TABLE tags(id INTEGER PRIMARY KEY, tag TEXT, weight INT DEFAULT 0, CHECK (weight >= 0));
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 7999)
INSERT INTO people SELECT i + 1,
  CASE i % 6 WHEN 0 THEN 'O''Brien' WHEN 1 THEN 'Zoë ''q'' 😀' WHEN 2 THEN '東京 semi;colon'
    WHEN 3 THEN 'dash -- not a comment' WHEN 4 THEN '/* not */ "dq" `bt` [br]]' ELSE '  spaced  ' END || ' #' || i,
  CASE WHEN i % 7 = 0 THEN NULL ELSE CASE i % 3 WHEN 0 THEN 'Ærø' WHEN 1 THEN 'Kraków' ELSE 'Αθήνα' END END,
  CASE WHEN i % 11 = 0 THEN NULL ELSE (i % 400 - 200) / 8.0 END,
  (i - 4000) * 1000000007 FROM n;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 1499)
INSERT INTO "order items" SELECT i * 3, CASE WHEN i % 50 = 0 THEN NULL ELSE (i % 1000) / 4.0 END, i % 17,
  'it''s ''' || i || '''' FROM n;
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 499)
INSERT INTO tags SELECT i, CASE WHEN i % 9 = 0 THEN NULL ELSE 'tag;' || i END, i % 5 FROM n;
CREATE INDEX people_city ON people(city);
CREATE VIEW heavy AS SELECT tag FROM tags WHERE weight > 3;
CREATE TRIGGER tag_guard AFTER INSERT ON tags BEGIN
  UPDATE tags SET weight = CASE WHEN new.weight > 4 THEN 4 ELSE new.weight END WHERE id = new.id;
END;
)sql";

// Each row of a SELECT as the JSON cells the library's result would hold.
std::vector<std::string> sqlite_rows(sqlite3* db, const std::string& sql, std::vector<std::string>& columns) {
  std::vector<std::string> rows;
  sqlite3_stmt* st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  for (int k = 0; k < sqlite3_column_count(st); ++k) columns.push_back(sqlite3_column_name(st, k));
  while (sqlite3_step(st) == SQLITE_ROW) {
    nlohmann::json row = nlohmann::json::array();
    for (int k = 0; k < sqlite3_column_count(st); ++k) {
      switch (sqlite3_column_type(st, k)) {
        case SQLITE_INTEGER: row.push_back(sqlite3_column_int64(st, k)); break;
        case SQLITE_FLOAT: {
          char buf[64];  // a decimal travels as its display text
          std::snprintf(buf, sizeof buf, "%.6f", sqlite3_column_double(st, k));
          row.push_back(buf);
          break;
        }
        case SQLITE_TEXT: row.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, k))); break;
        default: row.push_back(nullptr);
      }
    }
    rows.push_back(row.dump());
  }
  sqlite3_finalize(st);
  return rows;
}

TEST(SqliteDump, EveryRowOfARealDumpArrivesIntact) {
  if (qm::test::run_command("command -v sqlite3").empty())
    GTEST_SKIP() << "the sqlite3 command-line shell is not installed (scripts/install-deps.sh installs it)";
  qm::test::TempDir dir;
  const std::string path = dir.join("source.db");
  sqlite3* src = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &src), SQLITE_OK);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> closer(src, sqlite3_close);
  char* err = nullptr;
  ASSERT_EQ(sqlite3_exec(src, kSource, nullptr, nullptr, &err), SQLITE_OK) << err;

  const std::string dump = qm::test::run_command("sqlite3 '" + path + "' .dump");
  ASSERT_NE(dump.find("INSERT INTO \"order items\" VALUES(3,0.25,1,'it''s ''1''');"), std::string::npos) << dump;
  ASSERT_NE(dump.find("-24.874999999999999999"), std::string::npos) << "the shell prints just below the value";

  qm::test::CDb db = qm::test::CDb::memory();
  auto report = nlohmann::json::parse(qm::test::take_json(qm_import_sql(db.get(), dump.c_str())));
  EXPECT_EQ(report["errors"], nlohmann::json::array());
  EXPECT_EQ(report["executed"], 3 + 8000 + 1500 + 500);
  EXPECT_EQ(report["skipped"],
            nlohmann::json({"pragma not supported: PRAGMA foreign_keys=OFF",
                            "transactions not supported: BEGIN TRANSACTION",
                            "dump index skipped: CREATE INDEX people_city ON people(city)",
                            "views not supported: CREATE VIEW heavy AS SELECT tag FROM tags WHERE weight > 3",
                            "triggers not supported: CREATE TRIGGER tag_guard AFTER INSERT ON tags BEGIN UPDATE t...",
                            "transactions not supported: COMMIT"}));

  for (const char* order : {"SELECT * FROM people ORDER BY id", "SELECT * FROM \"order items\" ORDER BY \"item id\"",
                            "SELECT * FROM tags ORDER BY id"}) {
    SCOPED_TRACE(order);
    std::vector<std::string> columns;
    const std::vector<std::string> expected = sqlite_rows(src, order, columns);
    auto got = nlohmann::json::parse(db.query(order));
    EXPECT_EQ(got["columns"], nlohmann::json(columns));
    ASSERT_EQ(got["rows"].size(), expected.size());
    for (size_t r = 0; r < expected.size(); ++r) ASSERT_EQ(got["rows"][r].dump(), expected[r]) << "row " << r;
  }
}

// Imports a dump into a new memory database and compares every row of `query` with what
// SQLite's own database holds: a REAL arrives as a decimal within half a millionth of it
// (the dump's text rounded to six places), every other value exactly.
void expect_same_rows(sqlite3* src, const std::string& dump, size_t executed, const std::string& query) {
  qm::test::CDb db = qm::test::CDb::memory();
  auto report = nlohmann::json::parse(qm::test::take_json(qm_import_sql(db.get(), dump.c_str())));
  EXPECT_EQ(report["errors"], nlohmann::json::array());
  EXPECT_EQ(report["executed"], executed);
  const auto got = nlohmann::json::parse(db.query(query))["rows"];
  sqlite3_stmt* st = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(src, query.c_str(), -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(src);
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalizer(st, sqlite3_finalize);
  size_t r = 0;
  for (; sqlite3_step(st) == SQLITE_ROW; ++r) {
    ASSERT_LT(r, got.size());
    for (int k = 0; k < sqlite3_column_count(st); ++k) {
      const nlohmann::json& cell = got[r][k];
      SCOPED_TRACE("row " + std::to_string(r) + " column " + std::to_string(k) + ": " + cell.dump());
      switch (sqlite3_column_type(st, k)) {
        case SQLITE_INTEGER: EXPECT_EQ(cell, sqlite3_column_int64(st, k)); break;
        case SQLITE_FLOAT: {
          const double want = sqlite3_column_double(st, k);
          ASSERT_TRUE(cell.is_string());
          EXPECT_LE(std::fabs(std::stod(cell.get<std::string>()) - want), 5e-7 + std::fabs(want) * 1e-15);
          break;
        }
        case SQLITE_TEXT: EXPECT_EQ(cell, reinterpret_cast<const char*>(sqlite3_column_text(st, k))); break;
        default: EXPECT_TRUE(cell.is_null());
      }
    }
  }
  EXPECT_EQ(r, got.size());
}

// A new SQLite database at `path` made by `sql`.
std::unique_ptr<sqlite3, int (*)(sqlite3*)> sqlite_database(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> owned(db, sqlite3_close);
  char* err = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &err), SQLITE_OK) << err;
  sqlite3_free(err);
  return owned;
}

// Texts holding line feeds, carriage returns, both, and the shell's own marker text (which
// makes it pick another marker), beside quotes and non-ASCII text.
constexpr const char* kLineBreaks = R"sql(
CREATE TABLE notes(id INTEGER PRIMARY KEY, body TEXT, score REAL);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 599)
INSERT INTO notes SELECT i,
  CASE i % 7 WHEN 0 THEN 'line ' || i || char(10) || 'next ''q'''
    WHEN 1 THEN 'crlf' || char(13) || char(10) || 'Zoë ' || i
    WHEN 2 THEN 'cr only' || char(13) || i
    WHEN 3 THEN 'marker \n kept' || char(10) || i
    WHEN 4 THEN 'markers \n and \012 kept' || char(10) || i
    WHEN 5 THEN char(10) || char(10) || i || char(13)
    ELSE 'plain ' || i END,
  (i % 97) / 7.0 FROM n;
)sql";

TEST(SqliteDump, TheShellsLineBreakFormsArriveAsTheTextTheyStandFor) {
  if (qm::test::run_command("command -v sqlite3").empty())
    GTEST_SKIP() << "the sqlite3 command-line shell is not installed (scripts/install-deps.sh installs it)";
  qm::test::TempDir dir;
  const std::string path = dir.join("notes.db");
  auto src = sqlite_database(path, kLineBreaks);
  const std::string dump = qm::test::run_command("sqlite3 '" + path + "' .dump");
  for (const char* form : {R"(replace('line 0\nnext ''q''','\n',char(10)))",
                           R"(replace(replace('crlf\r\nZoë 1','\r',char(13)),'\n',char(10)))",
                           R"(replace('cr only\r2','\r',char(13)))", R"(,'\012',char(10)))",
                           R"(,'(\n0)',char(10)))"})
    ASSERT_NE(dump.find(form), std::string::npos) << form << " in " << dump.substr(0, 2000);
  expect_same_rows(src.get(), dump, 1 + 600, "SELECT * FROM notes ORDER BY id");
}

// REALs that Python's iterdump() (through SQLite's quote()) writes in exponent notation,
// beside texts holding line breaks as they stand.
constexpr const char* kReals = R"sql(
CREATE TABLE measures(id INTEGER PRIMARY KEY, ratio REAL, tiny REAL, huge REAL, note TEXT);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400)
INSERT INTO measures SELECT i, (i * 91) / 60.0, i * 1.0e-7, (i + 0.5) * 1.0e20,
  CASE WHEN i % 3 = 0 THEN 'two' || char(10) || 'lines' ELSE 'r' || i END FROM n;
)sql";

TEST(SqliteDump, PythonIterdumpExponentNotationArrivesRoundedToSixPlaces) {
  if (qm::test::run_command("command -v python3").empty()) GTEST_SKIP() << "python3 is not installed";
  qm::test::TempDir dir;
  const std::string path = dir.join("measures.db");
  auto src = sqlite_database(path, kReals);
  const std::string dump = qm::test::run_command(
      R"(python3 -c 'import sqlite3, sys; sys.stdout.write("\n".join(sqlite3.connect(sys.argv[1]).iterdump()))' ')" +
      path + "'");
  if (dump.find("CREATE TABLE") == std::string::npos) GTEST_SKIP() << "python3 has no sqlite3 module";
  for (const char* form : {"1.51666666666666660745e+00", "1.0e-07", "1.5e+20"})
    ASSERT_NE(dump.find(form), std::string::npos) << form << " in " << dump.substr(0, 2000);
  expect_same_rows(src.get(), dump, 1 + 400, "SELECT * FROM measures ORDER BY id");
}

}  // namespace
