// The commit log through the C interface: the calls' texts and defaults, one record per
// statement with the manifest the workspace holds, feed cursors, damaged records, pruning
// and its checkpoint, the retention limits, rollback, and a replica built from the feed alone.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/blake3.h"
#include "support/c_api.h"
#include "support/temp_dir.h"

namespace {

using namespace qm::test;
namespace stdfs = std::filesystem;

const std::string kDone = R"({"done":true})";

std::string seq_name(uint64_t seq) {
  std::string s = std::to_string(seq);
  return std::string(20 - s.size(), '0') + s;
}

std::string status(const CDb& db) { return take_json(qm_commit_log_status(db.get())); }
std::string changes(const CDb& db, uint64_t after, uint64_t max) {
  return take_json(qm_changes_since(db.get(), after, max));
}
std::string ok_or_error(int ok) { return ok ? "ok" : "error: " + qm::test::last_error(); }

std::string bytes_of(const nlohmann::json& array) {
  std::string out;
  out.reserve(array.size());
  for (const auto& b : array) out.push_back(static_cast<char>(b.get<int>()));
  return out;
}

TEST(CommitLogCalls, ArgumentsHandlesAndModes) {
  TempDir tmp;
  CDb ws = CDb::workspace(tmp.join("ws"));
  CDb mem = CDb::memory();
  EXPECT_EQ(status(ws), "error: transaction error: commit log is not enabled; call enable_commit_log first");
  const std::string invalid = "error: query resource limit exceeded: invalid commit-log limits";
  struct Case {
    uint64_t tx, retained, commits;
    std::string want;
  } cases[] = {
      {300ull << 20, 0, 0, invalid},
      {1 << 20, 1 << 19, 0, invalid},
      {0, 0, 65537, invalid},
      {0, 0, 0, "ok"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ok_or_error(qm_enable_commit_log(ws.get(), c.tx, c.retained, c.commits)), c.want) << c.tx;
  // Turning the log on writes nothing; the defaults stand in for zeros.
  EXPECT_FALSE(stdfs::exists(tmp.join("ws/.qm-log")));
  EXPECT_EQ(status(ws),
            R"({"head_sequence":0,"pruned_through":0,"retained_commits":0,"retained_bytes":0,"limits":)"
            R"({"max_transaction_bytes":67108864,"max_retained_bytes":268435456,"max_retained_commits":4096}})");
  EXPECT_EQ(changes(ws, 0, 0), "[]");
  EXPECT_EQ(changes(ws, 1, 10), "error: transaction error: change cursor is beyond the committed head");

  EXPECT_EQ(ok_or_error(qm_enable_commit_log(mem.get(), 0, 0, 0)),
            "error: transaction error: commit log requires a filesystem workspace");
  EXPECT_EQ(changes(mem, 0, 1), "error: transaction error: change stream requires a filesystem workspace");
  EXPECT_EQ(ok_or_error(qm_prune_changes(mem.get(), 0)),
            "error: transaction error: change stream requires a filesystem workspace");

  EXPECT_EQ(ok_or_error(qm_enable_commit_log(nullptr, 0, 0, 0)), "error: qm_enable_commit_log: db handle is NULL");
  EXPECT_EQ(ok_or_error(qm_prune_changes(nullptr, 0)), "error: qm_prune_changes: db handle is NULL");
  EXPECT_EQ(take_json(qm_commit_log_status(nullptr)), "error: qm_commit_log_status: null handle");
  EXPECT_EQ(take_json(qm_changes_since(nullptr, 0, 0)), "error: qm_changes_since: null handle");

  ASSERT_EQ(ws.query("BEGIN"), kDone);
  EXPECT_EQ(ok_or_error(qm_prune_changes(ws.get(), 0)), "error: transaction error: cannot prune during a transaction");
  EXPECT_EQ(ok_or_error(qm_enable_commit_log(ws.get(), 0, 0, 0)),
            "error: transaction error: cannot configure log during a transaction");
  ASSERT_EQ(ws.query("ROLLBACK"), kDone);
  // An unlogged workspace with no history prunes at head 0 without growing a log.
  CDb plain = CDb::workspace(tmp.join("plain"));
  EXPECT_EQ(ok_or_error(qm_prune_changes(plain.get(), 0)), "ok");
  EXPECT_FALSE(stdfs::exists(tmp.join("plain/.qm-log")));
}

class LoggedWorkspace : public ::testing::Test {
 protected:
  void SetUp() override {
    db = CDb::workspace(dir());
    ASSERT_EQ(ok_or_error(qm_enable_commit_log(db.get(), 0, 0, 0)), "ok");
    ASSERT_EQ(db.query("CREATE TABLE t (id, name)"), kDone);
    ASSERT_EQ(db.query("CREATE INDEX ON t (id)"), kDone);
    ASSERT_EQ(db.query("INSERT INTO t VALUES (1, 'one'), (2, 'two')"), R"({"mutated":2})");
    ASSERT_EQ(db.query("UPDATE t SET name = 'a text long enough to be kept as a blob' WHERE id = 2"),
              R"({"mutated":1})");
  }
  std::string dir() const { return tmp.join("ws"); }
  std::string log(const std::string& name) const { return dir() + "/.qm-log/" + name; }
  nlohmann::json feed(uint64_t after, uint64_t max = 100) const {
    const std::string text = changes(db, after, max);
    EXPECT_TRUE(nlohmann::json::accept(text)) << text.substr(0, 200);
    return nlohmann::json::parse(text, nullptr, false);
  }

  TempDir tmp;
  CDb db{nullptr};
};

TEST_F(LoggedWorkspace, EveryStatementIsOneCheckedRecordEndingInTheWorkspaceManifest) {
  const auto all = feed(0);
  ASSERT_EQ(all.size(), 4u);
  // Each a checked binary record in its own directory (the layout is the journal tests' own).
  for (uint64_t seq = 1; seq <= 4; ++seq) {
    EXPECT_EQ(all[seq - 1]["sequence"], seq);
    EXPECT_TRUE(stdfs::exists(log(seq_name(seq) + "/change")));
  }
  for (const char* leftover : {"active", "preparing", "discarded"}) EXPECT_FALSE(stdfs::exists(log(leftover)));
  EXPECT_EQ(bytes_of(all[3]["manifest"]), read_file(dir() + "/qm_manifest.json"));
  EXPECT_EQ(all[3]["blobs"].size(), 1u);
  const auto manifest = nlohmann::json::parse(read_file(dir() + "/qm_manifest.json"));
  EXPECT_EQ(manifest["commit_sequence"], 4);
  EXPECT_GE(manifest["format_version"], 7);
  // A SELECT is not a commit; an explicit transaction is one, whatever it holds.
  EXPECT_EQ(db.query("SELECT name FROM t WHERE id = 1"), R"({"columns":["name"],"rows":[["one"]]})");
  ASSERT_EQ(db.query("BEGIN"), kDone);
  ASSERT_EQ(db.query("INSERT INTO t VALUES (3, 'three')"), R"({"mutated":1})");
  ASSERT_EQ(db.query("DELETE FROM t WHERE id = 1"), R"({"mutated":1})");
  ASSERT_EQ(db.query("COMMIT"), kDone);
  EXPECT_EQ(feed(4).size(), 1u);
  EXPECT_EQ(feed(0, 2).size(), 2u);
  EXPECT_EQ(feed(5).size(), 0u);
}

TEST_F(LoggedWorkspace, RollbackUndoesPagesAndReopenKeepsTheLog) {
  ASSERT_EQ(db.query("BEGIN"), kDone);
  ASSERT_EQ(db.query("UPDATE t SET name = 'changed' WHERE id > 0"), R"({"mutated":2})");
  for (int i = 0; i < 200; ++i) ASSERT_EQ(db.query("INSERT INTO t VALUES (10, 'filler filler')"), R"({"mutated":1})");
  EXPECT_TRUE(stdfs::exists(log("active/header")));
  ASSERT_EQ(db.query("ROLLBACK"), kDone);
  EXPECT_FALSE(stdfs::exists(log("active")));
  const std::string before = db.query("SELECT id, name FROM t ORDER BY id");
  EXPECT_EQ(before, R"({"columns":["id","name"],"rows":[[1,"one"],[2,"a text long enough to be kept as a blob"]]})");
  db.close();
  db = CDb::workspace(dir());
  EXPECT_EQ(db.query("SELECT id, name FROM t ORDER BY id"), before);
  // Logged again on open, with the default limits: low-level writes still go through SQL.
  EXPECT_EQ(db.query("INSERT INTO t VALUES (5, 'five')"), R"({"mutated":1})");
  EXPECT_EQ(feed(4).size(), 1u);
}

// The checkpoint's bytes, cursor texts and the retention rules are the feed tests' own; here
// the calls reach them.
TEST_F(LoggedWorkspace, CursorsPruningAndTheCheckpoint) {
  EXPECT_EQ(ok_or_error(qm_prune_changes(db.get(), 5)), "error: transaction error: cannot prune a future commit");
  ASSERT_EQ(ok_or_error(qm_prune_changes(db.get(), 2)), "ok");
  EXPECT_TRUE(stdfs::exists(log("checkpoint")));
  EXPECT_EQ(changes(db, 1, 10), "error: transaction error: change cursor 1 was pruned through 2; obtain a new base image");
  EXPECT_EQ(feed(2).size(), 2u);
  const auto st = nlohmann::json::parse(status(db));
  EXPECT_EQ(st["head_sequence"], 4);
  EXPECT_EQ(st["pruned_through"], 2);
  EXPECT_EQ(st["retained_commits"], 2);
  // An older acknowledgement is no error and changes nothing.
  EXPECT_EQ(ok_or_error(qm_prune_changes(db.get(), 1)), "ok");
}

TEST_F(LoggedWorkspace, DamagedOrMissingRecordsAreRefused) {
  std::string change = read_file(log(seq_name(3) + "/change"));
  change[change.size() / 2] ^= 1;
  write_file(log(seq_name(3) + "/change"), change);
  const std::string tampered = changes(db, 0, 10);
  EXPECT_EQ(tampered, "error: data corruption: commit log checksum mismatch");
  EXPECT_EQ(changes(db, 3, 10).substr(0, 1), "[");  // records after the damage still read
  stdfs::remove_all(log(seq_name(2)));
  const std::string missing = changes(db, 3, 10);
  EXPECT_EQ(missing.rfind("error: data corruption", 0), 0u) << missing;
}

TEST(CommitLogLimits, AHandleOpenedBeforeTheLogWasTurnedOnCommitsThroughIt) {
  TempDir tmp;
  CDb other = CDb::workspace(tmp.join("ws"));
  CDb db = CDb::workspace(tmp.join("ws"));
  ASSERT_EQ(ok_or_error(qm_enable_commit_log(db.get(), 0, 0, 0)), "ok");
  ASSERT_EQ(db.query("CREATE TABLE t (a)"), kDone);
  ASSERT_EQ(other.query("BEGIN"), kDone);
  ASSERT_EQ(other.query("INSERT INTO t VALUES (1)"), R"({"mutated":1})");
  ASSERT_EQ(other.query("COMMIT"), kDone);
  EXPECT_EQ(nlohmann::json::parse(status(db))["head_sequence"], 2);
  EXPECT_EQ(nlohmann::json::parse(changes(db, 1, 1)).size(), 1u);
}

TEST(CommitLogLimits, RetentionIsEnforcedUntilPruned) {
  TempDir tmp;
  CDb db = CDb::workspace(tmp.join("ws"));
  ASSERT_EQ(ok_or_error(qm_enable_commit_log(db.get(), 0, 0, 2)), "ok");
  ASSERT_EQ(db.query("CREATE TABLE t (a)"), kDone);
  ASSERT_EQ(db.query("INSERT INTO t VALUES (1)"), R"({"mutated":1})");
  const std::string full = db.query("INSERT INTO t VALUES (2)");
  EXPECT_NE(full.find("commit log is full; prune acknowledged commits"), std::string::npos) << full;
  ASSERT_EQ(ok_or_error(qm_prune_changes(db.get(), 2)), "ok");
  EXPECT_EQ(db.query("INSERT INTO t VALUES (2)"), R"({"mutated":1})");
  // A transaction larger than its byte budget is refused whole.
  ASSERT_EQ(ok_or_error(qm_enable_commit_log(db.get(), 16384, 0, 0)), "ok");
  std::string values = "(0)";
  for (int i = 1; i < 3000; ++i) values += ", (" + std::to_string(i) + ")";
  const std::string big = db.query("INSERT INTO t VALUES " + values);
  EXPECT_NE(big.find("commit log byte limit reached; reduce transaction or prune history"), std::string::npos) << big;
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM t"), R"({"columns":["count"],"rows":[[2]]})");
}

TEST_F(LoggedWorkspace, AReplicaBuiltFromTheFeedAloneAnswersAsTheSource) {
  std::string values = "(100, 'x')";
  for (int i = 101; i < 1100; ++i) values += ", (" + std::to_string(i) + ", 'row " + std::to_string(i) + "')";
  ASSERT_EQ(db.query("INSERT INTO t VALUES " + values), R"({"mutated":1000})");
  ASSERT_EQ(db.query("DELETE FROM t WHERE id = 500"), R"({"mutated":1})");
  ASSERT_EQ(db.query("CREATE TABLE u (k)"), kDone);
  ASSERT_EQ(db.query("INSERT INTO u VALUES ('a longer value kept in the blob store for u')"), R"({"mutated":1})");

  const std::string replica = tmp.join("replica");
  stdfs::create_directories(replica + "/chunks");
  uint64_t applied = 0;
  for (const auto& record : feed(0, 1000)) {
    applied = record["sequence"];
    for (const auto& page : record["pages"]) {
      const uint64_t id = page["page_id"];
      char name[32];
      std::snprintf(name, sizeof name, "chunk_%05llu.qmd", static_cast<unsigned long long>(id / 16384));
      const std::string path = replica + "/chunks/" + name;
      std::string chunk = read_file(path);
      const size_t at = (id % 16384) * 4096;
      if (chunk.size() < at + 4096) chunk.resize(at + 4096, '\0');
      chunk.replace(at, 4096, bytes_of(page["bytes"]));
      write_file(path, chunk);
    }
    for (const auto& blob : record["blobs"]) {
      const std::string hash = blob["hash"];
      stdfs::create_directories(replica + "/blobs/" + hash.substr(0, 2));
      write_file(replica + "/blobs/" + hash.substr(0, 2) + "/" + hash, bytes_of(blob["bytes"]));
    }
    write_file(replica + "/qm_manifest.json", bytes_of(record["manifest"]));
  }
  // The replica holds no history of its own: it records the sequence it applied as its
  // checkpoint, so its manifest's anchor is accounted for.
  std::string through(8, '\0');
  for (int i = 0; i < 8; ++i) through[i] = static_cast<char>(applied >> (8 * i));
  const auto digest = qm::blake3(through);
  stdfs::create_directories(replica + "/.qm-log");
  write_file(replica + "/.qm-log/checkpoint", std::string(reinterpret_cast<const char*>(digest.data()), 32) + through);
  CDb copy = CDb::workspace(replica);
  for (const char* sql : {"SELECT id, name FROM t ORDER BY id", "SELECT name FROM t WHERE id = 700",
                          "SELECT COUNT(*) FROM t", "SELECT k FROM u"})
    EXPECT_EQ(copy.query(sql), db.query(sql)) << sql;
}

}  // namespace
