// The page journal of a logged transaction: charges, undo files, the commit record, its
// refusals and retirement, and recovery restoring the state before the transaction.
#include <gtest/gtest.h>

#include <filesystem>

#include "journal/change_record.h"
#include "journal/files.h"
#include "support/result_text.h"
#include "journal/inventory.h"
#include "journal/journal_fixture.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"

namespace qm::journal {
namespace {

using PageJournalWs = test::InWorkspace;
using RecoveryWs = test::InWorkspace;

using PageJournalFs = qm::test::OnFaultyFs;
using namespace qm::test;
using namespace test;

template <class T>
std::string outcome(const Result<T>& r) { return r ? "ok" : r.error().message(); }

ChangeCommit record_of(const std::string& root, uint64_t seq) {
  return *decode_change(*read_checked(root + "/.qm-log/" + sequence_name(seq) + "/change"));
}

TEST_F(PageJournalWs, ChargesEachPageOnceAndCommitsItsAfterImages) {
  const std::string manifest_before = read_file(ws.root() + "/qm_manifest.json");
  ASSERT_TRUE(begin_journal(ws.store(), {}));
  Journal* j = installed_journal(ws.store());
  ASSERT_NE(j, nullptr);
  EXPECT_EQ(j->sequence(), 1u);
  EXPECT_EQ(j->used_bytes(), manifest_before.size() + 1024);
  EXPECT_EQ(*manifest_sequence(ws.store()), 1u);

  ASSERT_TRUE(ws.write_page(1, 'X'));
  ASSERT_TRUE(ws.write_page(1, 'Y'));  // second write: no charge, no second undo file
  ASSERT_TRUE(ws.write_page(4, 'N'));  // a page of the transaction's own: charged, no undo
  EXPECT_EQ(j->used_bytes(), manifest_before.size() + 1024 + 2 * kPageCharge);
  const std::string undo = ws.root() + "/.qm-log/active/undo";
  std::vector<std::string> undo_files;
  for (const auto& e : std::filesystem::directory_iterator(undo)) undo_files.push_back(e.path().filename());
  EXPECT_EQ(undo_files, std::vector<std::string>{sequence_name(1)});
  EXPECT_EQ(*read_checked(undo + "/" + sequence_name(1)), page_of('b'));

  std::string blob = ws.add_blob("blob bytes");
  ASSERT_TRUE(ws.finish({}));
  EXPECT_EQ(installed_journal(ws.store()), nullptr);
  EXPECT_FALSE(must(present(ws.root() + "/.qm-log/active")));
  ChangeCommit c = record_of(ws.root(), 1);
  EXPECT_EQ(c.sequence, 1u);
  EXPECT_EQ(c.before_tx, 1u);
  EXPECT_EQ(c.after_tx, 2u);
  EXPECT_EQ(c.manifest, read_file(ws.root() + "/qm_manifest.json"));
  ASSERT_EQ(c.pages.size(), 2u);
  EXPECT_EQ(c.pages[0].page_id, 1u);
  EXPECT_EQ(c.pages[0].bytes, page_of('Y'));
  EXPECT_EQ(c.pages[1].page_id, 4u);
  ASSERT_EQ(c.blobs.size(), 1u);
  EXPECT_EQ(c.blobs[0].hash, blob);
  EXPECT_EQ(*head(ws.root()), 1u);

  // The next transaction writes no page: the record holds the manifest and nothing else.
  ASSERT_TRUE(ws.commit({}));
  EXPECT_TRUE(record_of(ws.root(), 2).pages.empty());
  EXPECT_TRUE(record_of(ws.root(), 2).blobs.empty());
}

TEST_F(PageJournalWs, RefusalsLeaveNothingHalfDone) {
  const std::string root = ws.root();

  // Limits out of range, and a manifest alone larger than the transaction budget.
  EXPECT_EQ(outcome(begin_journal(ws.store(), {1, 0, 1})), "query resource limit exceeded: invalid commit-log limits");
  EXPECT_EQ(outcome(begin_journal(ws.store(), {100, 100, 1})),
            "query resource limit exceeded: journal file exceeds byte limit");
  EXPECT_FALSE(must(present(root + "/.qm-log/active")));

  // A page write past the budget is refused before anything is written.
  ASSERT_TRUE(begin_journal(ws.store(), {9000, 1 << 20, 10}));
  ASSERT_TRUE(ws.write_page(0, 'X'));
  EXPECT_EQ(outcome(ws.write_page(1, 'X')),
            "query resource limit exceeded: commit log byte limit reached; reduce transaction or prune history");
  EXPECT_EQ(chunk_page(root, 1), page_of('b'));
  // What is left of the budget cannot hold the record either.
  ASSERT_TRUE(ws.write_manifest(1));
  EXPECT_EQ(outcome(commit_journal(ws.store())), "query resource limit exceeded: change payload byte limit");
  ASSERT_TRUE(recover(root));
  EXPECT_EQ(chunk_page(root, 0), page_of('a'));
  ws.reopen(3, 1);
  ASSERT_TRUE(begin_journal(ws.store(), {}));

  // A manifest without the journal's sequence, or a blob that is not there, fails the commit
  // and keeps the journal for a rollback.
  ASSERT_TRUE(ws.write_manifest(7));
  EXPECT_EQ(outcome(commit_journal(ws.store())), "data corruption: commit manifest sequence anchor mismatch");
  ws.add_blob("gone");
  std::filesystem::remove_all(root + "/blobs");
  ASSERT_TRUE(ws.write_manifest(1));
  EXPECT_EQ(commit_journal(ws.store()).error().kind, ErrorKind::Io);
  EXPECT_NE(installed_journal(ws.store()), nullptr);
  EXPECT_TRUE(must(present(root + "/.qm-log/active")));

  // A second begin while `active` is there: the outcome is unknown until recovery.
  Workspace other_handle_view(root, 0);
  EXPECT_EQ(outcome(begin_journal(other_handle_view.store(), {})),
            "transaction outcome is unknown: journal preparation requires recovery: transaction error: commit log "
            "needs recovery");
  EXPECT_EQ(outcome(commit_journal(other_handle_view.store())), "transaction error: no active page journal");
}

TEST_F(PageJournalWs, FilesLeftByAFailedAttemptDoNotBlockItsRetry) {
  ASSERT_TRUE(begin_journal(ws.store(), {}));
  write_file(ws.root() + "/.qm-log/active/undo/" + sequence_name(2) + ".tmp", "half");
  ASSERT_TRUE(ws.write_page(2, 'Z'));
  EXPECT_EQ(*read_checked(ws.root() + "/.qm-log/active/undo/" + sequence_name(2)), page_of('c'));
  EXPECT_FALSE(must(present(ws.root() + "/.qm-log/active/undo/" + sequence_name(2) + ".tmp")));
  write_file(ws.root() + "/.qm-log/active/change", "from a commit that failed later");
  ASSERT_TRUE(ws.finish({}));
  EXPECT_EQ(record_of(ws.root(), 1).pages[0].bytes, page_of('Z'));
}

TEST_F(PageJournalFs, AFailedSyncAfterTheCommitPointRetiresTheJournal) {
  Workspace ws("/ws");
  ASSERT_TRUE(begin_journal(ws.store(), {}));
  ASSERT_TRUE(ws.write_page(0, 'X'));
  ASSERT_TRUE(ws.store().sync_data());
  ASSERT_TRUE(ws.write_manifest(1));
  // The commit flushes `active` and the root, renames, then flushes the log.
  disk.fail_nth(qm::test::FaultyFs::Op::SyncDir, 3);
  auto r = commit_journal(ws.store());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::TransactionOutcomeUnknown);
  EXPECT_EQ(r.error().message().rfind("transaction outcome is unknown: commit renamed but directory sync failed: ", 0), 0u);
  EXPECT_EQ(installed_journal(ws.store()), nullptr);
  EXPECT_TRUE(ws.write_page(1, 'Q'));  // no journal left to trip over
}

TEST(Recovery, MalformedUndoFilesStopRecoveryAndKeepTheJournal) {
  struct Case {
    std::string name, bytes, expected;
  } cases[] = {
      {std::string(sequence_name(0)) + ".tmp", "never renamed", "ok"},
      {"notapage", checked_bytes(page_of('z')), "data corruption: invalid journal entry name"},
      {sequence_name(9), checked_bytes(page_of('z')), "data corruption: undo page outside original image"},
      {sequence_name(1), checked_bytes("short"), "data corruption: invalid undo page size"},
      {sequence_name(1), "tampered", "data corruption: commit log checksum mismatch"},
  };
  for (const auto& c : cases) {
    TempDir tmp;
    Workspace ws(tmp.join("ws"));
    const std::string manifest = read_file(ws.root() + "/qm_manifest.json");
    ASSERT_TRUE(begin_journal(ws.store(), {}));
    ASSERT_TRUE(ws.write_manifest(1));
    write_file(ws.root() + "/.qm-log/active/undo/" + c.name, c.bytes);
    EXPECT_EQ(outcome(recover(ws.root())), c.expected) << c.name;
    EXPECT_EQ(must(present(ws.root() + "/.qm-log/active")), c.expected != "ok") << c.name;
    if (c.expected == "ok") {
      EXPECT_EQ(read_file(ws.root() + "/qm_manifest.json"), manifest);
    }
  }
}

TEST_F(RecoveryWs, AHeaderThatDisagreesWithItsManifestIsRefused) {
  ASSERT_TRUE(begin_journal(ws.store(), {}));
  const std::string header = ws.root() + "/.qm-log/active/header";
  const std::pair<std::string, std::string> cases[] = {
      {"{\"sequence\":1,\"before_tx\":9,\"page_count\":3}", "data corruption: journal header/manifest mismatch"},
      {"{\"sequence\":1,\"before_tx\":1,\"page_count\":4}", "data corruption: journal header/manifest mismatch"},
      {"{\"sequence\":5,\"before_tx\":1,\"page_count\":3}", "data corruption: active journal sequence mismatch"},
  };
  for (const auto& [json, expected] : cases) {
    write_file(header, checked_bytes(json));
    EXPECT_EQ(outcome(recover(ws.root())), expected) << json;
  }
}

}  // namespace
}  // namespace qm::journal
