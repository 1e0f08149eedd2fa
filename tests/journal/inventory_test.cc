// The inventory over crafted trees: anchors, gaps, checkpoints, stray entries, tampering
// and the rules for workspaces whose manifest carries no anchor.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "core/bytes.h"
#include "journal/change_record.h"
#include "journal/feed.h"
#include "journal/files.h"
#include "journal/inventory.h"
#include "journal/journal_fixture.h"
#include "support/temp_dir.h"

namespace qm::journal {
namespace {

using InventoryWs = test::InWorkspace;

using InventoryDir = qm::test::InTempDir;
using namespace qm::test;
using namespace test;

namespace sfs = std::filesystem;

std::string describe(const Result<Inventory>& r) {
  if (!r) return r.error().message();
  std::string out = "head " + std::to_string(r->head) + " pruned " + std::to_string(r->pruned_through) + " [";
  for (uint64_t s : r->sequences) out += " " + std::to_string(s);
  return out + " ]";
}

std::string dir_of(const std::string& root, uint64_t seq) { return root + "/.qm-log/" + sequence_name(seq); }

std::string checkpoint_bytes(uint64_t through) {
  std::string p(8, '\0');
  store_u64(reinterpret_cast<uint8_t*>(p.data()), through);
  return checked_bytes(p);
}

TEST(Inventory, CommitDirectoriesMustAgreeWithTheAnchor) {
  TempDir tmp;
  const std::string base = tmp.join("base");
  {
    Workspace ws(base);
    for (char c : {'x', 'y', 'z'}) ASSERT_TRUE(ws.commit({{0, c}}));
    ASSERT_TRUE(prune(base, 1));
  }
  auto anchor = [](uint64_t seq, int version = 7) {
    return [=](const std::string& r) { write_file(r + "/qm_manifest.json", manifest_text(4, 3, seq, {}, version)); };
  };
  struct Case {
    std::string name;
    std::function<void(const std::string&)> change;
    std::string expected;
  } cases[] = {
      {"as committed", [](const std::string&) {}, "head 3 pruned 1 [ 2 3 ]"},
      {"stray entries", [](const std::string& r) {
         write_file(r + "/.qm-log/.tmpAbCdEf", "x");
         write_file(r + "/.qm-log/notes", "x");
         sfs::create_directory(r + "/.qm-log/0000000000000000000x");
       }, "head 3 pruned 1 [ 2 3 ]"},
      {"leftover below checkpoint", [](const std::string& r) { sfs::create_directory(dir_of(r, 1)); },
       "head 3 pruned 1 [ 1 2 3 ]"},
      {"tampered record, anchored", [](const std::string& r) { write_file(dir_of(r, 3) + "/change", "junk"); },
       "head 3 pruned 1 [ 2 3 ]"},
      {"missing sequence", [](const std::string& r) { sfs::remove_all(dir_of(r, 2)); },
       "data corruption: commit history is missing an unpruned sequence"},
      {"record of a middle commit missing", [](const std::string& r) { sfs::remove(dir_of(r, 2) + "/change"); },
       "data corruption: commit history is missing an unpruned sequence"},
      {"record of the last commit missing", [](const std::string& r) { sfs::remove(dir_of(r, 3) + "/change"); },
       "data corruption: commit history is missing its acknowledged tail; restore a verified backup"},
      {"manifest written as the array of its fields", [](const std::string& r) {
         write_file(r + "/qm_manifest.json", "[7,4,3,null,3,[],[],[],null,[]]");
       }, "head 3 pruned 1 [ 2 3 ]"},
      {"manifest replaced by a directory", [](const std::string& r) {
         sfs::remove(r + "/qm_manifest.json");
         sfs::create_directory(r + "/qm_manifest.json");
       }, "i/o error: read "},
      {"anchor past the tail", anchor(4),
       "data corruption: commit history is missing its acknowledged tail; restore a verified backup"},
      {"anchor below the tail", anchor(2), "data corruption: commit history exceeds the manifest sequence anchor"},
      {"record replaced by a directory", [](const std::string& r) {
         sfs::remove(dir_of(r, 3) + "/change");
         sfs::create_directory(dir_of(r, 3) + "/change");
       }, "data corruption: expected regular journal file: "},
      {"commit entry not a directory", [](const std::string& r) { write_file(dir_of(r, 4), "x"); },
       "data corruption: expected real journal directory: "},
      {"tampered checkpoint", [](const std::string& r) { write_file(r + "/.qm-log/checkpoint", checked_bytes("1234567")); },
       "data corruption: invalid log checkpoint"},
      {"format above 8", anchor(3, 108), "data corruption: unsupported workspace format version 108 (maximum 8)"},
      {"format 8 marker missing", [](const std::string& r) {
         write_file(r + "/qm_manifest.json",
                    "{\"format_version\":8,\"clock\":4,\"commit_sequence\":3,\"page_count\":3,\"cas_hashes\":[]}");
       }, "data corruption: format-8 logging marker/sequence anchor mismatch"},
      {"format 9 without marker", [](const std::string& r) {
         write_file(r + "/qm_manifest.json",
                    "{\"format_version\":9,\"clock\":4,\"commit_sequence\":3,\"page_count\":3,\"cas_hashes\":[]}");
       }, "data corruption: unsupported workspace format version 9 (maximum 8)"},
  };
  for (const auto& c : cases) {
    const std::string root = tmp.join("case");
    sfs::remove_all(root);
    sfs::copy(base, root, sfs::copy_options::recursive);
    c.change(root);
    std::string got = describe(inventory(root));
    EXPECT_EQ(got.substr(0, c.expected.size()), c.expected) << c.name << ": " << got;
  }
}

TEST_F(InventoryDir, WithoutAnAnchorOnlyEmptyOrVerifiableHistoryIsAccepted) {
  auto legacy_manifest = manifest_text(2, 0, std::nullopt, {}, 5);
  auto write_commit = [&](const std::string& root, uint64_t seq, const std::string& manifest) {
    ChangeCommit c;
    c.sequence = seq;
    c.manifest = manifest;
    LimitedBytes out(1 << 20);
    ASSERT_TRUE(encode_change(out, c));
    sfs::create_directories(dir_of(root, seq));
    write_file(dir_of(root, seq) + "/change", checked_bytes(out.bytes()));
  };
  struct Case {
    std::string name;
    std::function<void(const std::string&)> build;
    std::string expected;
  } cases[] = {
      {"nothing at all", [](const std::string&) {}, "head 0 pruned 0 [ ]"},
      {"format 6, no log", [](const std::string& r) { write_file(r + "/qm_manifest.json", manifest_text(2, 0, {}, {}, 6)); },
       "head 0 pruned 0 [ ]"},
      {"format 7, empty log", [](const std::string& r) {
         write_file(r + "/qm_manifest.json", manifest_text(2, 0, {}, {}, 7));
         sfs::create_directory(r + "/.qm-log");
       }, "head 0 pruned 0 [ ]"},
      {"format 7 over a checkpoint", [](const std::string& r) {
         write_file(r + "/qm_manifest.json", manifest_text(2, 0, {}, {}, 7));
         sfs::create_directory(r + "/.qm-log");
         write_file(r + "/.qm-log/checkpoint", checkpoint_bytes(2));
       }, "data corruption: legacy commit history has no verifiable sequence anchor; restore a verified backup"},
      {"format 5 over a checkpoint", [&](const std::string& r) {
         write_file(r + "/qm_manifest.json", legacy_manifest);
         sfs::create_directory(r + "/.qm-log");
         write_file(r + "/.qm-log/checkpoint", checkpoint_bytes(2));
       }, "head 2 pruned 2 [ ]"},
      {"last record holds the manifest", [&](const std::string& r) {
         write_file(r + "/qm_manifest.json", legacy_manifest);
         write_commit(r, 1, "old");
         write_commit(r, 2, legacy_manifest);
       }, "head 2 pruned 0 [ 1 2 ]"},
      {"last record differs", [&](const std::string& r) {
         write_file(r + "/qm_manifest.json", legacy_manifest);
         write_commit(r, 1, legacy_manifest + " ");
       }, "data corruption: legacy commit history does not match the database; restore a verified backup"},
      {"last record tampered", [&](const std::string& r) {
         write_file(r + "/qm_manifest.json", legacy_manifest);
         write_commit(r, 1, legacy_manifest);
         write_file(dir_of(r, 1) + "/change", "junk");
       }, "data corruption: commit log checksum mismatch"},
  };
  for (const auto& c : cases) {
    const std::string root = tmp.join("case");
    sfs::remove_all(root);
    sfs::create_directories(root);
    c.build(root);
    EXPECT_EQ(describe(inventory(root)), c.expected) << c.name;
  }
}

TEST_F(InventoryWs, ALockFreeReaderReadsAgainUntilTheViewHoldsStill) {
  int calls = 0;
  // A commit lands during the first read (the manifest is replaced): that read's fault is
  // not reported, the second read's result is.
  auto r = read_stable(ws.root(), [&]() -> Result<int> {
    if (++calls == 1) {
      EXPECT_TRUE(ws.write_manifest(0));
      return fail(QmError::corruption("half-changed view"));
    }
    return calls;
  });
  EXPECT_EQ(r.value_or(-1), 2);
  auto never = read_stable(ws.root(), [&]() -> Result<int> {
    EXPECT_TRUE(ws.write_manifest(0));
    return fail(QmError::corruption("half-changed view"));
  });
  EXPECT_EQ(never ? "ok" : never.error().message(),
            "database is busy: the commit log kept changing while it was read; try again");
}

}  // namespace
}  // namespace qm::journal
