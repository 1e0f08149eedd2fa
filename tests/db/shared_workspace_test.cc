// A workspace used by several handles, one after another or side by side: a write of one
// handle must land in the file the others read, and a commit must make durable everything
// its manifest names, including what earlier handles wrote without a flush to stable storage.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "db/database.h"
#include "support/db_test_util.h"
#include "support/crash_harness.h"
#include "support/temp_dir.h"
#include "db/write_path.h"
#include "db/ddl.h"

namespace qm::db {
namespace {

using SharedWorkspaceDir = qm::test::InTempDir;
using SharedWorkspaceFs = qm::test::OnFaultyFs;
using namespace test;

// Another handle's transaction replaces the manifest file (rename) with the very same bytes;
// the first handle's next in-place rewrite must reach the new file, not the replaced one.
TEST_F(SharedWorkspaceDir, InPlaceRewriteReachesAManifestFileReplacedByAnotherHandle) {
  {
    Database a = open_ok(ws);
    ASSERT_TRUE(create_table(a, "t", {"v"}, {}, {}).has_value());
    ASSERT_TRUE(insert_validated_base(a, "t", row({Value::integer(1)})).has_value());
    {
      Database b = open_ok(ws);
      ASSERT_TRUE(b.begin_transaction().has_value());
      ASSERT_TRUE(b.commit_transaction().has_value());
    }
    ASSERT_TRUE(insert_validated_base(a, "t", row({Value::integer(2)})).has_value());
    {
      Database b = open_ok(ws);
      ASSERT_TRUE(b.begin_transaction().has_value());
      ASSERT_TRUE(b.rollback_transaction().has_value());
    }
    ASSERT_TRUE(insert_validated_base(a, "t", row({Value::integer(3)})).has_value());
  }
  Database reopened = open_ok(ws);
  EXPECT_EQ(reopened.catalog().tables().at("t").row_versions, 3u);
  EXPECT_EQ(values_of(reopened), (std::set<int64_t>{1, 2, 3}));
}

// Rows written outside a transaction by an earlier handle (no flush to stable storage), then a
// transaction committed by a later handle: after a power loss the committed state opens whole.
TEST_F(SharedWorkspaceFs, CommitMakesDurableWhatEarlierHandlesWroteWithoutAFlush) {
  disk.make_dirs("/ws");
  const std::string long_text(40, 'x');  // a blob file
  {
    Database a = open_ok("/ws");
    ASSERT_TRUE(create_table(a, "t", {"v", "s"}, {}, {}).has_value());
    ASSERT_TRUE(insert_validated_base(a, "t", row({Value::integer(1), Value::text(long_text)})).has_value());
  }
  {
    Database b = open_ok("/ws");
    ASSERT_TRUE(b.begin_transaction().has_value());
    ASSERT_TRUE(insert_validated_base(b, "t", row({Value::integer(2), Value::text("y")})).has_value());
    ASSERT_TRUE(b.commit_transaction().has_value());
  }
  disk.power_loss();
  Database db = test::open_ok("/ws");
  EXPECT_EQ(values_of(db), (std::set<int64_t>{1, 2}));
  EXPECT_EQ(stored_rows(db, "t").at(0).at(1), Value::text(long_text));
}

// A workspace whose directory the open created: its first commit makes the directory itself
// durable, not only what lies inside it.
TEST_F(SharedWorkspaceFs, FirstCommitOfANewWorkspaceSurvivesAPowerLoss) {
  {
    Database a = open_ok("/data/ws");
    ASSERT_TRUE(a.transaction([](Database& d) -> Result<void> {
      QM_TRY(create_table(d, "t", {"v"}, {}, {}));
      QM_TRY(insert_validated_base(d, "t", row({Value::integer(1)})));
      return {};
    }));
  }
  disk.power_loss();
  Database db = test::open_ok("/data/ws");
  ASSERT_TRUE(db.catalog().tables().contains("t"));
  EXPECT_EQ(values_of(db), (std::set<int64_t>{1}));
}

using Op = qm::test::FaultyFs::Op;

enum class Phase { Begin, Rollback, FirstCommit };

// Row 1 committed durably; then, with the n-th call of `op` failing, `phase` runs; then the
// power goes. Returns whether the fault was reached.
bool run_with_fault(Phase phase, Op op, uint64_t n) {
  qm::test::FaultyFs faulty;
  fs::ScopedFileSystem scoped(faulty);
  faulty.make_dirs("/ws");
  {
    Database db = open_ok("/ws");
    EXPECT_TRUE(db.transaction([](Database& d) -> Result<void> {
      QM_TRY(create_table(d, "t", {"v", "s"}, {}, {}));
      QM_TRY(insert_validated_base(d, "t", row({Value::integer(1), Value::text(std::string(40, 'a'))})));
      return {};
    }));
    EXPECT_TRUE(db.transaction([](Database& d) -> Result<uint64_t> {
      return insert_validated_base(d, "t", row({Value::integer(2), Value::text(std::string(40, 'b'))}));
    }));
  }
  bool reached = false;
  bool committed = false;
  {
    Database db = test::open_ok("/ws");
    if (phase != Phase::Begin) {
      EXPECT_TRUE(db.begin_transaction().has_value());
      EXPECT_TRUE(insert_validated_base(db, "t", row({Value::integer(3), Value::text(std::string(40, 'c'))})));
    }
    const uint64_t start = faulty.calls(op);
    faulty.fail_nth(op, n);
    if (phase == Phase::Begin) {
      auto begun = db.begin_transaction();
      if (begun) committed = db.commit_transaction().has_value();
    } else if (phase == Phase::Rollback) {
      (void)db.rollback_transaction();
    } else {
      committed = db.commit_transaction().has_value();
    }
    reached = faulty.calls(op) >= start + n;
  }
  faulty.clear_faults();
  faulty.power_loss();
  Database db = test::open_ok("/ws");
  const std::set<int64_t> stored = values_of(db);
  const std::set<int64_t> old_state{1, 2}, new_state{1, 2, 3};
  if (phase == Phase::FirstCommit && committed) {
    EXPECT_EQ(stored, new_state);
  } else if (phase == Phase::FirstCommit) {
    EXPECT_TRUE(stored == old_state || stored == new_state) << stored.size();
  } else {
    EXPECT_EQ(stored, old_state);
  }
  for (const char* leftover : {"/ws/.qm_transaction_active", "/ws/.qm_transaction_backup"})
    EXPECT_FALSE(faulty.exists(leftover)) << leftover;
  return reached;
}

TEST(SharedWorkspace, AFailureAtEveryStepOfBeginRollbackOrCommitThenAPowerLossKeepsTheCommittedState) {
  for (Phase phase : {Phase::Begin, Phase::Rollback, Phase::FirstCommit}) {
    SCOPED_TRACE("phase " + std::to_string(static_cast<int>(phase)));
    qm::test::sweep_faults({Op::Open, Op::Sync, Op::SyncDir, Op::Rename, Op::Write, Op::Unlink, Op::Mkdir, Op::Rmdir,
                            Op::Stat, Op::List, Op::Truncate},
                           400, false, [&](Op op, uint64_t n) {
                             return qm::test::FaultOutcome{false, run_with_fault(phase, op, n)};
                           });
  }
}

}  // namespace
}  // namespace qm::db
