// Transactions in each storage mode, through the C calls and the internal wrappers: misuse
// texts, what commit and rollback leave behind, the workspace lock between handles and
// processes, and handles that must not write over each other's commits.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "db/atomicity/transaction.h"
#include "db/database.h"
#include "support/db_test_util.h"
#include "ffi/db_handle.h"
#include "quilmarr.h"
#include "support/c_api.h"
#include "support/copy_tree_layout.h"
#include "support/temp_dir.h"
#include "db/write_path.h"
#include "db/ddl.h"
#include "support/database_test_access.h"

namespace qm::db {
namespace {

using namespace qm::test;

using namespace test;
namespace stdfs = std::filesystem;

void insert(QmDb* db, int64_t v) {
  ASSERT_TRUE(insert_validated_base(db->db, "t", row({Value::integer(v)})));
}

std::vector<Row> ints(std::initializer_list<int64_t> values) {
  std::vector<Row> out;
  for (auto v : values) out.push_back(row({Value::integer(v)}));
  return out;
}

TEST(TransactionCalls, NullHandlesAndMisuseGiveTheirTexts) {
  EXPECT_EQ(outcome(qm_begin_transaction(nullptr)), "error: qm_begin_transaction: db handle is NULL");
  EXPECT_EQ(outcome(qm_commit_transaction(nullptr)), "error: qm_commit_transaction: db handle is NULL");
  EXPECT_EQ(outcome(qm_rollback_transaction(nullptr)), "error: qm_rollback_transaction: db handle is NULL");
  EXPECT_EQ(outcome(qm_in_transaction(nullptr)), "error: qm_in_transaction: db handle is NULL");
  EXPECT_EQ(outcome(qm_current_tx(nullptr)), "error: qm_current_tx: db handle is NULL");
  // Misuse on a live handle is stated by the golden transaction script.
}

TEST(TransactionCalls, MemoryRollbackThatCannotRebuildReportsAnUnknownOutcome) {
  Database db = Database::open_memory();
  TransactionHost::use_full_image_transactions(db, true);
  ASSERT_TRUE(create_table(db, "t", {"a"}, {}, {}).has_value());
  ASSERT_TRUE(db.begin_transaction().has_value());
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(1)})).has_value());
  qm::db::memory_snapshot_image(qm::db::DatabaseTestAccess::transaction_state(db))->resize(10);  // the image taken at begin no longer imports
  EXPECT_EQ(error_text(db.rollback_transaction()),
            "transaction outcome is unknown: transaction rollback failed after consuming its recovery state (buffer "
            "too small: needed 24 bytes, got 10)");
  EXPECT_FALSE(db.in_transaction());
}

class WorkspaceTx : public ::testing::Test {
 protected:
  void SetUp() override {
    ws_ = tmp_.join("ws");
    QmDb* db = open();
    ASSERT_TRUE(create_table(db->db, "t", {"a"}, {}, {}).has_value());
    insert(db, 1);
    qm_close(db);
  }
  QmDb* open() {
    QmDb* db = qm_open_dev(ws_.c_str());
    EXPECT_NE(db, nullptr) << last_error();
    return db;
  }
  // A handle that began a transaction, wrote and flushed `v`, then died without ending it.
  void leave_dead_transaction(int64_t v) {
    Database dead = test::open_ok(ws_);
    ASSERT_TRUE(dead.begin_transaction().has_value());
    ASSERT_TRUE(insert_validated_base(dead, "t", row({Value::integer(v)})).has_value());
    ASSERT_TRUE(dead.flush().has_value());
    qm::db::TransactionHost::abandon(dead);
  }
  bool exists(const std::string& name) const { return stdfs::exists(stdfs::symlink_status(ws_ + "/" + name)); }
  bool undo_left() const {
    const std::string undo = ws_ + "/.qm_statement_undo";
    return stdfs::exists(undo) && stdfs::file_size(undo) != 0;
  }
  bool recovery_files_left() const {
    return exists(".qm_transaction_active") || exists(".qm_transaction_backup") || undo_left();
  }
  // The rows of t as a new handle reads them.
  std::vector<Row> rows_on_reopen() {
    QmDb* db = open();
    auto rows = stored_rows(db->db, "t");
    qm_close(db);
    return rows;
  }

  qm::test::TempDir tmp_;
  std::string ws_;
};

TEST_F(WorkspaceTx, CommitCopiesNothingLeavesNoUndoAndTheRowsStay) {
  QmDb* db = open();
  const std::string manifest = qm::test::read_file(ws_ + "/qm_manifest.json");
  ASSERT_EQ(qm_begin_transaction(db), 1) << last_error();
  EXPECT_FALSE(recovery_files_left());
  EXPECT_FALSE(db->db.autoflush());
  insert(db, 2);
  // A flush inside the transaction writes its pages (their old bytes kept first), never the
  // manifest, which stays the commit point.
  ASSERT_TRUE(db->db.flush().has_value());
  EXPECT_TRUE(undo_left());
  EXPECT_EQ(qm::test::read_file(ws_ + "/qm_manifest.json"), manifest);
  ASSERT_EQ(qm_commit_transaction(db), 1) << last_error();
  EXPECT_FALSE(recovery_files_left());
  EXPECT_TRUE(db->db.autoflush());
  EXPECT_TRUE(qm::db::DatabaseTestAccess::last_write_atomic(db->db));
  EXPECT_EQ(qm_current_tx(db), 2u);
  qm_close(db);
  EXPECT_EQ(rows_on_reopen(), ints({1, 2}));
}

TEST_F(WorkspaceTx, RollbackReReadsTheWorkspaceAsItWasAtBegin) {
  QmDb* db = open();
  ASSERT_EQ(qm_begin_transaction(db), 1);
  insert(db, 2);
  ASSERT_TRUE(create_table(db->db, "made_in_tx", {"x"}, {}, {}).has_value());
  ASSERT_TRUE(db->db.flush().has_value());  // even flushed changes are undone
  ASSERT_EQ(qm_rollback_transaction(db), 1) << last_error();
  EXPECT_FALSE(qm_in_transaction(db));
  EXPECT_FALSE(db->db.catalog().tables().contains("made_in_tx"));
  EXPECT_EQ(stored_rows(db->db, "t"), ints({1}));
  EXPECT_EQ(qm_current_tx(db), 1u);
  EXPECT_TRUE(db->db.autoflush());
  EXPECT_FALSE(recovery_files_left());
  insert(db, 3);  // the reopened handle writes normally
  qm_close(db);
  EXPECT_EQ(rows_on_reopen(), ints({1, 3}));
}

TEST_F(WorkspaceTx, CloseWithAnOpenTransactionRollsItBack) {
  QmDb* db = open();
  ASSERT_EQ(qm_begin_transaction(db), 1);
  insert(db, 2);
  ASSERT_TRUE(db->db.flush().has_value());
  qm_close(db);
  EXPECT_FALSE(recovery_files_left());
  EXPECT_EQ(rows_on_reopen(), ints({1}));
}

TEST_F(WorkspaceTx, InterruptedTransactionIsUndoneAtTheNextOpen) {
  leave_dead_transaction(2);
  ASSERT_TRUE(undo_left());
  EXPECT_EQ(rows_on_reopen(), ints({1}));
  EXPECT_FALSE(recovery_files_left());
}

// What an earlier version left when it died inside a transaction: the marker and a backup
// of the workspace files. The next open puts the backup back.
TEST_F(WorkspaceTx, AnEarlierVersionsMarkerAndBackupAreRestoredAtOpen) {
  ASSERT_TRUE(prepare_workspace_transaction(ws_).has_value());
  qm::test::write_file(ws_ + "/qm_manifest.json", "not the committed manifest");
  qm::test::write_file(ws_ + "/.qm_transaction_active.tmp", "junk");
  EXPECT_EQ(rows_on_reopen(), ints({1}));
  EXPECT_FALSE(recovery_files_left());
  EXPECT_FALSE(exists(".qm_transaction_active.tmp"));
}

TEST_F(WorkspaceTx, BeginUndoesATransactionThatDiedInAnotherHandle) {
  QmDb* survivor = open();
  leave_dead_transaction(66);
  ASSERT_EQ(qm_begin_transaction(survivor), 1) << last_error();
  EXPECT_EQ(stored_rows(survivor->db, "t"), ints({1}));
  insert(survivor, 2);
  ASSERT_EQ(qm_commit_transaction(survivor), 1);
  qm_close(survivor);
  EXPECT_EQ(rows_on_reopen(), ints({1, 2}));
}

TEST_F(WorkspaceTx, MarkerWithoutABackupManifestIsRefusedAndNothingIsTouched) {
  qm::test::write_file(ws_ + "/.qm_transaction_active", "QMTX1\n");
  stdfs::create_directory(ws_ + "/.qm_transaction_backup");
  const std::string manifest = qm::test::read_file(ws_ + "/qm_manifest.json");
  EXPECT_EQ(outcome(qm_open_dev(ws_.c_str())),
            "error: transaction error: active transaction has no valid recovery manifest");
  EXPECT_EQ(qm::test::read_file(ws_ + "/qm_manifest.json"), manifest);
  EXPECT_TRUE(exists(".qm_transaction_active"));
}

TEST_F(WorkspaceTx, SecondHandleIsRefusedWhileATransactionIsOpenAndSucceedsAfter) {
  QmDb* a = open();
  QmDb* b = open();
  ASSERT_EQ(qm_begin_transaction(a), 1);
  const std::string busy = "transaction error: workspace transaction is active in another handle or process: ";
  EXPECT_EQ(outcome(qm_begin_transaction(b)).rfind("error: " + busy, 0), 0u) << last_error();
  EXPECT_GT(last_error().size(), busy.size());
  // A write outside a transaction waits for nobody either.
  EXPECT_EQ(error_text(insert_validated_base(b->db, "t", row({Value::integer(9)}))).rfind(busy, 0), 0u);
  EXPECT_EQ(qm_open_dev(ws_.c_str()), nullptr);  // the open's repair needs the lock too
  insert(a, 2);
  ASSERT_EQ(qm_commit_transaction(a), 1);
  // b began from the state before a's commit; its begin re-reads the workspace.
  ASSERT_EQ(qm_begin_transaction(b), 1) << last_error();
  EXPECT_EQ(stored_rows(b->db, "t"), ints({1, 2}));
  insert(b, 3);
  ASSERT_EQ(qm_commit_transaction(b), 1);
  qm_close(a);
  qm_close(b);
  EXPECT_EQ(rows_on_reopen(), ints({1, 2, 3}));
}

TEST_F(WorkspaceTx, StaleHandleNeverWritesOverAnotherHandlesCommit) {
  QmDb* a = open();
  QmDb* b = open();
  insert(a, 2);  // committed by a's flush
  EXPECT_EQ(error_text(insert_validated_base(b->db, "t", row({Value::integer(3)}))),
            "transaction error: the workspace was changed by another handle or process; reopen the database to see "
            "its changes");
  EXPECT_EQ(stored_rows(b->db, "t"), ints({1}));  // b changed nothing
  // An export re-reads the workspace under the lock first: it holds what a committed.
  ASSERT_TRUE(qm::test::export_image(b)) << last_error();
  EXPECT_EQ(stored_rows(b->db, "t"), ints({1, 2}));
  qm_close(b);
  qm_close(a);
  EXPECT_EQ(rows_on_reopen(), ints({1, 2}));
}

TEST_F(WorkspaceTx, TransactionLockExcludesAnotherProcess) {
  int ready[2], go[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(go), 0);
  QmDb* db = open();  // opening needs the lock for its repair, so open before the child begins
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Should the parent stop early, its end of `go` closes and the child gives up.
    QmDb* child = qm_open_dev(ws_.c_str());
    char c = qm_begin_transaction(child) == 1 ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(go[0], &c, 1);
    _exit(c == 'g' && qm_commit_transaction(child) == 1 ? 0 : 1);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(qm_open_dev(ws_.c_str()), nullptr);
  EXPECT_EQ(outcome(qm_begin_transaction(db)).rfind(
                "error: transaction error: workspace transaction is active in another handle or process: ", 0),
            0u);
  c = 'g';
  ASSERT_EQ(write(go[1], &c, 1), 1);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(qm_begin_transaction(db), 1) << last_error();
  EXPECT_EQ(qm_commit_transaction(db), 1);
  qm_close(db);
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
}

TEST(TransactionWrappers, FailuresRollBackAndCallbacksMayNotEndTheTransaction) {
  Database db = Database::open_memory();
  ASSERT_TRUE(create_table(db, "t", {"a"}, {}, {}).has_value());
  auto failing = db.transaction([](Database& d) -> Result<int> {
    EXPECT_TRUE(insert_validated_base(d, "t", row({Value::integer(1)})).has_value());
    return fail(QmError::schema("boom"));
  });
  EXPECT_EQ(error_text(failing), "schema error: boom");
  EXPECT_FALSE(db.in_transaction());
  EXPECT_TRUE(stored_rows(db, "t").empty());
  auto ended = db.transaction([](Database& d) -> Result<int> {
    EXPECT_TRUE(d.commit_transaction().has_value());
    return 5;
  });
  EXPECT_EQ(error_text(ended), "transaction error: transaction callback changed the transaction state");
  auto ok = db.transaction([](Database& d) -> Result<int> {
    QM_TRY(insert_validated_base(d, "t", row({Value::integer(2)})));
    return 7;
  });
  EXPECT_EQ(*ok, 7);
  // Inside an explicit transaction, a failing atomic statement undoes the whole transaction.
  ASSERT_TRUE(db.begin_transaction().has_value());
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(3)})).has_value());
  auto statement = db.atomic_mutation([](Database& d) -> Result<void> {
    QM_TRY(insert_validated_base(d, "t", row({Value::integer(4)})));
    return fail(QmError::schema("second row refused"));
  });
  EXPECT_EQ(error_text(statement), "schema error: second row refused");
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(stored_rows(db, "t"), ints({2}));
  // Outside one, it is a transaction of its own.
  auto alone = db.atomic_mutation([](Database& d) -> Result<void> {
    QM_TRY(insert_validated_base(d, "t", row({Value::integer(5)})));
    return {};
  });
  EXPECT_TRUE(alone.has_value());
  EXPECT_EQ(stored_rows(db, "t"), ints({2, 5}));
}

}  // namespace
}  // namespace qm::db
