// The copy-tree backup an earlier version's workspace transaction left: what it holds, what a
// restore puts back or removes, and the refusals that protect the live files.
#include "db/atomicity/copy_tree_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/copy_tree_layout.h"
#include "support/db_test_util.h"
#include "support/temp_dir.h"

namespace qm::db {
namespace {

namespace stdfs = std::filesystem;
using qm::test::prepare_workspace_transaction;

class CopyTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ws_ = tmp_.join("ws");
    stdfs::create_directories(ws_ + "/chunks");
    qm::test::write_file(ws_ + "/qm_manifest.json", "old manifest");
    qm::test::write_file(ws_ + "/chunks/chunk_00000.qmd", std::string(8192, 'c'));
  }
  std::string at(const std::string& name) const { return ws_ + "/" + name; }
  bool exists(const std::string& name) const { return stdfs::exists(stdfs::symlink_status(at(name))); }

  qm::test::TempDir tmp_;
  std::string ws_;
};

TEST_F(CopyTreeTest, RestorePutsBackWhatExistedAndRemovesWhatDidNot) {
  ASSERT_TRUE(prepare_workspace_transaction(ws_).has_value());
  EXPECT_EQ(qm::test::read_file(at(kTxMarker)), "QMTX1\n");
  EXPECT_FALSE(exists(std::string(kTxBackup) + "/blobs"));  // there was none at begin
  EXPECT_EQ(qm::test::read_file(at(std::string(kTxBackup) + "/chunks/chunk_00000.qmd")), std::string(8192, 'c'));
  EXPECT_EQ(error_text(prepare_workspace_transaction(ws_)),
            "transaction error: workspace already has an active recovery marker");
  // Changes made during the transaction.
  qm::test::write_file(at("qm_manifest.json"), "new manifest");
  qm::test::write_file(at("chunks/chunk_00001.qmd"), "more");
  stdfs::create_directories(at("blobs/ab"));
  qm::test::write_file(at("blobs/ab/abcd"), "blob");
  ASSERT_TRUE(restore_workspace_transaction(ws_).has_value());
  EXPECT_EQ(qm::test::read_file(at("qm_manifest.json")), "old manifest");
  EXPECT_FALSE(exists("chunks/chunk_00001.qmd"));
  EXPECT_FALSE(exists("blobs"));
  EXPECT_FALSE(exists(kTxMarker));
  EXPECT_FALSE(exists(kTxBackup));
  EXPECT_EQ(error_text(restore_workspace_transaction(ws_)),
            "transaction error: workspace transaction recovery files are incomplete");
}

TEST_F(CopyTreeTest, BlobFilesAreSharedWithTheBackupAndChunkFilesCopied) {
  stdfs::create_directories(at("blobs/ab"));
  qm::test::write_file(at("blobs/ab/abcd"), "blob");
  ASSERT_TRUE(prepare_workspace_transaction(ws_).has_value());
  const std::string backup = std::string(kTxBackup) + "/";
  EXPECT_TRUE(stdfs::equivalent(at("blobs/ab/abcd"), at(backup + "blobs/ab/abcd")));
  EXPECT_FALSE(stdfs::equivalent(at("chunks/chunk_00000.qmd"), at(backup + "chunks/chunk_00000.qmd")));
  EXPECT_EQ(qm::test::read_file(at(backup + "chunks/chunk_00000.qmd")), std::string(8192, 'c'));
  // A chunk changed in place leaves the backup as it was; the restore brings back both.
  qm::test::write_file(at("chunks/chunk_00000.qmd"), "changed");
  stdfs::remove_all(at("blobs"));
  ASSERT_TRUE(restore_workspace_transaction(ws_).has_value());
  EXPECT_EQ(qm::test::read_file(at("chunks/chunk_00000.qmd")), std::string(8192, 'c'));
  EXPECT_EQ(qm::test::read_file(at("blobs/ab/abcd")), "blob");
}

TEST_F(CopyTreeTest, LinksInTheBackupOrLiveItemsAreRefusedBeforeAnythingChanges) {
  ASSERT_TRUE(prepare_workspace_transaction(ws_).has_value());
  qm::test::write_file(at("qm_manifest.json"), "new manifest");
  const std::string planted = at(std::string(kTxBackup) + "/chunks/link");
  stdfs::create_symlink("/etc/hostname", planted);
  EXPECT_EQ(error_text(restore_workspace_transaction(ws_)),
            "transaction error: refusing to copy symlink in workspace transaction: " + planted);
  EXPECT_EQ(qm::test::read_file(at("qm_manifest.json")), "new manifest");
  EXPECT_TRUE(exists(kTxMarker));
  stdfs::remove(planted);
  stdfs::remove_all(at("chunks"));
  stdfs::create_directory_symlink("/tmp", at("chunks"));
  EXPECT_EQ(error_text(restore_workspace_transaction(ws_)),
            "transaction error: refusing to replace symlink during transaction recovery: " + at("chunks"));
  stdfs::remove(at("chunks"));
  // Recovery at open finishes the interrupted transaction and tidies a stale temporary marker.
  qm::test::write_file(at(kTxMarkerTmp), "x");
  ASSERT_TRUE(recover_workspace_transaction(ws_).has_value());
  EXPECT_EQ(qm::test::read_file(at("qm_manifest.json")), "old manifest");
  EXPECT_EQ(qm::test::read_file(at("chunks/chunk_00000.qmd")), std::string(8192, 'c'));
  EXPECT_FALSE(exists(kTxMarkerTmp));
}

TEST_F(CopyTreeTest, OrphanedBackupWithoutMarkerIsRemovedAtOpen) {
  ASSERT_TRUE(prepare_workspace_transaction(ws_).has_value());
  stdfs::remove(at(kTxMarker));  // as after a commit whose backup removal was cut short
  qm::test::write_file(at("qm_manifest.json"), "committed");
  ASSERT_TRUE(recover_workspace_transaction(ws_).has_value());
  EXPECT_FALSE(exists(kTxBackup));
  EXPECT_EQ(qm::test::read_file(at("qm_manifest.json")), "committed");
}

}  // namespace
}  // namespace qm::db
