// Page backends: chunk-file placement and write batching of the workspace store, its flush to
// stable storage and journal hook, the memory store, the mapped image and the streamed store.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include "core/bytes.h"
#include "core/file_header.h"
#include "storage/backend.h"
#include "support/faulty_fs.h"
#include "support/temp_dir.h"
#include "support/result_text.h"

namespace qm::storage {
namespace {

using WorkspaceStoreDir = qm::test::InTempDir;
using ImageStoreDir = qm::test::InTempDir;
using WorkspaceStoreFs = qm::test::OnFaultyFs;
using ImageStoreFs = qm::test::OnFaultyFs;
using Op = test::FaultyFs::Op;

Page filled(uint8_t v) {
  Page p;
  p.fill(v);
  return p;
}

// The page a store holds at `id` (a failed read fails the test).
template <class Store>
Page read(Store& store, uint64_t id) {
  Page p{};
  EXPECT_TRUE(store.read_page_into(id, p)) << "page " << id;
  return p;
}

std::vector<const Page*> ptrs(const std::vector<Page>& pages) {
  std::vector<const Page*> out;
  for (const auto& p : pages) out.push_back(&p);
  return out;
}

TEST_F(WorkspaceStoreDir, PagesLandInTheirChunkFileAcrossThe16384Boundary) {
  auto store = must(WorkspaceStore::create(tmp.path()));
  for (int i = 0; i < 16385; ++i) store.alloc_page();
  ASSERT_TRUE(store.write_page(16383, filled(0x33)));
  ASSERT_TRUE(store.write_page(16384, filled(0x44)));
  EXPECT_EQ(WorkspaceStore::chunk_path(tmp.path(), 1), tmp.path() + "/chunks/chunk_00001.qmd");

  EXPECT_EQ(test::read_file(tmp.path() + "/chunks/chunk_00000.qmd").substr(67104768), std::string(4096, 0x33));
  EXPECT_EQ(test::read_file(tmp.path() + "/chunks/chunk_00001.qmd"), std::string(4096, 0x44));

  EXPECT_EQ(read(store, 16384), filled(0x44));
  Page back{};
  EXPECT_EQ(error_text(store.read_page_into(16385, back)), "page fault: page 16385 is not resident");
  EXPECT_EQ(store.dirty_chunks(), (std::set<uint64_t>{0, 1}));
}

TEST_F(WorkspaceStoreFs, ConsecutiveRunIsOneWritePerChunk) {
  auto store = must(WorkspaceStore::create("/ws"));
  for (int i = 0; i < 16391; ++i) store.alloc_page();
  std::vector<Page> run;
  for (int i = 0; i < 11; ++i) run.push_back(filled(static_cast<uint8_t>(i)));
  uint64_t writes = disk.calls(Op::Write);
  ASSERT_TRUE(store.write_pages_from(16380, ptrs(run)));
  EXPECT_EQ(disk.calls(Op::Write) - writes, 2u);
  EXPECT_EQ(read(store, 16383), filled(3));
  EXPECT_EQ(read(store, 16390), filled(10));
}

TEST_F(WorkspaceStoreFs, SyncedPagesAndNewChunkFilesSurvivePowerLoss) {
  disk.make_dirs("/ws");
  {
    auto store = WorkspaceStore::create("/ws");
    for (int i = 0; i < 2; ++i) store->alloc_page();
    ASSERT_TRUE(store->write_page(0, filled(1)));
    ASSERT_TRUE(store->write_page(1, filled(2)));
    ASSERT_TRUE(store->sync_data());
    EXPECT_TRUE(store->dirty_chunks().empty());
    ASSERT_TRUE(store->write_page(1, filled(9)));  // not synced: lost
  }
  disk.power_loss();
  auto store = must(WorkspaceStore::open("/ws", 2));
  EXPECT_EQ(read(store, 0), filled(1));
  EXPECT_EQ(read(store, 1), filled(2));
}

TEST_F(WorkspaceStoreFs, FailedSyncKeepsEveryDirtyChunkForARetry) {
  auto store = WorkspaceStore::create("/ws");
  for (int i = 0; i < 16385; ++i) store->alloc_page();
  ASSERT_TRUE(store->write_page(0, filled(1)));
  ASSERT_TRUE(store->write_page(16384, filled(2)));
  disk.fail_nth(Op::Sync, 2);
  EXPECT_FALSE(store->sync_data());
  EXPECT_EQ(store->dirty_chunks(), (std::set<uint64_t>{0, 1}));
  uint64_t syncs = disk.calls(Op::Sync);
  ASSERT_TRUE(store->sync_data());
  EXPECT_EQ(disk.calls(Op::Sync) - syncs, 2u);
  EXPECT_TRUE(store->dirty_chunks().empty());
}

TEST_F(WorkspaceStoreFs, ShortChunkFileIsAnIoError) {
  disk.put_file("/ws/chunks/chunk_00000.qmd", std::string(4096 + 100, 'x'));
  auto store = WorkspaceStore::open("/ws", 2);
  Page p{};
  EXPECT_TRUE(store->read_page_into(0, p));
  EXPECT_EQ(store->read_page_into(1, p).error().kind, ErrorKind::Io);
  EXPECT_FALSE(store->read_all_pages());
}

// Pages read ahead with a run are never served after this store wrote them, whether by a
// single page or a run; reads out of order take one page each.
TEST_F(WorkspaceStoreFs, PagesReadAheadGiveWayToLaterWrites) {
  disk.make_dirs("/ws");
  auto store = must(WorkspaceStore::create("/ws"));
  std::vector<Page> pages;
  for (int i = 0; i < 32; ++i) {
    store.alloc_page();
    pages.push_back(filled(static_cast<uint8_t>(i)));
  }
  ASSERT_TRUE(store.write_pages_from(0, ptrs(pages)));
  store.close_files();
  // A checksum handed out with a page is always that of the bytes handed out.
  auto read = [&](uint64_t id) {
    Page p{};
    std::optional<uint32_t> sum;
    EXPECT_TRUE(store.read_page_into(id, p, &sum));
    if (sum) {
      EXPECT_EQ(*sum, page_checksum(p)) << "page " << id;
    }
    return p;
  };
  for (uint64_t id : {20, 21, 23}) read(id);  // 23 reads 23..26
  ASSERT_TRUE(store.write_page(25, filled(0xAA)));
  EXPECT_EQ(read(24), filled(24));  // reads 24..31
  EXPECT_EQ(read(25), filled(0xAA));
  const Page bb = filled(0xBB);
  const Page* one[] = {&bb};
  ASSERT_TRUE(store.write_pages_from(26, one));
  EXPECT_EQ(read(26), filled(0xBB));
  EXPECT_EQ(read(27), filled(27));
  const uint64_t reads = disk.calls(Op::Read);
  for (uint64_t id : {3, 1, 9, 5}) read(id);
  EXPECT_EQ(disk.calls(Op::Read) - reads, 4u);
}

class RecordingJournal final : public PageWriteHook {
 public:
  Result<void> before_write(WorkspaceStore&, uint64_t page_id) override {
    if (fail_next) {
      fail_next = false;
      return fail(QmError::resource_limit("commit log byte limit reached; reduce transaction or prune history"));
    }
    seen.push_back(page_id);
    return {};
  }
  std::vector<uint64_t> seen;
  bool fail_next = false;
};

TEST_F(WorkspaceStoreFs, JournalHookRunsBeforeEveryWriteAndCanStopIt) {
  auto store = WorkspaceStore::create("/ws");
  for (int i = 0; i < 4; ++i) store->alloc_page();
  EXPECT_EQ(store->journal(), nullptr);
  auto journal = std::make_unique<RecordingJournal>();
  RecordingJournal* j = journal.get();
  store->install_journal(std::move(journal));
  std::vector<Page> run = {filled(1), filled(2), filled(3)};
  ASSERT_TRUE(store->write_pages_from(1, ptrs(run)));
  EXPECT_EQ(j->seen, (std::vector<uint64_t>{1, 2, 3}));
  j->fail_next = true;
  EXPECT_EQ(store->write_page(0, filled(7)).error().kind, ErrorKind::ResourceLimit);
  EXPECT_EQ(*disk.contents("/ws/chunks/chunk_00000.qmd"), std::string(4096, '\0') + std::string(4096, '\1') +
                                                              std::string(4096, '\2') + std::string(4096, '\3'));
  EXPECT_NE(store->take_journal(), nullptr);
  EXPECT_EQ(store->journal(), nullptr);
}

TEST(MemoryStore, PagesBeyondTheEndAreFaults) {
  Backend b{MemoryStore()};
  EXPECT_EQ(*b.alloc_page(), 0u);
  EXPECT_EQ(*b.alloc_page(), 1u);
  EXPECT_EQ(b.page_count(), 2u);
  EXPECT_EQ(b.write_page(2, filled(1)).error().kind, ErrorKind::PageFault);
  std::vector<Page> run = {filled(5), filled(6)};
  EXPECT_EQ(error_text(b.write_pages_from(1, ptrs(run))), "page fault: page 2 is not resident");
  EXPECT_EQ(**b.read_page(1), filled(5));  // earlier pages stay written
  EXPECT_EQ(b.read_page(2).error().kind, ErrorKind::PageFault);
}

std::string image_with(uint64_t pages, uint64_t manifest_offset_delta = 0, uint64_t pages_end_override = 0) {
  std::string out;
  FileHeader h;
  h.format_version = 3;
  h.pages_end = pages_end_override ? pages_end_override : 24 + 4096 * pages;
  h.manifest_offset = 24 + 4096 * pages + manifest_offset_delta;
  h.encode_to(out);
  for (uint64_t i = 0; i < pages; ++i) out.append(4096, static_cast<char>('A' + i));
  out += "{}";
  return out;
}

TEST_F(ImageStoreDir, OpensAPrivateCopyUnaffectedByLaterChanges) {
  const std::string path = tmp.join("db.qmdb");
  test::write_file(path, image_with(2));
  auto m = must(ImageStore::open(path));
  test::write_file(path, std::string(10, 'z'));  // the file changes after the open
  EXPECT_EQ(m.page_count(), 2u);
  EXPECT_EQ(m.header().format_version, 3);
  EXPECT_EQ(read(m, 1), filled('B'));
  Page p{};
  EXPECT_EQ(m.read_page_into(2, p).error().kind, ErrorKind::PageFault);
  EXPECT_EQ(m.bytes().size(), 24u + 8192 + 2);

  Backend b{std::move(m)};
  EXPECT_TRUE(b.read_only());
  EXPECT_EQ(b.write_page(0, filled(0)).error().kind, ErrorKind::ReadOnly);
  EXPECT_EQ(b.alloc_page().error().kind, ErrorKind::ReadOnly);
  EXPECT_EQ(**b.read_page(0), filled('A'));
  EXPECT_EQ(b.read_all_pages()->size(), 2u);
}

TEST_F(ImageStoreFs, MalformedImagesAreRefused) {
  disk.make_dirs(fs::temp_dir());
  auto open_with = [&](const std::string& bytes) {
    disk.put_file("/img.qmdb", bytes);
    return error_text(ImageStore::open("/img.qmdb"));
  };
  EXPECT_EQ(open_with(std::string(23, 'Q')), "data corruption: monolith smaller than file header");
  EXPECT_EQ(open_with(image_with(1, 0, 4096)), "data corruption: monolith offsets are inconsistent");
  EXPECT_EQ(open_with(image_with(1, 10)), "data corruption: monolith offsets are inconsistent");
  std::string bad_magic = image_with(0);
  bad_magic[0] = 'X';
  EXPECT_EQ(open_with(bad_magic).rfind("invalid signature", 0), 0u);
  EXPECT_EQ(ImageStore::open("/missing.qmdb").error().kind, ErrorKind::Io);
  // The copy goes through an unnamed temporary file.
  EXPECT_GT(disk.calls(Op::TmpFile), 0u);
}

class ScriptedReader final : public PageReader {
 public:
  Result<std::vector<uint8_t>> read(uint64_t offset, uint64_t length) override {
    last_offset = offset;
    if (fail) return qm::fail(QmError::io("reader down"));
    return std::vector<uint8_t>(short_by ? length - short_by : length, 7);
  }
  uint64_t last_offset = 0;
  bool fail = false;
  size_t short_by = 0;
};

TEST(StreamedImageStore, ReadsPagesThroughTheReaderAndChecksLengths) {
  auto reader = std::make_unique<ScriptedReader>();
  ScriptedReader* r = reader.get();
  Backend b{StreamedImageStore(std::move(reader), 3)};
  EXPECT_TRUE(b.read_only());
  EXPECT_EQ(b.page_count(), 3u);
  ASSERT_TRUE(b.read_page(2));
  EXPECT_EQ(r->last_offset, 24u + 8192);
  EXPECT_EQ(b.read_page(3).error().kind, ErrorKind::PageFault);
  r->short_by = 1;
  EXPECT_EQ(b.read_page(0).error().detail, "streamed page has the wrong length");
  r->short_by = 0;
  r->fail = true;
  EXPECT_EQ(b.read_page(0).error().detail, "reader down");
  EXPECT_EQ(b.write_page(0, filled(0)).error().kind, ErrorKind::ReadOnly);
}

}  // namespace
}  // namespace qm::storage
