// The change feed's cursors and limits, the status JSON, pruning with its checkpoint, and
// the retention limits a begin enforces.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/blake3.h"
#include "core/bytes.h"
#include "journal/feed.h"
#include "journal/files.h"
#include "support/result_text.h"
#include "journal/inventory.h"
#include "journal/journal_fixture.h"
#include "support/temp_dir.h"

namespace qm::journal {
namespace {

using ChangeFeedWs = test::InWorkspace;
using PruneWs = test::InWorkspace;
using RetentionWs = test::InWorkspace;
using StatusWs = test::InWorkspace;

using namespace qm::test;
using test::Workspace;

namespace sfs = std::filesystem;

std::string sequences(const Result<std::vector<ChangeCommit>>& r) {
  if (!r) return r.error().message();
  std::string out = "[";
  for (const auto& c : *r) out += " " + std::to_string(c.sequence);
  return out + " ]";
}

std::string dir_of(const std::string& root, uint64_t seq) { return root + "/.qm-log/" + sequence_name(seq); }

TEST_F(ChangeFeedWs, CursorsAndBatchLimits) {
  for (char c : {'1', '2', '3', '4', '5'}) ASSERT_TRUE(ws.commit({{0, c}}));
  const std::string root = ws.root();
  struct Case {
    uint64_t after, max;
    std::string expected;
  } before_prune[] = {
      {2, 2, "[ 3 4 ]"},
      {0, 100, "[ 1 2 3 4 5 ]"},
      {5, 10, "[ ]"},
      {6, 0, "transaction error: change cursor is beyond the committed head"},
      {0, 4097, "query resource limit exceeded: change batch exceeds 4096 commits"},
  };
  for (const auto& c : before_prune) EXPECT_EQ(sequences(changes(root, c.after, c.max)), c.expected) << c.after;
  // The records carry the after-images the chunk files hold.
  EXPECT_EQ((*changes(root, 4, 1))[0].pages[0].bytes, test::page_of('5'));

  ASSERT_TRUE(prune(root, 3));
  Case after_prune[] = {
      {2, 1, "transaction error: change cursor 2 was pruned through 3; obtain a new base image"},
      {2, 0, "[ ]"},
      {3, 10, "[ 4 5 ]"},
  };
  for (const auto& c : after_prune) EXPECT_EQ(sequences(changes(root, c.after, c.max)), c.expected) << c.after;

  // A record filed under another commit's number fails the whole batch.
  sfs::copy_file(dir_of(root, 4) + "/change", dir_of(root, 5) + "/change", sfs::copy_options::overwrite_existing);
  EXPECT_EQ(sequences(changes(root, 3, 10)), "data corruption: change stream sequence or schema mismatch");
}

// A new log's status, with the default limits, is stated by the commit-log call tests.
TEST_F(StatusWs, ExactJsonOfARetainingLog) {
  for (char c : {'1', '2', '3'}) ASSERT_TRUE(ws.commit({{0, c}}));
  ASSERT_TRUE(prune(ws.root(), 1));
  sfs::create_directory(dir_of(ws.root(), 1));  // left by an interrupted prune: still counted
  // A commit keeps its whole journal directory: record, header, saved manifest, undo files.
  uint64_t bytes = 0;
  for (const auto& e : sfs::recursive_directory_iterator(ws.root() + "/.qm-log"))
    if (e.is_regular_file()) bytes += e.file_size();
  EXPECT_EQ(status_json(*status(ws.root(), {1, 2, 3})),
            "{\"head_sequence\":3,\"pruned_through\":1,\"retained_commits\":3,\"retained_bytes\":" +
                std::to_string(bytes) +
                ",\"limits\":{\"max_transaction_bytes\":1,\"max_retained_bytes\":2,\"max_retained_commits\":3}}");
}

TEST_F(PruneWs, TheCheckpointIsWrittenBeforeCommitsGo) {
  const std::string root = ws.root();
  // Never logged: nothing to acknowledge and no log is created.
  ASSERT_TRUE(prune(root, 0));
  EXPECT_FALSE(must(present(root + "/.qm-log")));

  for (char c : {'1', '2', '3', '4'}) ASSERT_TRUE(ws.commit({{0, c}}));
  ASSERT_TRUE(prune(root, 3));
  std::string through(8, '\0');
  store_u64(reinterpret_cast<uint8_t*>(through.data()), 3);
  Digest d = blake3(through);
  EXPECT_EQ(read_file(root + "/.qm-log/checkpoint"), std::string(reinterpret_cast<const char*>(d.data()), 32) + through);
  for (uint64_t s : {1, 2, 3}) EXPECT_FALSE(must(present(dir_of(root, s))));
  EXPECT_TRUE(must(present(dir_of(root, 4))));

  sfs::create_directory(dir_of(root, 2));  // an interrupted prune's leftover
  ASSERT_TRUE(prune(root, 1));             // below the checkpoint: nothing is touched
  EXPECT_TRUE(must(present(dir_of(root, 2))));
  ASSERT_TRUE(prune(root, 3));             // the same checkpoint again removes the leftover
  EXPECT_FALSE(must(present(dir_of(root, 2))));
  auto future = prune(root, 5);
  EXPECT_EQ(future ? "ok" : future.error().message(), "transaction error: cannot prune a future commit");
  for (const auto& e : sfs::directory_iterator(root + "/.qm-log"))
    EXPECT_NE(e.path().filename().string().rfind(".tmp", 0), 0u) << e.path();
}

TEST_F(RetentionWs, ABeginRefusesAFullLog) {
  const std::string root = ws.root();
  ASSERT_TRUE(ws.commit({{0, '1'}}));
  ASSERT_TRUE(ws.commit({{0, '2'}}));
  ASSERT_TRUE(prune(root, 1));
  sfs::create_directory(dir_of(root, 1));  // at or below the checkpoint, yet it counts
  auto full = begin_journal(ws.store(), {1 << 20, 1 << 20, 2});
  EXPECT_EQ(full ? "ok" : full.error().message(),
            "query resource limit exceeded: commit log is full; prune acknowledged commits");
  // Bytes already retained count against max_retained_bytes from the begin on.
  uint64_t retained = 0, counter = 0;
  retained = *tree_size_bounded(root + "/.qm-log", 0, counter);
  auto bytes = begin_journal(ws.store(), {4096, retained + 1000, 10});
  EXPECT_EQ(bytes ? "ok" : bytes.error().message(),
            "query resource limit exceeded: commit log byte limit reached; reduce transaction or prune history");
  EXPECT_FALSE(must(present(root + "/.qm-log/active")));
  auto next = ws.commit({{0, '3'}}, {1 << 16, retained + (1 << 17), 10});
  EXPECT_EQ(next ? "ok" : next.error().message(), "ok");
  EXPECT_FALSE(must(present(root + "/.qm-log/preparing")));
}

// A handle's tally stands for a full inventory and walk of the log: after each of its own
// commits and prunes it must equal them, and any change by another handle must make the next
// begin learn the log again (else the limits would be checked against a stale count).
TEST_F(RetentionWs, AHandlesTallyMatchesAFullWalkAndIsLearnedAgainAfterAnotherHandle) {
  const std::string root = ws.root();
  LogTally tally;
  auto expect_walk = [&](const std::string& where) {
    SCOPED_TRACE(where);
    ASSERT_TRUE(tally.current(root));
    Inventory inv = *inventory(root);
    uint64_t counter = 0;
    EXPECT_EQ(tally.retained_bytes(), *tree_size_bounded(log_dir(root), 0, counter));
    EXPECT_EQ(tally.commits(), inv.sequences.size());
    EXPECT_EQ(tally.head(), inv.head);
    EXPECT_EQ(tally.pruned_through(), inv.pruned_through);
  };
  ASSERT_TRUE(ws.commit({{0, 'a'}}, {}, &tally));
  expect_walk("learned at the first begin");
  ASSERT_TRUE(ws.commit({{1, 'b'}, {2, 'c'}, {4, 'n'}}, {}, &tally));  // page 4 is new: no undo file
  expect_walk("after a commit of three pages");
  ASSERT_TRUE(ws.commit({}, {}, &tally));
  expect_walk("after a commit of no page");
  ASSERT_TRUE(prune(root, 2, &tally));
  expect_walk("after its own prune");

  ASSERT_TRUE(prune(root, 3));  // another handle's prune replaces the checkpoint
  EXPECT_FALSE(tally.current(root));
  ASSERT_TRUE(ws.commit({{0, 'd'}}, {}, &tally));
  expect_walk("learned again after another handle's prune");
  ASSERT_TRUE(ws.commit({{0, 'e'}}));  // another handle's commit replaces the manifest
  EXPECT_FALSE(tally.current(root));

  // Two commits retained (4 and 5) and room for three: the count comes from the log, not
  // from what this handle saw.
  const CommitLogOptions three{1 << 20, 1 << 24, 3};
  ASSERT_TRUE(ws.commit({{0, 'f'}}, three, &tally));
  expect_walk("learned again after another handle's commit");
  auto full = ws.commit({{0, 'g'}}, three, &tally);
  EXPECT_EQ(full ? "ok" : full.error().message(),
            "query resource limit exceeded: commit log is full; prune acknowledged commits");
}

}  // namespace
}  // namespace qm::journal
