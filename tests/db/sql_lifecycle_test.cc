// The lifecycle seen through SQL and the C interface: a production image answers queries
// and refuses every mutation, also after the file it came from is cut short; transactions
// and reopening keep what SQL wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "quilmarr.h"
#include "support/c_api.h"
#include "support/temp_dir.h"

namespace {

using qm::test::CDb;

std::string export_to(const CDb& db, const std::string& path) {
  size_t len = 0;
  uint8_t* bytes = qm_export(db.get(), &len);
  if (bytes == nullptr) return qm_last_error();
  qm::test::write_file(path, std::string(reinterpret_cast<char*>(bytes), len));
  qm_bytes_free(bytes, len);
  return "ok";
}

TEST(SqlLifecycle, ProductionImageRefusesEveryMutationAndOutlivesItsFile) {
  qm::test::TempDir tmp;
  CDb mem = CDb::memory();
  ASSERT_EQ(mem.query("CREATE TABLE t (id INT PRIMARY KEY, name TEXT)"), R"({"done":true})");
  ASSERT_EQ(mem.query("INSERT INTO t VALUES (1, 'ann'), (2, 'bob')"), R"({"mutated":2})");
  ASSERT_EQ(export_to(mem, tmp.join("t.qmdb")), "ok");
  CDb prod(qm_open_prod(tmp.join("t.qmdb").c_str()));
  ASSERT_NE(prod.get(), nullptr) << qm_last_error();
  std::filesystem::resize_file(tmp.join("t.qmdb"), 0);
  const std::string refused = "error: database is read-only (production mode); mutations are not permitted";
  for (const char* sql : {"INSERT INTO t VALUES (3, 'cy')", "UPDATE t SET name = 'x' WHERE id = 1",
                          "DELETE FROM t WHERE id = 1", "CREATE TABLE u (a INT)", "DROP TABLE t",
                          "CREATE INDEX ON t (name)", "BEGIN"})
    EXPECT_EQ(prod.query(sql), refused) << sql;
  EXPECT_EQ(prod.query("SELECT id, name FROM t ORDER BY id"),
            R"({"columns":["id","name"],"rows":[[1,"ann"],[2,"bob"]]})");
  EXPECT_EQ(qm_begin_transaction(prod.get()), 0);
}

TEST(SqlLifecycle, WorkspaceKeepsCommittedSqlAndDropsRolledBackSql) {
  qm::test::TempDir tmp;
  const std::string ws = tmp.join("ws");
  {
    CDb db = CDb::workspace(ws);
    ASSERT_EQ(db.query("CREATE TABLE t (id INT PRIMARY KEY, v TEXT)"), R"({"done":true})");
    ASSERT_EQ(db.query("INSERT INTO t VALUES (1, 'one')"), R"({"mutated":1})");
    ASSERT_EQ(qm_begin_transaction(db.get()), 1);
    ASSERT_EQ(db.query("INSERT INTO t VALUES (2, 'two')"), R"({"mutated":1})");
    ASSERT_EQ(qm_commit_transaction(db.get()), 1);
    ASSERT_EQ(qm_begin_transaction(db.get()), 1);
    ASSERT_EQ(db.query("INSERT INTO t VALUES (3, 'three')"), R"({"mutated":1})");
    ASSERT_EQ(qm_rollback_transaction(db.get()), 1) << qm_last_error();
    EXPECT_EQ(db.query("SELECT id FROM t ORDER BY id"), R"({"columns":["id"],"rows":[[1],[2]]})");
  }
  CDb again = CDb::workspace(ws);
  EXPECT_EQ(again.query("SELECT id, v FROM t ORDER BY id"), R"({"columns":["id","v"],"rows":[[1,"one"],[2,"two"]]})");
  EXPECT_EQ(again.query("INSERT INTO t VALUES (2, 'dup')"), "error: schema error: duplicate value for unique column `id`");
  EXPECT_EQ(again.clock(), 2u);
}

}  // namespace
