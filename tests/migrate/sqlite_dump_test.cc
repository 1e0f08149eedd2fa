// A real dump: SQLite builds a database (quoted names, quotes, NULLs, non-ASCII text, an
// index, a view and a trigger), its command-line shell writes the dump, and the import must
// hold every row SQLite holds. Values stay within what the dialect reads: no newlines in
// text (the shell writes those through replace()), no blobs, REALs of at most six decimals
// (which the shell may still print as -24.874999999999999999).
#include <gtest/gtest.h>
#include <sqlite3.h>

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

}  // namespace
