// The file-system layer: the real implementation's primitives (unnamed temporary files,
// locks, no-replace renames, mapping) and the atomic replacement helper under injected faults
// and power loss.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/fs.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "support/result_text.h"

namespace qm {
namespace {

using PosixFsDir = qm::test::InTempDir;
using AtomicWriteFs = qm::test::OnFaultyFs;
using FaultDouble = qm::test::OnFaultyFs;
using Op = test::FaultyFs::Op;

TEST_F(PosixFsDir, UnnamedTemporaryFileLeavesNothingBehind) {
  {
    auto f = must(fs::posix().open_tmpfile(tmp.path()));
    ASSERT_TRUE(f.write_all_at(std::string_view("hello"), 0));
    auto map = must(f.map_readonly(5));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>((map)->bytes().data()), 5), "hello");
  }
  EXPECT_TRUE(fs::posix().list_dir(tmp.path())->empty());
}

TEST_F(PosixFsDir, ExclusiveLockIsRefusedToASecondHolder) {
  auto a = fs::posix().open(tmp.join(".lock"), fs::kRead | fs::kWrite | fs::kCreate);
  auto b = fs::posix().open(tmp.join(".lock"), fs::kRead | fs::kWrite | fs::kCreate);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(*a->try_lock_exclusive());
  EXPECT_FALSE(*b->try_lock_exclusive());
  ASSERT_TRUE(a->unlock());
  EXPECT_TRUE(*b->try_lock_exclusive());
  a->close();
  b->close();
}

TEST_F(PosixFsDir, RenameNoReplaceRefusesAnExistingTarget) {
  test::write_file(tmp.join("a"), "A");
  test::write_file(tmp.join("b"), "B");
  EXPECT_EQ(fs::posix().rename_noreplace(tmp.join("a"), tmp.join("b")).error().kind, ErrorKind::Io);
  EXPECT_EQ(test::read_file(tmp.join("b")), "B");
  ASSERT_TRUE(fs::posix().rename_noreplace(tmp.join("a"), tmp.join("c")));
  EXPECT_EQ(test::read_file(tmp.join("c")), "A");
}

TEST_F(PosixFsDir, AGroupFlushesEveryItemAndReportsTheFirstFailureInOrder) {
  test::write_file(tmp.join("a"), "A");
  auto a = must(fs::posix().open(tmp.join("a"), fs::kRead | fs::kWrite));
  std::vector<fs::SyncItem> items = {
      {&a, {}, false, true}, {nullptr, tmp.join("a"), false, false}, {nullptr, tmp.path(), true, false}};
  EXPECT_TRUE(fs::posix().sync_many(items));
  // Two failures, met on whichever threads: the first in the order given is the one reported.
  items.insert(items.begin() + 1, {nullptr, tmp.join("missing_first"), false, false});
  items.push_back({nullptr, tmp.join("missing_second"), true, false});
  for (int round = 0; round < 20; ++round) {
    auto r = fs::posix().sync_many(items);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().message().find("missing_first"), std::string::npos) << r.error().message();
  }
}

TEST_F(AtomicWriteFs, ReplacesTheTargetAndSurvivesPowerLossOrWithoutReplaceRefusesIt) {
  disk.put_file("/ws/manifest", "old");
  ASSERT_TRUE(fs::write_file_atomic("/ws/manifest", std::string_view("new")));
  disk.power_loss();
  EXPECT_EQ(disk.contents("/ws/manifest"), "new");
  fs::AtomicWriteOptions no_replace;
  no_replace.replace = false;
  EXPECT_FALSE(fs::write_file_atomic("/ws/manifest", std::string_view("second"), no_replace));
  EXPECT_EQ(disk.contents("/ws/manifest"), "new");
  EXPECT_EQ(disk.list_dir("/ws")->size(), 1u);
}

TEST(AtomicWrite, AnyFailingStepLeavesTheOldFileAndNoTemporary) {
  for (Op op : {Op::Open, Op::Write, Op::Sync, Op::Rename}) {
    test::FaultyFs disk;
    fs::ScopedFileSystem use(disk);
    disk.put_file("/ws/manifest", "old");
    disk.fail_nth(op, 1);
    EXPECT_FALSE(fs::write_file_atomic("/ws/manifest", std::string_view("new")));
    EXPECT_EQ(disk.contents("/ws/manifest"), "old");
    EXPECT_EQ(*disk.list_dir("/ws"), std::vector<std::string>{"manifest"}) << static_cast<int>(op);
  }
}

TEST_F(AtomicWriteFs, WithoutTheDirectoryFlushTheRenameIsNotDurable) {
  disk.put_file("/ws/manifest", "old");
  fs::AtomicWriteOptions opts;
  opts.sync_dir = false;
  opts.temp_path = "/ws/manifest.tmp";
  ASSERT_TRUE(fs::write_file_atomic("/ws/manifest", std::string_view("new"), opts));
  EXPECT_EQ(disk.contents("/ws/manifest"), "new");
  disk.power_loss();
  EXPECT_EQ(disk.contents("/ws/manifest"), "old");
}

TEST_F(FaultDouble, UnflushedFilesAndEntriesVanishOnPowerLoss) {
  disk.make_dirs("/d");
  auto f = must(disk.open("/d/file", fs::kWrite | fs::kCreate));
  ASSERT_TRUE(f.write_all_at(std::string_view("data"), 0));
  ASSERT_TRUE(f.sync());  // data durable, but the name is not
  disk.power_loss();
  EXPECT_FALSE(disk.exists("/d/file"));
  EXPECT_EQ(f.sync().error().kind, ErrorKind::Io);  // files opened before the loss are dead
}

TEST_F(PosixFsDir, FifoOrDeviceWhereAFileBelongsIsRefusedNotWaitedOn) {
  const std::string fifo = tmp.join("qm_manifest.json");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto r = fs::read_file(fifo);  // would block in open() or read() without the checks
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ErrorKind::Io);
  const std::string zero = tmp.join("zero");
  ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
  EXPECT_FALSE(fs::read_file(zero).has_value());  // would grow without end
  test::write_file(tmp.join("plain"), "abc");
  EXPECT_EQ(fs::read_file(tmp.join("plain")).value(), "abc");
}

}  // namespace
}  // namespace qm
