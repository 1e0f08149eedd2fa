// Statements outside a transaction on a workspace, against a refused write and a killed
// process: every durable call of each kind of statement fails in turn (ENOSPC, EIO, a short
// write), and a child process is killed at random while it runs statements. Afterwards the
// handle and a fresh open both hold exactly the statements that returned success (plus at
// most the one running at a kill), scans agree with index lookups, and no recovery file is
// left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "db/atomicity/statement_undo.h"
#include "support/db_test_util.h"
#include "support/crash_harness.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "query/statements/statements.h"

namespace qm::db {
namespace {

using StatementSafetyDir = qm::test::InTempDir;

using test::run;
using Op = qm::test::FaultyFs::Op;

// What the table holds by a full scan, with every row also found through the index on k,
// and whether the other tables exist.
std::string observed(Database& db) {
  std::string out = run(db, "SELECT k, v FROM t");
  auto scanned = query_with(db, "SELECT k FROM t", {});
  if (scanned) {
    for (const auto& r : std::get<RowsResult>(*scanned).rows) {
      const std::string k = display(r[0]);
      const std::string found = run(db, "SELECT k FROM t WHERE k = " + k);
      if (found.find("[" + k + "]") == std::string::npos) out += " | lookup of " + k + " missed: " + found;
    }
  }
  return out + " | u: " + run(db, "SELECT COUNT(*) FROM u") + " | d: " + run(db, "SELECT COUNT(*) FROM d");
}

const std::string kLong(40, 'x');  // stored in the blob store

// Rows of the tail page before it is full (found once by filling a memory database).
int rows_per_page() {
  Database db = Database::open_memory();
  EXPECT_EQ(run(db, "CREATE TABLE t (k INT UNIQUE, v TEXT)"), R"({"done":true})");
  int n = 0;
  while (db.store().cache.backend().page_count() < 2) run(db, "INSERT INTO t VALUES (" + std::to_string(n++) + ", 'v')");
  return n - 1;
}

// A workspace holding d and t (k UNIQUE, so indexed) with `rows` rows.
Database prepared(int rows) {
  Database db = test::open_ok("/ws");
  EXPECT_EQ(run(db, "CREATE TABLE t (k INT UNIQUE, v TEXT)"), R"({"done":true})");
  EXPECT_EQ(run(db, "CREATE TABLE d (a)"), R"({"done":true})");
  std::string values;
  for (int k = 0; k < rows; ++k) values += (k ? ",(" : "(") + std::to_string(k) + ", 'v')";
  EXPECT_NE(run(db, "INSERT INTO t VALUES " + values).find("mutated"), std::string::npos);
  return db;
}

struct Kind {
  const char* name;
  std::string sql;  // empty: an export
  int rows;         // rows of t before it
};

// `fill`: the rows one page holds, so a table of `fill` rows has a full tail page.
std::vector<Kind> kinds(int fill) {
  const std::string k = std::to_string(fill + 10);
  const int some = fill - 1;
  return {
      {"create table", "CREATE TABLE u (a)", some},
      {"drop table", "DROP TABLE d", some},
      {"insert", "INSERT INTO t VALUES (" + k + ", 'w')", some},
      {"insert that needs a new page", "INSERT INTO t VALUES (" + k + ", 'w')", fill},
      {"insert of a blob", "INSERT INTO t VALUES (" + k + ", '" + kLong + "')", some},
      {"insert of a taken unique value", "INSERT INTO t VALUES (1, 'w')", some},
      {"insert of two rows", "INSERT INTO t VALUES (" + k + ", 'w'), (" + k + "1, 'w')", fill},
      {"delete", "DELETE FROM t WHERE k = 2", some},
      {"update", "UPDATE t SET v = 'z' WHERE k = 3", some},
      {"update of several rows onto a new page", "UPDATE t SET v = 'z' WHERE k < 5", fill},
      {"update of several rows to a blob", "UPDATE t SET v = '" + kLong + "' WHERE k < 5", some},
      {"delete of several rows", "DELETE FROM t WHERE k < 5", some},
      {"export", "", fill},
  };
}

// Whether the statement succeeded, failed, or failed with its outcome unknown.
enum class Outcome { Ok, Failed, Unknown };
Outcome execute(Database& db, const Kind& kind) {
  std::optional<QmError> error;
  if (kind.sql.empty()) {
    if (auto r = db.bake_to_bytes(); !r) error = r.error();
  } else if (auto r = query_with(db, kind.sql, {}); !r) {
    error = r.error();
  }
  if (!error) return Outcome::Ok;
  return error->is(ErrorKind::TransactionOutcomeUnknown) ? Outcome::Unknown : Outcome::Failed;
}

// Runs one kind with `arm` setting its fault; checks the handle and a fresh open.
void check_one(const Kind& kind, const std::string& before, const std::string& after,
               const std::function<void(qm::test::FaultyFs&)>& arm, const std::string& trace) {
  SCOPED_TRACE(std::string(kind.name) + ": " + trace);
  qm::test::FaultyFs faulty;
  fs::ScopedFileSystem scoped(faulty);
  faulty.make_dirs("/ws");
  Database db = prepared(kind.rows);
  arm(faulty);
  const Outcome outcome = execute(db, kind);
  faulty.clear_faults();
  const std::string seen = observed(db);
  // A commit whose commit point could not be made durable may have happened or not; the
  // handle and the disk must agree either way.
  const std::string& expected = outcome == Outcome::Ok ? after : outcome == Outcome::Failed ? before
                                : seen == after ? after : before;
  EXPECT_EQ(seen, expected) << "the same handle";
  Database fresh = test::open_ok("/ws");
  EXPECT_EQ(observed(fresh), expected) << "a fresh open";
  EXPECT_EQ(faulty.contents(std::string("/ws/") + kStatementUndoFile).value_or(""), "");
  EXPECT_FALSE(faulty.exists("/ws/qm_manifest.json.tmp"));
}

TEST(StatementSafety, EveryDurableCallOfEveryStatementFailingLeavesItWhollyPresentOrAbsent) {
  const int fill = rows_per_page();
  const std::vector<Op> durable = {Op::Open, Op::Write, Op::Truncate, Op::Sync, Op::SyncDir,
                                   Op::Rename, Op::Unlink, Op::Mkdir};
  for (const Kind& kind : kinds(fill)) {
    // A clean run gives the two states and how many calls of each kind the statement makes.
    std::string before, after;
    std::map<Op, uint64_t> calls;
    {
      qm::test::FaultyFs faulty;
      fs::ScopedFileSystem scoped(faulty);
      faulty.make_dirs("/ws");
      Database db = prepared(kind.rows);
      before = observed(db);
      std::map<Op, uint64_t> start;
      for (Op op : durable) start[op] = faulty.calls(op);
      execute(db, kind);
      for (Op op : durable) calls[op] = faulty.calls(op) - start[op];
      after = observed(db);
    }
    // Row statements make themselves atomic without a backup copy of the workspace.
    if (kind.sql.starts_with("INSERT") || kind.sql.starts_with("UPDATE") || kind.sql.starts_with("DELETE")) {
      EXPECT_EQ(calls[Op::SyncDir], 0u) << kind.name << " copied the workspace";
    }
    if (kind.sql.empty()) {
      for (Op op : durable) {
        if (op == Op::Open) continue;  // opening files to read them changes nothing
        EXPECT_EQ(calls[op], 0u) << "an export touched the workspace";
      }
      EXPECT_EQ(before, after);
      continue;
    }
    // The library handles every errno alike, so the calls take ENOSPC and EIO in turn
    // rather than each call both.
    for (Op op : durable) {
      for (uint64_t n = 1; n <= calls[op]; ++n) {
        const int err = n % 2 == 1 ? ENOSPC : EIO;
        check_one(kind, before, after, [&](qm::test::FaultyFs& f) { f.fail_nth(op, n, err); },
                  "op " + std::to_string(static_cast<int>(op)) + " call " + std::to_string(n) + " errno " +
                      std::to_string(err));
      }
    }
    for (uint64_t n = 1; n <= calls[Op::Write]; ++n)
      check_one(kind, before, after, [&](qm::test::FaultyFs& f) { f.cut_write(n, 10); },
                "short write " + std::to_string(n));
  }
}

// ---- killed process ----------------------------------------------------------------------

// Statement i of the child's endless sequence; each changes the table. Over six statements
// three rows come and go, by single-row and multi-row INSERT, UPDATE and DELETE.
std::string statement(int64_t i) {
  const auto s = [](int64_t v) { return std::to_string(v); };
  switch (i % 6) {
    case 0: return "INSERT INTO t VALUES (" + s(i) + ", " + s(i) + ")";
    case 1: return "INSERT INTO t VALUES (" + s(i) + ", " + s(i) + "), (" + s(i + 1000000) + ", " + s(i) + ")";
    case 2: return "UPDATE t SET v = " + s(i) + " WHERE k = " + s(i - 2);
    case 3: return "UPDATE t SET v = " + s(i) + " WHERE v = " + s(i - 2);
    case 4: return "DELETE FROM t WHERE k = " + s(i - 4);
    default: return "DELETE FROM t WHERE v = " + s(i - 2);
  }
}

// The rows (k -> v) after statements 0 .. n - 1.
std::map<int64_t, int64_t> model(int64_t n) {
  std::map<int64_t, int64_t> m;
  for (int64_t i = 0; i < n; ++i) {
    switch (i % 6) {
      case 0: m[i] = i; break;
      case 1: m[i] = i, m[i + 1000000] = i; break;
      case 2: m[i - 2] = i; break;
      case 3:
        for (auto& [k, v] : m)
          if (v == i - 2) v = i;
        break;
      case 4: m.erase(i - 4); break;
      default: std::erase_if(m, [&](const auto& kv) { return kv.second == i - 2; });
    }
  }
  return m;
}

[[noreturn]] void run_forever(const std::string& ws, int64_t next, int ack_fd) {
  auto db = Database::open_workspace(ws);
  if (!db) _exit(2);
  for (int64_t i = next;; ++i) {
    if (!query_with(*db, statement(i), {})) _exit(3);
    if (write(ack_fd, &i, sizeof i) != sizeof i) _exit(4);
  }
}

// The table by a full scan, after checking that the index finds each row.
std::map<int64_t, int64_t> stored(Database& db) {
  std::map<int64_t, int64_t> out;
  auto rows = query_with(db, "SELECT k, v FROM t", {});
  EXPECT_TRUE(rows.has_value()) << rows.error().message();
  if (!rows) return out;
  for (const auto& r : std::get<RowsResult>(*rows).rows) {
    out[r[0].as_int()] = r[1].as_int();
    auto found = query_with(db, "SELECT v FROM t WHERE k = " + display(r[0]), {});
    EXPECT_TRUE(found && std::get<RowsResult>(*found).rows.size() == 1) << "index lookup of " << display(r[0]);
  }
  return out;
}

// Bounded: 200 rounds of at most 100 ms of work each, under a minute under ASan.
TEST_F(StatementSafetyDir, KilledAtRandomTheWorkspaceHoldsEveryAcknowledgedStatementAndAtMostOneMore) {
  {
    Database db = test::open_ok(ws);
    ASSERT_EQ(run(db, "CREATE TABLE t (k, v)"), R"({"done":true})");
    ASSERT_EQ(run(db, "CREATE INDEX ON t (k)"), R"({"done":true})");
  }
  std::mt19937 rng(2126);
  int64_t done = 0;  // statements known to be in the workspace
  int64_t acknowledged = -1;
  for (int round = 0; round < 200; ++round) {
    const auto acks = qm::test::run_then_kill([&](int ack_fd) { run_forever(ws, done, ack_fd); },
                                              std::uniform_int_distribution<int>(0, 100000)(rng));
    ASSERT_FALSE(::testing::Test::HasFailure());
    for (int64_t i : acks) acknowledged = std::max(acknowledged, i);
    auto db = Database::open_workspace(ws);
    ASSERT_TRUE(db.has_value()) << "round " << round << ": " << db.error().message();
    const auto now = stored(*db);
    const int64_t acked = std::max(done, acknowledged + 1);
    if (now == model(acked)) {
      done = acked;
    } else {
      ASSERT_EQ(now, model(acked + 1)) << "round " << round << " after statement " << acked;
      done = acked + 1;
    }
    for (const char* leftover : {kTxMarker, kTxBackup, kManifestTmpFile})
      ASSERT_FALSE(std::filesystem::exists(ws + "/" + leftover)) << leftover;
    const std::string undo = ws + "/" + kStatementUndoFile;
    ASSERT_TRUE(!std::filesystem::exists(undo) || std::filesystem::file_size(undo) == 0);
  }
  EXPECT_GT(done, 40);  // the rounds must let statements finish, not only begin
}

// A statement whose undo could not run leaves its pages overwritten and its undo file behind,
// as a killed process would. The next step of another open handle, whatever its kind, puts
// the pages back under the lock before it reads anything.
TEST(StatementSafety, AnotherOpenHandlesNextStepUndoesAStatementLeftHalfWritten) {
  const int rows = rows_per_page() - 1;
  for (const char* first : {"SELECT COUNT(*) FROM d", "BEGIN", "INSERT INTO d VALUES (1)"}) {
    SCOPED_TRACE(first);
    qm::test::FaultyFs faulty;
    fs::ScopedFileSystem scoped(faulty);
    faulty.make_dirs("/ws");
    Database writer = prepared(rows);
    const std::string before = observed(writer);
    Database other = test::open_ok("/ws");
    // The manifest's rename is refused, and so is the removal its undo starts with.
    faulty.fail_from(Op::Rename, 1);
    faulty.fail_from(Op::Unlink, 1);
    auto failed = query_with(writer, "DELETE FROM t WHERE k = 2", {});
    ASSERT_FALSE(failed);
    faulty.clear_faults();
    ASSERT_NE(faulty.contents(std::string("/ws/") + kStatementUndoFile).value_or(""), "");
    ASSERT_TRUE(query_with(other, first, {})) << first;
    EXPECT_EQ(faulty.contents(std::string("/ws/") + kStatementUndoFile).value_or(""), "");
    const std::string d_now = std::string(first).starts_with("INSERT") ? "[[1]]" : "[[0]]";
    std::string expected = before;
    expected.replace(expected.rfind("[[0]]"), 5, d_now);
    EXPECT_EQ(observed(other), expected);
    if (std::string(first) == "BEGIN") {
      ASSERT_TRUE(query_with(other, "ROLLBACK", {}));
    }
    Database fresh = test::open_ok("/ws");
    EXPECT_EQ(observed(fresh), expected);
  }
}

// Each handle trusts the manifest it wrote last while it holds it open; a handle writing
// right after it (a manifest of the same size, within the same tick of the file clock) must
// still be seen by the next statement of the first.
TEST_F(StatementSafetyDir, TwoHandlesTakingTurnsEachSeeTheOthersLastStatement) {
  Database a = test::open_ok(ws);
  ASSERT_EQ(run(a, "CREATE TABLE t (k INT UNIQUE, v TEXT)"), R"({"done":true})");
  Database b = test::open_ok(ws);
  for (int i = 0; i < 40; ++i) {
    Database& writer = i % 2 ? b : a;
    Database& reader = i % 2 ? a : b;
    const std::string k = std::to_string(2 * i);
    ASSERT_NE(run(writer, "INSERT INTO t VALUES (" + k + ", 'v'), (" + k + "1, 'v')").find("mutated"),
              std::string::npos) << i;
    EXPECT_NE(run(reader, "SELECT COUNT(*) FROM t").find("[[" + std::to_string(2 * i + 2) + "]]"), std::string::npos)
        << i;
  }
}

}  // namespace
}  // namespace qm::db
