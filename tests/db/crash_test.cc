// Crash safety of workspace transactions: a process killed at random points while it
// commits, and a failure (then a power loss) injected at every durable step of a commit.
// After either, the workspace opens with every acknowledged commit and at most the one in
// flight, and no recovery file is left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "db/atomicity/copy_tree_files.h"
#include "db/database.h"
#include "support/db_test_util.h"
#include "support/crash_harness.h"
#include "support/temp_dir.h"
#include "query/statements/statements.h"
#include "db/write_path.h"
#include "db/ddl.h"

namespace qm::db {
namespace {

using CrashSafetyDir = qm::test::InTempDir;
using CrashSafetyFs = qm::test::OnFaultyFs;
using namespace test;

// The child: BEGIN, INSERT, COMMIT in a loop from `next`, acknowledging each commit.
[[noreturn]] void commit_forever(const std::string& ws, int64_t next, int ack_fd) {
  auto db = Database::open_workspace(ws);
  if (!db) _exit(2);
  for (int64_t v = next;; ++v) {
    if (!db->begin_transaction()) _exit(3);
    if (!insert_validated_base(*db, "t", row({Value::integer(v)}))) _exit(4);
    if (!db->commit_transaction()) _exit(5);
    if (write(ack_fd, &v, sizeof v) != sizeof v) _exit(6);
  }
}

TEST_F(CrashSafetyDir, KilledWhileCommittingLosesNoAcknowledgedRow) {
  {
    Database db = test::open_ok(ws);
    ASSERT_TRUE(db.transaction([](Database& d) { return create_table(d, "t", {"v"}, {}, {}); }));
  }
  std::mt19937 rng(12345);
  std::set<int64_t> acknowledged;
  std::set<int64_t> in_flight;  // committed but killed before the acknowledgement
  int64_t next = 0;
  for (int round = 0; round < 100 && !HasFailure(); ++round) {
    const auto acks = qm::test::run_then_kill([&](int fd) { commit_forever(ws, next, fd); },
                                              std::uniform_int_distribution<useconds_t>(0, 100000)(rng));
    acknowledged.insert(acks.begin(), acks.end());
    Database db = test::open_ok(ws);
    const std::set<int64_t> stored = values_of(db);
    for (int64_t a : acknowledged) ASSERT_TRUE(stored.contains(a)) << "round " << round << " lost " << a;
    // At most the commit in flight when the child died may be there unacknowledged.
    size_t unacknowledged = 0;
    for (int64_t s : stored) {
      if (acknowledged.contains(s) || in_flight.contains(s)) continue;
      ++unacknowledged;
      in_flight.insert(s);
    }
    ASSERT_LE(unacknowledged, 1u) << "round " << round;
    ASSERT_EQ(stored.size(), acknowledged.size() + in_flight.size()) << "a row vanished";
    for (const char* leftover : {kTxMarker, kTxMarkerTmp, kTxBackup})
      ASSERT_FALSE(std::filesystem::exists(ws + "/" + leftover)) << leftover;
    ASSERT_FALSE(std::filesystem::exists(ws + "/.qm_statement_undo") &&
                 std::filesystem::file_size(ws + "/.qm_statement_undo") != 0);
    next = stored.empty() ? 0 : *stored.rbegin() + 1;
  }
  EXPECT_GT(acknowledged.size(), 0u);
}

using Op = qm::test::FaultyFs::Op;

// Commits row 2 over a durable row 1 with the n-th call of `op` failing, then loses power;
// checks what the next open sees.
qm::test::FaultOutcome commit_with_fault(Op op, uint64_t n) {
  qm::test::FaultyFs faulty;
  fs::ScopedFileSystem scoped(faulty);
  faulty.make_dirs("/ws");
  EXPECT_TRUE(test::open_ok("/ws").transaction([](Database& d) -> Result<void> {
    QM_TRY(create_table(d, "t", {"v"}, {}, {}));
    QM_TRY(insert_validated_base(d, "t", row({Value::integer(1)})));
    return {};
  }));
  qm::test::FaultOutcome out;
  {
    Database db = test::open_ok("/ws");
    EXPECT_TRUE(db.begin_transaction().has_value());
    EXPECT_TRUE(insert_validated_base(db, "t", row({Value::integer(2)})).has_value());
    out = qm::test::fail_nth_during(faulty, op, n, [&] { return db.commit_transaction(); });
  }
  faulty.clear_faults();
  faulty.power_loss();
  Database reopened = test::open_ok("/ws");
  const std::set<int64_t> stored = values_of(reopened);
  if (!out.failed) {
    EXPECT_EQ(stored, (std::set<int64_t>{1, 2})) << "a reported commit must survive";
  } else {
    EXPECT_TRUE(stored == std::set<int64_t>{1} || stored == (std::set<int64_t>{1, 2}));
  }
  for (const char* leftover : {kTxMarker, kTxBackup}) EXPECT_FALSE(faulty.exists(std::string("/ws/") + leftover));
  EXPECT_EQ(faulty.contents("/ws/.qm_statement_undo").value_or(""), "");
  return out;
}

TEST(CrashSafety, AFailureAtEveryDurableStepOfCommitLeavesOldOrNewState) {
  qm::test::sweep_faults({Op::Sync, Op::SyncDir, Op::Rename, Op::Write, Op::Open}, 64, true, commit_with_fault);
}

// A transaction that changes a committed page, in steady state: the undo file before the page
// (one wait), the chunk file with the new manifest before its rename (one), the directory
// naming it (one).
TEST_F(CrashSafetyFs, ATransactionCommitWaitsOnStableStorageThreeTimes) {
  Database db = test::open_ok("/ws");
  ASSERT_TRUE(create_table(db, "t", {"v"}, {}, {}).has_value());
  for (int64_t v : {1, 2}) {  // the first transaction also flushes the files the open found
    ASSERT_TRUE(db.begin_transaction().has_value());
    ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(v)})).has_value());
    ASSERT_TRUE(db.commit_transaction().has_value());
  }
  const uint64_t flushes = disk.calls(Op::Sync) + disk.calls(Op::SyncDir), waits = disk.waits();
  ASSERT_TRUE(db.begin_transaction().has_value());
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(3)})).has_value());
  ASSERT_TRUE(db.commit_transaction().has_value());
  EXPECT_EQ(disk.calls(Op::Sync) + disk.calls(Op::SyncDir) - flushes, 4u);
  EXPECT_EQ(disk.waits() - waits, 3u);
  EXPECT_EQ(values_of(test::open_ok("/ws")), (std::set<int64_t>{1, 2, 3}));
}

TEST_F(CrashSafetyFs, FailedFlushOutsideATransactionIsUndoneAndTheHandleReadsTheDisk) {
  Database db = test::open_ok("/ws");
  ASSERT_TRUE(create_table(db, "t", {"v"}, {}, {}).has_value());
  disk.fail_nth(Op::Write, 1);
  EXPECT_EQ(insert_validated_base(db, "t", row({Value::integer(1)})).error().kind, ErrorKind::Io);
  EXPECT_EQ(values_of(db), std::set<int64_t>{});
  EXPECT_TRUE(insert_validated_base(db, "t", row({Value::integer(2)})).has_value());
  EXPECT_EQ(values_of(test::open_ok("/ws")), std::set<int64_t>{2});
}

TEST_F(CrashSafetyFs, AStatementThatCannotBeUndoneStopsReadsAndWritesUntilTheNextOpenUndoesIt) {
  Database db = test::open_ok("/ws");
  ASSERT_TRUE(create_table(db, "t", {"v"}, {}, {}).has_value());
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(1)})).has_value());
  disk.fail_from(Op::Rename, 1);  // the manifest cannot be replaced, nor re-read after the undo
  disk.fail_from(Op::Open, 6);
  ASSERT_FALSE(insert_validated_base(db, "t", row({Value::integer(2)})).has_value());
  disk.clear_faults();
  const std::string refused = error_text(query_with(db, "SELECT v FROM t", {}));
  EXPECT_EQ(refused.rfind("transaction error: a failed write of this handle could not be undone (", 0), 0u) << refused;
  EXPECT_NE(error_text(insert_validated_base(db, "t", row({Value::integer(3)}))), "(ok)");
  EXPECT_EQ(values_of(test::open_ok("/ws")), std::set<int64_t>{1});
  EXPECT_EQ(disk.contents("/ws/.qm_statement_undo").value_or(""), "");
}

TEST_F(CrashSafetyFs, FailedRollbackLeavesAHandleThatWritesNothingAndTheNextOpenRestores) {
  disk.make_dirs("/ws");
  Database db = test::open_ok("/ws");
  ASSERT_TRUE(create_table(db, "t", {"v"}, {}, {}).has_value());
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(1)})).has_value());
  ASSERT_TRUE(db.begin_transaction().has_value());
  ASSERT_TRUE(insert_validated_base(db, "t", row({Value::integer(2)})).has_value());
  ASSERT_TRUE(db.flush().has_value());
  disk.fail_nth(Op::SyncDir, 1);  // the restore's flush of the workspace directory
  const std::string failed = error_text(db.rollback_transaction());
  EXPECT_EQ(failed.rfind("transaction outcome is unknown: transaction rollback failed after consuming its recovery "
                         "state (i/o error: ",
                         0),
            0u)
      << failed;
  EXPECT_FALSE(db.in_transaction());
  // The handle's storage was emptied; it must not write that over the workspace.
  EXPECT_NE(error_text(db.flush()), "(ok)");
  EXPECT_NE(error_text(db.begin_transaction()), "(ok)");
  EXPECT_NE(error_text(create_table(db, "x", {"a"}, {}, {})), "(ok)");
  EXPECT_NE(disk.contents("/ws/.qm_statement_undo").value_or(""), "");  // the next open restores again
  EXPECT_EQ(values_of(test::open_ok("/ws")), (std::set<int64_t>{1}));
}

}  // namespace
}  // namespace qm::db
