// A handle that follows another handle's commits in place answers exactly as a handle opened
// afresh on the same directory: two writers take random turns (inserts, updates, deletes,
// long values, DDL, a table with a retrieval index, transactions committed and rolled back),
// and after each turn the other one's answers (rows, counts, index lookups, a BEFORE read,
// EXPLAIN, a retrieval request, the clock) are compared with a fresh handle's. The writer is
// another handle of this process, another process, and either under the commit log.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "ffi/db_handle.h"
#include "support/c_api.h"
#include "support/database_test_access.h"
#include "support/temp_dir.h"

namespace qm::test {
namespace {

void setup(const CDb& db, bool logged) {
  for (const char* sql : {"CREATE TABLE t (id INT UNIQUE, v, w)", "CREATE INDEX ON t (w)",
                          "CREATE TABLE docs (id, body)",
                          "INSERT INTO docs VALUES (1, 'a crisp red apple from the orchard')",
                          "CREATE INDEX docs_fts ON docs USING FULLTEXT (body) WITH (id_column = 'id')"})
    ASSERT_EQ(db.query(sql).rfind("error", 0), std::string::npos) << sql << ": " << db.query(sql);
  if (logged) {
    ASSERT_EQ(qm_enable_commit_log(db.get(), 0, 0, 0), 1) << last_error();
  }
}

// A text longer than a value kept inside its record.
std::string long_text(std::mt19937_64& rng) {
  static const char* words[] = {"apple", "pear", "plum", "orchard", "red", "green", "jam", "pie"};
  std::string s = "'";
  for (int i = 0; i < 6; ++i) s += std::string(i ? " " : "") + words[rng() % 8];
  return s + " " + std::to_string(rng() % 1000) + "'";
}

// One writer's turn, from its seed: a few statements, now and then inside a transaction that
// is committed or rolled back. Refused statements (a duplicate id) are part of the game.
void write_turn(const CDb& db, uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto pick = [&](uint64_t n) { return rng() % n; };
  const bool tx = pick(3) == 0;
  const bool rollback = tx && pick(2) == 0;
  if (tx) db.query("BEGIN");
  for (uint64_t n = 1 + pick(3); n > 0; --n) {
    const std::string k = std::to_string(pick(300));
    switch (pick(12)) {
      case 0:
      case 1:
      case 2:
        db.query("INSERT INTO t VALUES (" + k + ", " + std::to_string(pick(50)) + ", " + std::to_string(pick(20)) + ")");
        break;
      case 3: {  // enough rows to fill pages
        std::string values;
        const uint64_t base = 1000 + pick(1000000) * 100;
        for (int i = 0; i < 60; ++i)
          values += (i ? ", (" : "(") + std::to_string(base + i) + ", " + long_text(rng) + ", " + std::to_string(pick(20)) + ")";
        db.query("INSERT INTO t VALUES " + values);
        break;
      }
      case 4: db.query("UPDATE t SET v = " + long_text(rng) + ", w = " + std::to_string(pick(20)) + " WHERE id < " + k); break;
      case 5: db.query("DELETE FROM t WHERE w = " + std::to_string(pick(20))); break;
      case 6: db.query("INSERT INTO docs VALUES (" + k + ", " + long_text(rng) + ")"); break;
      case 7: db.query("UPDATE docs SET body = " + long_text(rng) + " WHERE id = " + k); break;
      case 8: db.query("DELETE FROM docs WHERE id < " + k); break;
      case 9: db.query("CREATE TABLE x" + std::to_string(pick(3)) + " (a, b)"); break;
      case 10: db.query("DROP TABLE x" + std::to_string(pick(3))); break;
      default: db.query("INSERT INTO x" + std::to_string(pick(3)) + " VALUES (" + k + ", " + long_text(rng) + ")"); break;
    }
  }
  if (tx) db.query(rollback ? "ROLLBACK" : "COMMIT");
}

// Everything compared, at the snapshot `before` for the BEFORE read.
std::string answers(const CDb& db, uint64_t before) {
  std::string out;
  for (const char* sql :
       {"SELECT * FROM t", "SELECT COUNT(*) FROM t", "SELECT * FROM t WHERE id = 7", "SELECT * FROM t WHERE w = 3",
        "SELECT id FROM t WHERE w > 15 AND w < 18", "SELECT * FROM t WHERE id < 40 ORDER BY id",
        "EXPLAIN SELECT * FROM t WHERE w = 3", "SELECT * FROM docs", "SELECT COUNT(*) FROM docs",
        "SELECT * FROM x0", "SELECT COUNT(*) FROM x1", "SELECT * FROM x2"})
    out += db.query(sql) + "\n";
  out += db.query("SELECT * FROM t BEFORE " + std::to_string(before)) + "\n";
  out += take_json(qm_retrieve(db.get(), R"({"kind":"full_text","sql":"SELECT * FROM docs","id_column":"id",)"
                                         R"("text_columns":["body"],"query":"red apple","limit":10,"index":"docs_fts"})")) +
         "\n";
  return out + "clock " + std::to_string(db.clock());
}

// What a handle opened now answers, with its BEFORE read a few clock values back from its
// clock (which `before` receives).
std::string fresh_answers(const std::string& ws, int turn, uint64_t& before) {
  CDb fresh = CDb::workspace(ws);
  const uint64_t clock = fresh.clock();
  before = clock - std::min<uint64_t>(clock, uint64_t(turn % 6));
  return answers(fresh, before);
}

// Fewer turns under the commit log, whose every commit is flushed to stable storage.
int turns(bool logged) { return logged ? 12 : 24; }

uint64_t followed(const CDb& db) { return db::DatabaseTestAccess::commits_followed(db.get()->db); }

void alternate_in_process(const std::string& ws, bool logged) {
  CDb a = CDb::workspace(ws);
  setup(a, logged);
  CDb b = CDb::workspace(ws);
  for (int turn = 0; turn < turns(logged); ++turn) {
    const CDb& writer = turn % 2 ? b : a;
    const CDb& reader = turn % 2 ? a : b;
    write_turn(writer, 1000 + turn);
    uint64_t before = 0;
    const std::string expected = fresh_answers(ws, turn, before);
    ASSERT_EQ(answers(reader, before), expected) << "turn " << turn;
  }
  // Most turns were followed in place, not reloaded (these seeds' DDL and rollbacks reload).
  EXPECT_GE(followed(a) + followed(b), uint64_t(turns(logged) * 2 / 3));
}

using CatchUpDir = InTempDir;

TEST_F(CatchUpDir, FollowingHandleAnswersAsAFreshOne) { alternate_in_process(ws, false); }

TEST_F(CatchUpDir, FollowingHandleAnswersAsAFreshOneUnderTheCommitLog) { alternate_in_process(ws, true); }

// The other writer is a process of its own, which answers too on request: each side follows
// the other's turns.
void alternate_across_processes(const std::string& ws, bool logged) {
  { CDb init = CDb::workspace(ws); setup(init, logged); }
  int to_child[2], to_parent[2];
  ASSERT_EQ(pipe(to_child), 0);
  ASSERT_EQ(pipe(to_parent), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(to_child[1]);
    close(to_parent[0]);
    // Commands: a seed to write a turn with (reply: nothing), or ~snapshot to answer at that
    // snapshot (reply: the answers, length first).
    CDb a = CDb::workspace(ws);
    int64_t command = 0;
    std::string reply;  // the first, empty, says the child's handle is open
    while (true) {
      const uint64_t size = reply.size();
      if (write(to_parent[1], &size, sizeof size) != ssize_t(sizeof size) ||
          write(to_parent[1], reply.data(), size) != ssize_t(size))
        _exit(2);
      reply.clear();
      if (read(to_child[0], &command, sizeof command) != ssize_t(sizeof command)) _exit(0);
      if (command >= 0) {
        write_turn(a, uint64_t(command));
      } else {
        reply = answers(a, uint64_t(~command));
      }
    }
  }
  close(to_child[0]);
  close(to_parent[1]);
  auto reply = [&] {
    std::string reply;
    uint64_t size = 0;
    if (read(to_parent[0], &size, sizeof size) != ssize_t(sizeof size)) return std::string("(no reply)");
    reply.resize(size);
    for (size_t got = 0; got < size;) {
      const ssize_t n = read(to_parent[0], reply.data() + got, size - got);
      if (n <= 0) return std::string("(short reply)");
      got += size_t(n);
    }
    return reply;
  };
  auto ask = [&](int64_t command) {
    if (write(to_child[1], &command, sizeof command) != ssize_t(sizeof command)) return std::string("(no child)");
    return reply();
  };
  EXPECT_EQ(reply(), "");  // the child's handle is open
  {
    CDb b = CDb::workspace(ws);
    for (int turn = 0; turn < turns(logged); ++turn) {
      const bool child_writes = turn % 2 == 0;
      if (child_writes) ask(1000 + turn);
      else write_turn(b, 1000 + turn);
      uint64_t before = 0;
      const std::string expected = fresh_answers(ws, turn, before);
      const std::string got = child_writes ? answers(b, before) : ask(~int64_t(before));
      EXPECT_EQ(got, expected) << "turn " << turn << (child_writes ? " (this process reads)" : " (child reads)");
      if (got != expected) break;  // the child ends below either way
    }
    // This handle follows the other process's turns, half of them.
    EXPECT_GE(followed(b), uint64_t(turns(logged) / 3));
  }
  close(to_child[1]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  close(to_parent[0]);
}

TEST_F(CatchUpDir, FollowingProcessAnswersAsAFreshOne) { alternate_across_processes(ws, false); }

TEST_F(CatchUpDir, FollowingProcessAnswersAsAFreshOneUnderTheCommitLog) { alternate_across_processes(ws, true); }

// Another handle's manifest claims versions the chain does not hold: the following handle
// refuses it exactly as an open does (never a crash, never a misread), and follows again
// once the workspace is sound.
TEST_F(CatchUpDir, HostileCountIsRefusedAsTheOpenRefusesIt) {
  CDb a = CDb::workspace(ws);
  ASSERT_EQ(a.query("CREATE TABLE t (id UNIQUE, v)"), R"({"done":true})");
  ASSERT_EQ(a.query("INSERT INTO t VALUES (1, 'one'), (2, 'two')"), R"({"mutated":2})");
  CDb b = CDb::workspace(ws);
  ASSERT_EQ(b.query("SELECT COUNT(*) FROM t"), R"({"columns":["count"],"rows":[[2]]})");
  ASSERT_EQ(a.query("INSERT INTO t VALUES (3, 'three')"), R"({"mutated":1})");
  const std::string path = ws + "/qm_manifest.json";
  const std::string good = read_file(path);
  std::string bad = good;
  const size_t at = bad.find("\"row_versions\":3");
  ASSERT_NE(at, std::string::npos) << good;
  bad.replace(at, 16, "\"row_versions\":9");
  write_file(path + ".tmp", bad);
  ASSERT_EQ(std::rename((path + ".tmp").c_str(), path.c_str()), 0);
  EXPECT_EQ(qm_open_dev(ws.c_str()), nullptr);
  const std::string refused = "error: " + last_error();
  EXPECT_NE(refused.find("record version(s)"), std::string::npos) << refused;
  EXPECT_EQ(b.query("SELECT * FROM t"), refused);
  EXPECT_EQ(b.query("SELECT COUNT(*) FROM t"), refused);
  write_file(path + ".tmp", good);
  ASSERT_EQ(std::rename((path + ".tmp").c_str(), path.c_str()), 0);
  EXPECT_EQ(b.query("SELECT * FROM t WHERE id = 3"), R"({"columns":["id","v"],"rows":[[3,"three"]]})");
  EXPECT_EQ(b.query("INSERT INTO t VALUES (4, 'four')"), R"({"mutated":1})");
  EXPECT_EQ(a.query("SELECT COUNT(*) FROM t"), R"({"columns":["count"],"rows":[[4]]})");
}

}  // namespace
}  // namespace qm::test
