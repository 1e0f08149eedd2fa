// Several handles and processes on one workspace: a handle never answers with, or writes
// back, another handle's unfinished work; a dead process's transaction is undone before any
// write lands on top of it; a rollback keeps each file's permission bits.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ffi/db_handle.h"
#include "support/c_api.h"
#include "support/temp_dir.h"

namespace qm::test {
namespace {

using MultiHandleDir = qm::test::InTempDir;

const std::string kBusy = "error: transaction error: workspace transaction is active in another handle or process: ";

std::string count(const CDb& db, const std::string& where = "") {
  return db.query("SELECT COUNT(*) FROM t" + (where.empty() ? "" : " WHERE " + where));
}
std::string rows(int n) { return R"({"columns":["count"],"rows":[[)" + std::to_string(n) + "]]}"; }

// Rows 0..n-1 in table t(id, v); 400 rows fill several pages.
void fill(const CDb& db, int n = 30) {
  ASSERT_EQ(db.query("CREATE TABLE t (id INT, v INT)"), R"({"done":true})");
  std::string values;
  for (int i = 0; i < n; ++i) values += (i ? ",(" : "(") + std::to_string(i) + ",0)";
  ASSERT_EQ(db.query("INSERT INTO t VALUES " + values), R"({"mutated":)" + std::to_string(n) + "}");
}

// B's uncommitted deletion marks on the first page (not the tail) reach the chunk file (its
// export flushes them). A, which has not read that page yet, must neither read them nor,
// after B's rollback, write them back with a change of its own to the same page.
TEST_F(MultiHandleDir, AnotherHandlesRolledBackMarksNeverBecomeDurable) {
  fill(CDb::workspace(ws), 400);
  {
    CDb a = CDb::workspace(ws);
    CDb b = CDb::workspace(ws);
    ASSERT_EQ(b.query("BEGIN"), R"({"done":true})");
    ASSERT_EQ(b.query("UPDATE t SET v = 1 WHERE id < 10"), R"({"mutated":10})");
    ASSERT_TRUE(export_image(b.get())) << last_error();
    EXPECT_EQ(count(a, "id < 10").rfind(kBusy, 0), 0u) << count(a, "id < 10");
    ASSERT_EQ(b.query("ROLLBACK"), R"({"done":true})");
    EXPECT_EQ(count(a, "id < 10 AND v = 0"), rows(10));
    EXPECT_EQ(a.query("DELETE FROM t WHERE id = 25"), R"({"mutated":1})");
  }
  CDb reopened = CDb::workspace(ws);
  EXPECT_EQ(count(reopened), rows(399));
  EXPECT_EQ(count(reopened, "id < 10 AND v = 0"), rows(10));
}

// Another process dies inside a transaction after its pages reached the files. Whether A's
// first statement after that is a read or a write, it finds the undo file, undoes the dead
// transaction first, and answers the committed state; A's write is not undone later.
TEST(MultiHandle, WriteAfterAnotherProcessDiedMidTransactionIsKept) {
  for (const bool read_first : {true, false}) {
    SCOPED_TRACE(read_first ? "read first" : "write first");
    TempDir tmp;
    const std::string ws = tmp.join("ws");
    CDb a = CDb::workspace(ws);
    fill(a);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      QmDb* b = qm_open_dev(ws.c_str());
      bool ok = b && qm_begin_transaction(b) == 1;
      ok = ok && take_json(qm_query(b, "DELETE FROM t WHERE id < 5")) == R"({"mutated":5})";
      ok = ok && take_json(qm_query(b, "INSERT INTO t VALUES (100, 0), (101, 0)")) == R"({"mutated":2})";
      ok = ok && b->db.flush().has_value();  // the transaction's pages reach the chunk files
      if (ok) kill(getpid(), SIGKILL);
      _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child failed before its transaction";
    ASSERT_FALSE(read_file(ws + "/.qm_statement_undo").empty());
    if (read_first) {
      EXPECT_EQ(count(a), rows(30));
    }
    EXPECT_EQ(a.query("INSERT INTO t VALUES (200, 0)"), R"({"mutated":1})");
    a.close();
    CDb reopened = CDb::workspace(ws);
    EXPECT_EQ(count(reopened), rows(31));
    EXPECT_EQ(count(reopened, "id = 200"), rows(1));
    EXPECT_EQ(count(reopened, "id >= 100 AND id < 200"), rows(0));
  }
}

TEST_F(MultiHandleDir, RollbackKeepsPermissionBits) {
  CDb db = CDb::workspace(ws);
  fill(db);
  const std::string chunk = ws + "/chunks/chunk_00000.qmd";
  ASSERT_EQ(chmod(chunk.c_str(), 0600), 0);
  ASSERT_EQ(db.query("BEGIN"), R"({"done":true})");
  ASSERT_EQ(db.query("DELETE FROM t WHERE id < 3"), R"({"mutated":3})");
  ASSERT_EQ(db.query("ROLLBACK"), R"({"done":true})");
  struct stat st {};
  ASSERT_EQ(stat(chunk.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(count(db), rows(30));
}

}  // namespace
}  // namespace qm::test
