// Crash safety of logged transactions: a process killed at random points while it commits
// transactions that rewrite many pages (50 rounds, about fifteen seconds under ASan), and a
// failure, then a power loss, injected at every durable step of a logged begin, page write
// and commit. Afterwards the workspace opens with exactly the acknowledged commits (at most
// the one in flight besides), no journal directory is left, and the last record's page
// images are the chunk files' bytes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <string>

#include "db/database.h"
#include "db/atomicity/transaction.h"
#include "support/db_test_util.h"
#include "journal/feed.h"
#include "journal/inventory.h"
#include "support/crash_harness.h"
#include "support/temp_dir.h"
#include "query/statements/statements.h"
#include "db/commit_log.h"

namespace qm::db {
namespace {

using LoggedCrashSafetyDir = qm::test::InTempDir;
using LoggedCrashSafetyFs = qm::test::OnFaultyFs;
using test::run;
using Op = qm::test::FaultyFs::Op;

constexpr int kRows = 100;

std::string count_of(const std::string& sql_result) {
  // {"columns":["count"],"rows":[[N]]} -> N
  const auto open = sql_result.find("[[");
  return open == std::string::npos ? sql_result : sql_result.substr(open + 2, sql_result.find("]]") - open - 2);
}

// One logged transaction: every row of t takes the value n (new versions on new pages, the
// old ones retired in place), and n is recorded as committed.
Result<void> rewrite_all(Database& db, int64_t n) {
  return db.transaction([&](Database& d) -> Result<void> {
    QM_TRY(query_with(d, "UPDATE t SET v = " + std::to_string(n) + " WHERE id >= 0", {}));
    QM_TRY(query_with(d, "INSERT INTO acks VALUES (" + std::to_string(n) + ")", {}));
    return {};
  });
}

void make_logged_workspace(const std::string& ws) {
  auto db = test::open_ok(ws);
  ASSERT_TRUE(enable_commit_log(db, CommitLogOptions{}).has_value());
  ASSERT_EQ(run(db, "CREATE TABLE t (id, v, pad)"), R"({"done":true})");
  ASSERT_EQ(run(db, "CREATE TABLE acks (n)"), R"({"done":true})");
  std::string values;
  for (int i = 0; i < kRows; ++i)
    values += (i ? ", (" : "(") + std::to_string(i) + ", 0, '" + std::string(150, 'p') + "')";
  ASSERT_EQ(run(db, "INSERT INTO t VALUES " + values), R"({"mutated":100})");
}

// The workspace holds exactly the commits 1..n of rewrite_all; returns n.
int64_t committed_through(Database& db) {
  const std::string acks = count_of(run(db, "SELECT COUNT(*) FROM acks"));
  const int64_t n = std::stoll(acks);
  if (n > 0) {
    EXPECT_EQ(count_of(run(db, "SELECT COUNT(*) FROM acks WHERE n > " + std::to_string(n))), "0");
    EXPECT_EQ(count_of(run(db, "SELECT COUNT(*) FROM t WHERE v = " + std::to_string(n))), std::to_string(kRows));
  }
  EXPECT_EQ(count_of(run(db, "SELECT COUNT(*) FROM t")), std::to_string(kRows));
  return n;
}

void expect_last_record_on_disk(const std::string& ws) {
  auto head = must(journal::head(ws));
  if (head == 0) return;
  auto last = must(journal::changes(ws, head - 1, 1));
  ASSERT_EQ(last.size(), 1u);
  for (const auto& page : last.front().pages) {
    const std::string chunk = qm::test::read_file(storage::WorkspaceStore::chunk_path(ws, page.page_id / storage::kPagesPerChunk));
    ASSERT_EQ(chunk.substr((page.page_id % storage::kPagesPerChunk) * 4096, 4096), page.bytes) << page.page_id;
  }
}

[[noreturn]] void commit_forever(const std::string& ws, int64_t next, int ack_fd) {
  auto db = Database::open_workspace(ws);
  if (!db) _exit(2);
  for (int64_t n = next;; ++n) {
    if (!rewrite_all(*db, n)) _exit(3);
    if (write(ack_fd, &n, sizeof n) != sizeof n) _exit(4);
  }
}

TEST_F(LoggedCrashSafetyDir, KilledWhileCommittingKeepsExactlyTheAcknowledgedCommits) {
  make_logged_workspace(ws);
  std::mt19937 rng(4242);
  int64_t acknowledged = 0;
  for (int round = 0; round < 50 && !HasFailure(); ++round) {
    const auto acks = qm::test::run_then_kill([&](int fd) { commit_forever(ws, acknowledged + 1, fd); },
                                              std::uniform_int_distribution<useconds_t>(0, 300000)(rng));
    if (!acks.empty()) acknowledged = acks.back();
    Database db = test::open_ok(ws);
    const int64_t stored = committed_through(db);
    // The commit in flight may have passed its commit point unacknowledged.
    ASSERT_TRUE(stored == acknowledged || stored == acknowledged + 1) << "round " << round;
    acknowledged = stored;
    for (const char* leftover : {"active", "preparing", "discarded"})
      ASSERT_FALSE(std::filesystem::exists(ws + "/.qm-log/" + leftover)) << leftover;
    expect_last_record_on_disk(ws);
  }
  EXPECT_GT(acknowledged, 0);
}

// Runs commit 1 of rewrite_all with the n-th call of `op` failing, then loses power.
qm::test::FaultOutcome logged_commit_with_fault(Op op, uint64_t n) {
  qm::test::FaultyFs faulty;
  fs::ScopedFileSystem scoped(faulty);
  faulty.make_dirs("/ws");
  make_logged_workspace("/ws");
  qm::test::FaultOutcome out;
  {
    Database db = test::open_ok("/ws");
    out = qm::test::fail_nth_during(faulty, op, n, [&] { return rewrite_all(db, 1); });
  }
  faulty.clear_faults();
  faulty.power_loss();
  Database db = test::open_ok("/ws");
  const int64_t stored = committed_through(db);
  EXPECT_TRUE(stored == 1 || (out.failed && stored == 0)) << "a reported commit must survive";
  for (const char* leftover : {"active", "preparing", "discarded"})
    EXPECT_FALSE(faulty.exists(std::string("/ws/.qm-log/") + leftover)) << leftover;
  // The workspace goes on committing.
  EXPECT_EQ(error_text(rewrite_all(db, stored + 1)), "(ok)");
  return out;
}

TEST(LoggedCrashSafety, AFailureAtEveryDurableStepLeavesOldOrNewState) {
  qm::test::sweep_faults({Op::Sync, Op::SyncDir, Op::Rename, Op::Write, Op::Mkdir}, 400, true,
                         logged_commit_with_fault);
}

TEST_F(LoggedCrashSafetyDir, AJournalLeftByADeadHandleIsUndoneByTheNextBegin) {
  make_logged_workspace(ws);
  auto survivor = test::open_ok(ws);
  {
    auto dead = test::open_ok(ws);
    ASSERT_TRUE(dead.begin_transaction().has_value());
    ASSERT_EQ(run(dead, "UPDATE t SET v = 9 WHERE id >= 0"), R"({"mutated":100})");
    ASSERT_TRUE(dead.flush().has_value());  // its pages reach the chunk files
    TransactionHost::abandon(dead);
  }
  ASSERT_TRUE(std::filesystem::exists(ws + "/.qm-log/active"));
  EXPECT_EQ(error_text(rewrite_all(survivor, 1)), "(ok)");
  EXPECT_EQ(committed_through(survivor), 1);
  EXPECT_FALSE(std::filesystem::exists(ws + "/.qm-log/active"));
}

// Every flush of a one-row statement in steady state, and the waits they cost: the flushes
// between which no order is needed are issued together.
TEST_F(LoggedCrashSafetyFs, AOneRowStatementFlushesOnlyWhatTheJournalNeeds) {
  disk.make_dirs("/ws");
  make_logged_workspace("/ws");
  auto db = test::open_ok("/ws");
  ASSERT_EQ(run(db, "INSERT INTO acks VALUES (0)"), R"({"mutated":1})");  // the first syncs the files read
  const uint64_t before = disk.calls(Op::Sync) + disk.calls(Op::SyncDir);
  const uint64_t waits = disk.waits();
  ASSERT_EQ(run(db, "INSERT INTO acks VALUES (0)"), R"({"mutated":1})");
  // Begin: before, header, their directory (one wait). First overwrite: the undo file (one),
  // then its directory and the log naming `active` (one). Commit: the chunk file, the
  // manifest, the record, `active`, the workspace (one); after the rename, the log (one).
  EXPECT_EQ(disk.calls(Op::Sync) + disk.calls(Op::SyncDir) - before, 12u);
  EXPECT_EQ(disk.waits() - waits, 5u);
}

}  // namespace
}  // namespace qm::db
