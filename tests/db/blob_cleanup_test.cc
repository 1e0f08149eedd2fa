// Blob files of work that did not happen: a rolled-back transaction, a failed statement, a
// process killed inside either, a rollback whose file calls fail. Each must leave `blobs/`
// holding what it held before, never losing a file the manifest names or one that was there
// already (blob files are shared by equal values).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "core/fs.h"
#include "db/database.h"
#include "db/ddl.h"
#include "db/write_path.h"
#include "support/c_api.h"
#include "support/crash_harness.h"
#include "support/db_test_util.h"
#include "support/temp_dir.h"
#include "table/manifest.h"

namespace qm::db {
namespace {

using namespace qm::test;
namespace stdfs = std::filesystem;

// A text of `bytes` bytes that differs for each `seed` (stored as a blob file of its own).
std::string big_text(int64_t seed, size_t bytes = 80 * 1024) {
  std::string s = "v" + std::to_string(seed) + "-";
  while (s.size() < bytes) s += static_cast<char>('a' + (s.size() * 7 + seed) % 26);
  return s;
}

std::string insert_sql(int64_t id, const std::string& body) {
  return "INSERT INTO t VALUES (" + std::to_string(id) + ", '" + body + "')";
}

// Every path under `dir` (files and directories), relative to it; empty when it is missing.
std::set<std::string> tree(const std::string& dir) {
  std::set<std::string> out;
  if (!stdfs::exists(dir)) return out;
  for (const auto& e : stdfs::recursive_directory_iterator(dir)) out.insert(stdfs::relative(e.path(), dir).string());
  return out;
}

// The blob files the workspace's manifest names, as `xx/<hex>` paths.
std::set<std::string> named_blobs(const std::string& ws) {
  auto m = read_manifest_json(read_file(ws + "/qm_manifest.json"));
  EXPECT_TRUE(m.has_value());
  std::set<std::string> out;
  if (m)
    for (const std::string& h : m->cas_hashes) out.insert(h.substr(0, 2) + "/" + h);
  return out;
}

std::set<std::string> blob_files(const std::string& ws) {
  std::set<std::string> out;
  for (const std::string& p : tree(ws + "/blobs"))
    if (stdfs::is_regular_file(ws + "/blobs/" + p)) out.insert(p);
  return out;
}

class BlobCleanup : public InTempDir {
 protected:
  std::string blobs() const { return ws + "/blobs"; }
};

TEST_F(BlobCleanup, RollbackAndFailedStatementsRemoveOnlyTheFilesTheyCreated) {
  CDb db = CDb::workspace(ws);
  ASSERT_EQ(db.query("CREATE TABLE t (id, body)"), R"({"done":true})");
  ASSERT_EQ(db.query("CREATE UNIQUE INDEX ON t (id)"), R"({"done":true})");
  // The first blob of the workspace, rolled back: `blobs` itself goes again.
  ASSERT_EQ(qm_begin_transaction(db.get()), 1);
  ASSERT_EQ(db.query(insert_sql(1, big_text(1))), R"({"mutated":1})");
  ASSERT_EQ(qm_rollback_transaction(db.get()), 1) << last_error();
  EXPECT_FALSE(stdfs::exists(blobs()));

  const std::string shared = big_text(0);
  ASSERT_EQ(db.query(insert_sql(1, shared)), R"({"mutated":1})");
  const std::set<std::string> before = tree(blobs());
  ASSERT_EQ(before.size(), 2u);  // the fan-out directory and the file
  for (int64_t round = 0; round < 20; ++round) {
    ASSERT_EQ(qm_begin_transaction(db.get()), 1);
    ASSERT_EQ(db.query(insert_sql(10 + round, big_text(100 + round))), R"({"mutated":1})");
    ASSERT_EQ(db.query(insert_sql(50 + round, shared)), R"({"mutated":1})");  // reuses the file
    ASSERT_EQ(qm_rollback_transaction(db.get()), 1) << last_error();
    ASSERT_EQ(tree(blobs()), before) << "round " << round;
  }
  // More new files than one undo entry names (127), some after a page was saved.
  ASSERT_EQ(qm_begin_transaction(db.get()), 1);
  for (int64_t i = 0; i < 300; ++i)
    ASSERT_EQ(db.query(insert_sql(1000 + i, big_text(1000 + i, 40))), R"({"mutated":1})");
  ASSERT_EQ(qm_rollback_transaction(db.get()), 1) << last_error();
  ASSERT_EQ(tree(blobs()), before);
  // A statement that fails after storing its first row's value is undone with its file.
  EXPECT_EQ(db.query("INSERT INTO t VALUES (7, '" + big_text(7) + "'), (1, 'duplicate id')"),
            "error: schema error: duplicate value for unique column `id`");
  EXPECT_EQ(tree(blobs()), before);
  // A transaction whose only new value equals a stored one commits without a new file.
  ASSERT_EQ(qm_begin_transaction(db.get()), 1);
  ASSERT_EQ(db.query(insert_sql(2, shared)), R"({"mutated":1})");
  ASSERT_EQ(qm_commit_transaction(db.get()), 1);
  EXPECT_EQ(tree(blobs()), before);
  db.close();
  EXPECT_EQ(blob_files(ws), named_blobs(ws));
  CDb reopened = CDb::workspace(ws);
  EXPECT_EQ(reopened.query("SELECT id FROM t ORDER BY id"), R"({"columns":["id"],"rows":[[1],[2]]})");
}

TEST_F(BlobCleanup, OnALoggedWorkspaceRollbackRemovesTheFilesItCreated) {
  CDb db = CDb::workspace(ws);
  ASSERT_EQ(qm_enable_commit_log(db.get(), 0, 0, 0), 1) << last_error();
  ASSERT_EQ(db.query("CREATE TABLE t (id, body)"), R"({"done":true})");
  ASSERT_EQ(db.query("CREATE UNIQUE INDEX ON t (id)"), R"({"done":true})");
  const std::string shared = big_text(0);
  ASSERT_EQ(db.query(insert_sql(1, shared)), R"({"mutated":1})");
  const std::set<std::string> before = tree(blobs());
  ASSERT_EQ(qm_begin_transaction(db.get()), 1);
  ASSERT_EQ(db.query(insert_sql(2, big_text(2))), R"({"mutated":1})");
  ASSERT_EQ(db.query(insert_sql(3, shared)), R"({"mutated":1})");
  ASSERT_EQ(qm_rollback_transaction(db.get()), 1) << last_error();
  EXPECT_EQ(tree(blobs()), before);
  // Each statement is a transaction of its own here: a failing one is rolled back whole.
  EXPECT_EQ(db.query("INSERT INTO t VALUES (7, '" + big_text(7) + "'), (1, 'duplicate id')"),
            "error: schema error: duplicate value for unique column `id`");
  EXPECT_EQ(tree(blobs()), before);
  EXPECT_EQ(db.query("SELECT id FROM t"), R"({"columns":["id"],"rows":[[1]]})");
}

// A child that began a transaction, stored a new value (its file written, its pages flushed)
// and an existing one, then was killed: the next open removes the new file only.
TEST_F(BlobCleanup, KilledInsideATransactionTheNextOpenRemovesItsFiles) {
  {
    CDb db = CDb::workspace(ws);
    ASSERT_EQ(db.query("CREATE TABLE t (id, body)"), R"({"done":true})");
    ASSERT_EQ(db.query(insert_sql(1, big_text(0))), R"({"mutated":1})");
  }
  const std::set<std::string> before = tree(blobs());
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto db = Database::open_workspace(ws);
    if (!db || !db->begin_transaction()) _exit(2);
    if (!query_with(*db, insert_sql(2, big_text(2)), {}) || !query_with(*db, insert_sql(3, big_text(0)), {})) _exit(3);
    if (!db->flush()) _exit(4);
    const char c = 1;
    if (write(ready[1], &c, 1) != 1) _exit(5);
    for (;;) pause();
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1) << "the child failed before it was ready";
  close(ready[0]);
  ASSERT_TRUE(kill_and_reap(child));
  ASSERT_NE(tree(blobs()), before);  // the dead transaction's file is there
  CDb db = CDb::workspace(ws);
  EXPECT_EQ(db.query("SELECT id FROM t"), R"({"columns":["id"],"rows":[[1]]})");
  EXPECT_EQ(tree(blobs()), before);
}

// Statements and transactions storing new values, killed at random points: after each open
// the blob files are exactly those the manifest names.
[[noreturn]] void write_blobs_forever(const std::string& ws, int64_t next, int ack_fd) {
  auto db = Database::open_workspace(ws);
  if (!db) _exit(2);
  for (int64_t v = next;; v += 3) {
    if (!query_with(*db, insert_sql(v, big_text(v, 4096)), {})) _exit(3);
    if (!db->begin_transaction()) _exit(4);
    if (!query_with(*db, insert_sql(v + 1, big_text(v + 1, 4096)), {})) _exit(5);
    if (!db->commit_transaction()) _exit(6);
    if (!db->begin_transaction()) _exit(7);
    if (!query_with(*db, insert_sql(v + 2, big_text(v + 2, 4096)), {})) _exit(8);
    if (!db->rollback_transaction()) _exit(9);
    if (write(ack_fd, &v, sizeof v) != sizeof v) _exit(10);
  }
}

TEST_F(BlobCleanup, KilledAtRandomTheBlobFilesAreThoseTheManifestNames) {
  {
    CDb db = CDb::workspace(ws);
    ASSERT_EQ(db.query("CREATE TABLE t (id, body)"), R"({"done":true})");
  }
  std::mt19937 rng(4242);
  int64_t next = 0;
  for (int round = 0; round < 30 && !HasFailure(); ++round) {
    const auto acks = run_then_kill([&](int fd) { write_blobs_forever(ws, next, fd); },
                                    std::uniform_int_distribution<useconds_t>(0, 30000)(rng));
    CDb db = CDb::workspace(ws);
    db.close();
    ASSERT_EQ(blob_files(ws), named_blobs(ws)) << "round " << round;
    next += 3 * (static_cast<int64_t>(acks.size()) + 2);
  }
}

using Op = FaultyFs::Op;

// Rolls back a transaction that stored a new value and an existing one, with the n-th call of
// `op` failing; then the next open must hold the committed row and the blob files from before.
FaultOutcome rollback_with_fault(Op op, uint64_t n) {
  FaultyFs faulty;
  fs::ScopedFileSystem scoped(faulty);
  faulty.make_dirs("/ws");
  const Value shared = Value::text(big_text(0, 2000));
  {
    Database db = test::open_ok("/ws");
    EXPECT_TRUE(create_table(db, "t", {"v", "body"}, {}, {}).has_value());
    EXPECT_TRUE(insert_validated_base(db, "t", test::row({Value::integer(1), shared})).has_value());
  }
  auto listing = [&] {
    std::set<std::string> out;
    auto fans = fs::get().list_dir("/ws/blobs");
    if (!fans) return out;
    for (const std::string& fan : *fans) {
      out.insert(fan);
      auto files = fs::get().list_dir("/ws/blobs/" + fan);
      if (files)
        for (const std::string& f : *files) out.insert(fan + "/" + f);
    }
    return out;
  };
  const std::set<std::string> before = listing();
  FaultOutcome out;
  {
    Database db = test::open_ok("/ws");
    EXPECT_TRUE(db.begin_transaction().has_value());
    EXPECT_TRUE(insert_validated_base(db, "t", test::row({Value::integer(2), Value::text(big_text(2, 2000))})));
    EXPECT_TRUE(insert_validated_base(db, "t", test::row({Value::integer(3), shared})));
    EXPECT_TRUE(db.flush().has_value());
    out = fail_nth_during(faulty, op, n, [&] { return db.rollback_transaction(); });
  }
  faulty.clear_faults();
  Database reopened = test::open_ok("/ws");
  EXPECT_EQ(test::values_of(reopened), std::set<int64_t>{1}) << "fault at call " << n;
  EXPECT_EQ(listing(), before) << "fault at call " << n;
  EXPECT_EQ(faulty.contents("/ws/.qm_statement_undo").value_or(""), "");
  return out;
}

TEST(BlobCleanupFaults, ARollbackFailingAtAnyFileCallLeavesTheBlobsAsTheyWere) {
  sweep_faults({Op::Unlink, Op::Rmdir, Op::Write, Op::Truncate, Op::Open, Op::Read, Op::Sync, Op::SyncDir,
                Op::Stat, Op::List},
               64, false, rollback_with_fault);
}

}  // namespace
}  // namespace qm::db
