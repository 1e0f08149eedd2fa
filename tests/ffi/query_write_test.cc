// Writes through the C interface: every constraint text, statements that store all their
// rows or none (in memory and on a workspace, across a reopen), UNIQUE on UPDATE, the
// clock after each statement kind, and the record size limit at its boundary.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/c_api.h"
#include "support/temp_dir.h"

namespace {

using qm::test::CDb;

const std::string kDone = R"({"done":true})";

CDb constrained_table() {
  CDb db = CDb::memory();
  EXPECT_EQ(db.query("CREATE TABLE c (id UNIQUE, name NOT NULL, qty DEFAULT 7, CHECK (qty >= 0), "
                     "CHECK (name <> 'bad'))"),
            kDone);
  return db;
}

TEST(InsertConstraints, EveryRefusalHasItsText) {
  CDb db = constrained_table();
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, 'a')"), "error: schema error: table `c` expects 3 columns, got 2");
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, NULL, 1)"), "error: schema error: column `name` may not be NULL");
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, 'a', -1)"),
            "error: schema error: CHECK constraint 1 failed on table `c`");
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, 'bad', 1)"),
            "error: schema error: CHECK constraint 2 failed on table `c`");
  EXPECT_EQ(db.query("INSERT INTO c (id, id) VALUES (1, 2)"),
            "error: query parse error: duplicate INSERT target column `id` (line 1, column 20)\n"
            "  INSERT INTO c (id, id) VALUES (1, 2)\n"
            "                     ^");
  EXPECT_EQ(db.query("INSERT INTO c (id, name) VALUES (1)"),
            "error: schema error: INSERT target list has 2 columns but row has 1 values");
  EXPECT_EQ(db.query("INSERT INTO c (id, Name) VALUES (1, 'a')"), "error: schema error: no column `Name`");
  EXPECT_EQ(db.query("INSERT INTO nowhere VALUES (1)"), "error: table not found: nowhere");
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, 'a', 1)"), R"({"mutated":1})");
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1.0, 'b', 1)"),
            "error: schema error: duplicate value for unique column `id`");
  EXPECT_EQ(db.query("INSERT INTO c VALUES (2, 'b', 1), (2.000000, 'c', 1)"),
            "error: schema error: duplicate value for unique column `id`");
  // The checks run in a fixed order: column count, shape, NOT NULL, CHECK, then UNIQUE.
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, NULL, -1)"), "error: schema error: column `name` may not be NULL");
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, 'x', -1)"),
            "error: schema error: CHECK constraint 1 failed on table `c`");
  EXPECT_EQ(db.query("SELECT * FROM c"), R"({"columns":["id","name","qty"],"rows":[[1,"a",1]]})");
}

TEST(InsertConstraints, NullsNeverConflictAndUnknownChecksPass) {
  CDb db = constrained_table();
  EXPECT_EQ(db.query("INSERT INTO c VALUES (NULL, 'a', NULL), (NULL, 'b', 2)"), R"({"mutated":2})");
  EXPECT_EQ(db.query("INSERT INTO c (name) VALUES ('d')"), R"({"mutated":1})");
  EXPECT_EQ(db.query("INSERT INTO c VALUES (DEFAULT, 'e', DEFAULT)"), R"({"mutated":1})");
  EXPECT_EQ(db.query("INSERT INTO c DEFAULT VALUES"), "error: schema error: column `name` may not be NULL");
  EXPECT_EQ(db.query("SELECT * FROM c"),
            R"({"columns":["id","name","qty"],"rows":[[null,"a",null],[null,"b",2],[null,"d",7],[null,"e",7]]})");
}

TEST(InsertAtomicity, AMultiRowInsertWhoseLastRowFailsStoresNothing) {
  CDb db = constrained_table();
  const uint64_t clock = db.clock();
  EXPECT_EQ(db.query("INSERT INTO c VALUES (1, 'a', 1), (2, 'b', 2), (3, NULL, 3)"),
            "error: schema error: column `name` may not be NULL");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM c"), R"({"columns":["count"],"rows":[[0]]})");
  EXPECT_EQ(db.clock(), clock);
}

TEST(InsertAtomicity, AFailedInsertOnAWorkspaceLeavesNothingAfterReopening) {
  qm::test::TempDir dir;
  const std::string path = dir.join("ws");
  {
    CDb db = CDb::workspace(path);
    EXPECT_EQ(db.query("CREATE TABLE c (id UNIQUE, name NOT NULL)"), kDone);
    EXPECT_EQ(db.query("INSERT INTO c VALUES (1, 'kept')"), R"({"mutated":1})");
    EXPECT_EQ(db.query("INSERT INTO c VALUES (2, 'a'), (3, 'b'), (1, 'taken')"),
              "error: schema error: duplicate value for unique column `id`");
    EXPECT_EQ(db.query("INSERT INTO c (id, name) VALUES (4, 'x'), (5, NULL)"),
              "error: schema error: column `name` may not be NULL");
    EXPECT_EQ(db.query("SELECT * FROM c"), R"({"columns":["id","name"],"rows":[[1,"kept"]]})");
  }
  CDb reopened = CDb::workspace(path);
  EXPECT_EQ(reopened.query("SELECT * FROM c"), R"({"columns":["id","name"],"rows":[[1,"kept"]]})");
  EXPECT_EQ(reopened.clock(), 1u);
  EXPECT_EQ(reopened.query("INSERT INTO c VALUES (2, 'a'), (3, 'b')"), R"({"mutated":2})");
  reopened.close();
  CDb again = CDb::workspace(path);
  EXPECT_EQ(again.query("SELECT id FROM c WHERE id > 1"), R"({"columns":["id"],"rows":[[2],[3]]})");
}

TEST(WorkspaceWrites, RetiredVersionsAndNewOnesSurviveAReopen) {
  qm::test::TempDir dir;
  const std::string path = dir.join("ws");
  {
    CDb db = CDb::workspace(path);
    db.query("CREATE TABLE s (k UNIQUE, v)");
    db.query("INSERT INTO s VALUES (1, 'a'), (2, 'b'), (3, 'c')");    // clock 3
    EXPECT_EQ(db.query("UPDATE s SET v = 'B' WHERE k >= 2"), R"({"mutated":2})");  // 4, then 5 and 6
    EXPECT_EQ(db.query("DELETE FROM s WHERE k = 1"), R"({"mutated":1})");          // 7
  }
  CDb db = CDb::workspace(path);
  EXPECT_EQ(db.clock(), 7u);
  EXPECT_EQ(db.query("SELECT * FROM s"), R"({"columns":["k","v"],"rows":[[2,"B"],[3,"B"]]})");
  EXPECT_EQ(db.query("SELECT * FROM s BEFORE 3"), R"({"columns":["k","v"],"rows":[[1,"a"],[2,"b"],[3,"c"]]})");
  EXPECT_EQ(db.query("SELECT v FROM s WHERE k = 2"), R"({"columns":["v"],"rows":[["B"]]})");
  EXPECT_EQ(db.query("INSERT INTO s VALUES (2, 'again')"), "error: schema error: duplicate value for unique column `k`");
  EXPECT_EQ(db.query("INSERT INTO s VALUES (1, 'again')"), R"({"mutated":1})");
}

TEST(ProductionImage, ReadsEveryPathAndRefusesEveryWrite) {
  qm::test::TempDir dir;
  std::string image;
  {
    CDb db = CDb::memory();
    db.query("CREATE TABLE p (k UNIQUE, v)");
    db.query("INSERT INTO p VALUES (1, 'a'), (2, 'b'), (3, 'c')");
    db.query("UPDATE p SET v = 'B' WHERE k = 2");
    size_t len = 0;
    uint8_t* bytes = qm_export(db.get(), &len);
    ASSERT_NE(bytes, nullptr) << qm_last_error();
    image.assign(reinterpret_cast<const char*>(bytes), len);
    qm_bytes_free(bytes, len);
  }
  const std::string path = dir.join("p.qmdb");
  qm::test::write_file(path, image);
  CDb db(qm_open_prod(path.c_str()));
  ASSERT_NE(db.get(), nullptr) << qm_last_error();
  std::filesystem::resize_file(path, 0);  // the open image no longer needs its file
  // The tail page is read through the cache here: an image holds no in-memory copy.
  EXPECT_EQ(db.query("SELECT * FROM p"), R"({"columns":["k","v"],"rows":[[1,"a"],[3,"c"],[2,"B"]]})");
  EXPECT_EQ(db.query("SELECT v FROM p WHERE k = 2"), R"({"columns":["v"],"rows":[["B"]]})");
  EXPECT_EQ(db.query("SELECT k FROM p ORDER BY k DESC LIMIT 2"), R"({"columns":["k"],"rows":[[3],[2]]})");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM p BEFORE 3"), R"({"columns":["count"],"rows":[[3]]})");
  const std::string refused = "error: database is read-only (production mode); mutations are not permitted";
  EXPECT_EQ(db.query("INSERT INTO p VALUES (4, 'd')"), refused);
  EXPECT_EQ(db.query("INSERT INTO p VALUES (4, 'd'), (5, 'e')"), refused);
  EXPECT_EQ(db.query("INSERT INTO p (k) VALUES (4)"), refused);
  EXPECT_EQ(db.query("UPDATE p SET v = 'x' WHERE k = 1"), refused);
  EXPECT_EQ(db.query("DELETE FROM p WHERE k = 1"), refused);
  EXPECT_EQ(db.execute_many("DELETE FROM p WHERE k = ?", "[[1]]"), refused);
  for (const char* sql : {"CREATE TABLE u (a INT)", "DROP TABLE p", "CREATE INDEX ON p (v)", "BEGIN"})
    EXPECT_EQ(db.query(sql), refused) << sql;
  EXPECT_EQ(qm_begin_transaction(db.get()), 0);
  EXPECT_EQ("error: " + std::string(qm_last_error()), refused);
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM p"), R"({"columns":["count"],"rows":[[3]]})");
}

TEST(UpdateUnique, OwnValueIsKeptAndATakenOneRefused) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE u (k UNIQUE, v)");
  db.query("INSERT INTO u VALUES (1, 'a'), (2, 'b'), (NULL, 'c'), (NULL, 'd')");
  EXPECT_EQ(db.query("UPDATE u SET k = 1 WHERE v = 'a'"), R"({"mutated":1})");
  EXPECT_EQ(db.query("UPDATE u SET k = 1.0 WHERE v = 'a'"), R"({"mutated":1})");
  EXPECT_EQ(db.query("UPDATE u SET k = 2 WHERE v = 'a'"), "error: schema error: duplicate value for unique column `k`");
  EXPECT_EQ(db.query("UPDATE u SET k = 7 WHERE v = 'a'"), R"({"mutated":1})");
  // One value for two rows always conflicts, also when one of them already holds it.
  EXPECT_EQ(db.query("UPDATE u SET k = 7 WHERE k >= 2"), "error: schema error: duplicate value for unique column `k`");
  EXPECT_EQ(db.query("UPDATE u SET k = NULL WHERE k >= 2"), R"({"mutated":2})");
  EXPECT_EQ(db.query("SELECT * FROM u ORDER BY v"),
            R"({"columns":["k","v"],"rows":[[null,"a"],[null,"b"],[null,"c"],[null,"d"]]})");
}

TEST(InsertDefaults, DefaultValuesFillsEveryColumn) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE d (a DEFAULT 7, b, c DEFAULT 'x')");
  EXPECT_EQ(db.query("INSERT INTO d DEFAULT VALUES"), R"({"mutated":1})");
  EXPECT_EQ(db.query("INSERT INTO d (b) VALUES (1), (DEFAULT)"), R"({"mutated":2})");
  EXPECT_EQ(db.query("SELECT * FROM d"), R"({"columns":["a","b","c"],"rows":[[7,null,"x"],[7,1,"x"],[7,null,"x"]]})");
}

TEST(UpdateConstraints, NotNullCheckAndUnknownColumn) {
  CDb db = constrained_table();
  db.query("INSERT INTO c VALUES (1, 'a', 1)");
  EXPECT_EQ(db.query("UPDATE c SET name = NULL WHERE id = 99"), R"({"mutated":0})");
  EXPECT_EQ(db.query("UPDATE c SET name = NULL WHERE id = 1"), "error: schema error: column `name` may not be NULL");
  EXPECT_EQ(db.query("UPDATE c SET qty = -5 WHERE id = 1"),
            "error: schema error: CHECK constraint 1 failed on table `c`");
  EXPECT_EQ(db.query("UPDATE c SET nope = 1 WHERE id = 1"), "error: schema error: no column `nope`");
  EXPECT_EQ(db.query("UPDATE c SET qty = DEFAULT WHERE id = 1"), R"({"mutated":1})");
  EXPECT_EQ(db.query("UPDATE c SET id = DEFAULT WHERE id = 1"), R"({"mutated":1})");
  EXPECT_EQ(db.query("SELECT * FROM c"), R"({"columns":["id","name","qty"],"rows":[[null,"a",7]]})");
}

TEST(Clock, EachStatementKindAdvancesItByItsRule) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE k (a)");
  EXPECT_EQ(db.clock(), 0u);
  db.query("INSERT INTO k VALUES (1), (2), (3)");
  EXPECT_EQ(db.clock(), 3u);  // one per stored row
  db.query("SELECT * FROM k");
  EXPECT_EQ(db.clock(), 3u);
  db.query("UPDATE k SET a = 0 WHERE a = 99");
  EXPECT_EQ(db.clock(), 3u);  // matched nothing: no clock value taken
  db.query("UPDATE k SET a = 0 WHERE a >= 2");
  EXPECT_EQ(db.clock(), 6u);  // one for the statement, one per new version
  db.query("DELETE FROM k WHERE a = 99");
  EXPECT_EQ(db.clock(), 7u);  // DELETE takes one even when nothing matched
  db.query("DELETE FROM k WHERE a = 0");
  EXPECT_EQ(db.clock(), 8u);
  EXPECT_EQ(db.query("INSERT INTO k VALUES (NULL)"), R"({"mutated":1})");
  EXPECT_EQ(db.clock(), 9u);
  EXPECT_EQ(db.query("INSERT INTO k VALUES (1, 2)"), "error: schema error: table `k` expects 1 columns, got 2");
  EXPECT_EQ(db.clock(), 9u);
  db.query("CREATE INDEX ON k (a)");
  EXPECT_EQ(db.clock(), 9u);
}

TEST(RecordSize, TheLimitHoldsAtItsBoundary) {
  CDb db = CDb::memory();
  // 26 bytes of envelope and count, then per 16-byte text 19 bytes: 26 + 19 * n, plus an Int.
  std::string cols = "c0";
  for (int i = 1; i < 213; ++i) cols += ", c" + std::to_string(i);
  EXPECT_EQ(db.query("CREATE TABLE big (" + cols + ")"), kDone);
  auto row_of = [](int texts, const std::string& tail) {
    std::string values;
    for (int i = 0; i < texts; ++i) values += "'0123456789abcdef', ";
    return "INSERT INTO big VALUES (" + values + tail + ")";
  };
  // 212 texts of 16 bytes: 26 + 212 * 19 = 4054; a last Int (9) makes 4063, a Decimal (17) 4071.
  EXPECT_EQ(db.query(row_of(212, "1")), R"({"mutated":1})");
  EXPECT_EQ(db.query(row_of(212, "1.5")), "error: schema error: record of 4071 bytes exceeds page capacity (4064)");
  // A 7-byte text (3 + 7) makes exactly 4064; 8 bytes is one over.
  EXPECT_EQ(db.query(row_of(212, "'abcdefg'")), R"({"mutated":1})");
  EXPECT_EQ(db.query(row_of(212, "'abcdefgh'")),
            "error: schema error: record of 4065 bytes exceeds page capacity (4064)");
  // A longer text goes to the blob store and costs 9 bytes.
  EXPECT_EQ(db.query(row_of(212, "'a text longer than sixteen bytes'")), R"({"mutated":1})");
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM big"), R"({"columns":["count"],"rows":[[3]]})");
  EXPECT_EQ(db.query("SELECT c212 FROM big"),
            R"({"columns":["c212"],"rows":[[1],["abcdefg"],["a text longer than sixteen bytes"]]})");
}

TEST(CreateIndex, UniqueIndexRefusesNumericTwinsAndThenEnforcesUniqueness) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE i (a)");
  db.query("INSERT INTO i VALUES (NULL), (NULL), (1), (2)");
  EXPECT_EQ(db.query("CREATE UNIQUE INDEX ON i (a)"), kDone);
  EXPECT_EQ(db.query("INSERT INTO i VALUES (2.0)"), "error: schema error: duplicate value for unique column `a`");
  db.query("CREATE TABLE j (a)");
  db.query("INSERT INTO j VALUES (1), (1.0)");
  EXPECT_EQ(db.query("CREATE UNIQUE INDEX ON j (a)"),
            "error: schema error: cannot create unique index: duplicate value in `a`");
  EXPECT_EQ(db.query("CREATE UNIQUE INDEX ON j (b)"), "error: schema error: no column `b`");
  EXPECT_EQ(db.query("INSERT INTO j VALUES (1)"), R"({"mutated":1})");
}

TEST(Transactions, AFailingMultiRowStatementRollsTheExplicitTransactionBack) {
  CDb db = CDb::memory();
  db.query("CREATE TABLE t (a UNIQUE)");
  EXPECT_EQ(db.query("BEGIN"), kDone);
  EXPECT_EQ(db.query("INSERT INTO t VALUES (1)"), R"({"mutated":1})");
  // A refusal before any write leaves the transaction as it was.
  EXPECT_EQ(db.query("INSERT INTO t VALUES (1)"), "error: schema error: duplicate value for unique column `a`");
  EXPECT_TRUE(qm_in_transaction(db.get()));
  EXPECT_EQ(db.query("COMMIT"), kDone);
  EXPECT_EQ(db.query("SELECT * FROM t"), R"({"columns":["a"],"rows":[[1]]})");
}

}  // namespace
