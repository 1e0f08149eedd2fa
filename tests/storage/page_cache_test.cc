// The page cache: LRU eviction, write-back with stamped checksums, run-batched flushes,
// checksum verification on load, and that no failure (of a write-back, a flush or a mutable
// visitor) loses a dirty page or leaves a changed page marked clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "storage/page_cache.h"
#include "support/faulty_fs.h"

namespace qm::storage {
namespace {

using Op = test::FaultyFs::Op;
using PageCacheFs = test::OnFaultyFs;
using PageCacheFaultsFs = test::OnFaultyFs;

Page content(uint8_t v) {
  Page p;
  p.fill(v);
  store_u32(p.data() + kChecksumOffset, 0);
  return p;
}

// A memory backend of n pages, page i filled with i + 1 and stamped.
PageCache mem_cache(size_t pages, size_t capacity) {
  MemoryStore store;
  for (size_t i = 0; i < pages; ++i) {
    store.alloc_page();
    Page p = content(static_cast<uint8_t>(i + 1));
    stamp_page_checksum(p);
    EXPECT_TRUE(store.write_page(i, p));
  }
  return PageCache(Backend(std::move(store)), capacity);
}

uint8_t first_byte(PageCache& cache, uint64_t id) {
  auto r = cache.with_page(id, [](ConstPageSpan p) { return p[100]; });
  EXPECT_TRUE(r);
  return r ? *r : 0;
}

// A workspace over the double with `pages` stamped pages on disk, page i filled with `first + i`.
void write_workspace(test::FaultyFs& disk, uint64_t pages, uint8_t first) {
  disk.make_dirs("/ws");
  auto store = WorkspaceStore::create("/ws");
  ASSERT_TRUE(store);
  std::vector<Page> written;
  for (uint64_t i = 0; i < pages; ++i) {
    store->alloc_page();
    written.push_back(content(static_cast<uint8_t>(first + i)));
    stamp_page_checksum(written.back());
  }
  std::vector<const Page*> run;
  for (const Page& p : written) run.push_back(&p);
  ASSERT_TRUE(store->write_pages_from(0, run));
  ASSERT_TRUE(store->sync_data());
}

PageCache dev_cache(test::FaultyFs& disk, size_t capacity, uint64_t pages = 2, uint8_t first = 1) {
  write_workspace(disk, pages, first);
  auto store = WorkspaceStore::open("/ws", pages);
  EXPECT_TRUE(store);
  return PageCache(Backend(std::move(*store)), capacity);
}

TEST(PageCache, CapacityZeroMeansOne) {
  PageCache cache = mem_cache(2, 0);
  EXPECT_EQ(cache.capacity(), 1u);
  EXPECT_EQ(first_byte(cache, 0), 1);
  EXPECT_EQ(first_byte(cache, 1), 2);
  EXPECT_EQ(cache.resident(), 1u);
  EXPECT_FALSE(cache.is_resident(0));
}

// A long mixed sequence of uses, loads, writes and unchanged rewrites against a plain list
// model of recency: any slip in keeping the order (a use not moving a page, a rewrite of
// identical bytes moving one, a frame reused while still linked) evicts the wrong page.
TEST(PageCache, EvictionFollowsRecencyOverAMixedSequence) {
  constexpr size_t kPages = 10, kCapacity = 4;
  PageCache cache = mem_cache(kPages, kCapacity);
  std::vector<uint64_t> model;  // least recently used first
  auto admit = [&](uint64_t id) {
    auto at = std::find(model.begin(), model.end(), id);
    if (at != model.end()) {
      model.erase(at);
    } else if (model.size() == kCapacity) {
      model.erase(model.begin());
    }
    model.push_back(id);
  };
  uint32_t seed = 12345;
  for (int step = 0; step < 2000; ++step) {
    seed = seed * 1103515245u + 12345u;
    const uint64_t id = (seed >> 8) % kPages;
    const bool resident = std::find(model.begin(), model.end(), id) != model.end();
    switch ((seed >> 20) % 3) {
      case 0:
        first_byte(cache, id);
        admit(id);
        break;
      case 1: {
        Page changed = content(static_cast<uint8_t>(id + 1));
        store_u32(changed.data() + 200, static_cast<uint32_t>(step) + 1);  // never the bytes it holds
        ASSERT_TRUE(cache.write(id, changed));
        admit(id);
        break;
      }
      default:
        // Unchanged bytes of a clean resident page change nothing, not even recency.
        if (resident && !cache.is_dirty(id)) {
          Page same = content(static_cast<uint8_t>(0));
          ASSERT_TRUE(cache.with_page(id, [&](ConstPageSpan p) { std::copy(p.begin(), p.end(), same.begin()); }));
          admit(id);
          ASSERT_TRUE(cache.write(id, same));
          EXPECT_FALSE(cache.is_dirty(id));
        }
        break;
    }
    ASSERT_EQ(cache.resident(), model.size());
    for (uint64_t p = 0; p < kPages; ++p)
      ASSERT_EQ(cache.is_resident(p), std::find(model.begin(), model.end(), p) != model.end())
          << "page " << p << " at step " << step;
  }
}

TEST(PageCache, DirtyVictimIsStampedAndWrittenBeforeTheNewPageEnters) {
  PageCache cache = mem_cache(2, 1);
  ASSERT_TRUE(cache.write(0, content(0x77)));
  EXPECT_TRUE(cache.is_dirty(0));
  first_byte(cache, 1);
  auto stored = cache.backend().read_page(0);
  ASSERT_TRUE(stored);
  EXPECT_EQ((**stored)[100], 0x77);
  EXPECT_NE(load_u32((*stored)->data() + kChecksumOffset), 0u);
  EXPECT_TRUE(verify_page_checksum(0, **stored));
}

TEST_F(PageCacheFs, FlushWritesEachRunOfConsecutivePagesOnce) {
  PageCache cache = dev_cache(disk, 16, 10);
  for (uint64_t id : {9, 3, 5, 4}) ASSERT_TRUE(cache.write(id, content(static_cast<uint8_t>(id))));
  uint64_t writes = disk.calls(Op::Write);
  ASSERT_TRUE(cache.flush());
  EXPECT_EQ(disk.calls(Op::Write) - writes, 2u);
  for (uint64_t id : {3, 4, 5, 9}) EXPECT_FALSE(cache.is_dirty(id));
  // A second flush has nothing to write.
  writes = disk.calls(Op::Write);
  ASSERT_TRUE(cache.flush());
  EXPECT_EQ(disk.calls(Op::Write), writes);
  // Every flushed page carries a checksum, never 0.
  Page p{};
  ASSERT_TRUE(cache.backend().read_page_into(4, p));
  EXPECT_NE(load_u32(p.data() + kChecksumOffset), 0u);
  EXPECT_TRUE(verify_page_checksum(4, p));
}

// A memory page skips the checksum only while its bytes are the ones the cache verified or
// wrote: bytes written behind the cache's back are checked again, and a page the cache
// evicted dirty is read back intact.
TEST(PageCache, MemoryPageWrittenBehindTheCacheIsCheckedAgain) {
  PageCache cache = mem_cache(2, 1);
  EXPECT_EQ(first_byte(cache, 0), 1);
  ASSERT_TRUE(cache.write(1, content(0x77)));  // evicts page 0
  EXPECT_EQ(first_byte(cache, 0), 1);           // evicts dirty page 1, its stamp deferred
  EXPECT_EQ(first_byte(cache, 1), 0x77);
  ASSERT_TRUE(cache.flush());  // stamps it
  EXPECT_TRUE(verify_page_checksum(1, *cache.backend().memory()->page(1)));
  EXPECT_TRUE(cache.backend().memory()->checksum_verified(1));
  Page bad = content(3);
  stamp_page_checksum(bad);
  bad[300] ^= 1;
  ASSERT_TRUE(cache.backend().memory()->write_page(0, bad));
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto r = cache.with_page(0, [](ConstPageSpan) {});
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().detail.find("page 0 checksum mismatch"), std::string::npos);
    EXPECT_FALSE(cache.is_resident(0));
  }
}

// A memory database holds each page once: the cache works on the store's own page, whose
// verified mark follows its bytes (cleared by a change, set again by the flush's stamp); a
// page id the store lacks is refused before it enters.
TEST(PageCache, MemoryBackendPagesAreTheStoresOwnNotCopies) {
  PageCache cache = mem_cache(2, 4);
  MemoryStore* mem = cache.backend().memory();
  ASSERT_TRUE(cache.with_page(0, [&](ConstPageSpan p) { EXPECT_EQ(p.data(), mem->page(0)->data()); }));
  ASSERT_TRUE(cache.patch_page(0, [](PageSpan p) { p[100] = 0xAB; }));
  EXPECT_EQ((*mem->page(0))[100], 0xAB);
  EXPECT_FALSE(mem->checksum_verified(0));
  ASSERT_TRUE(cache.flush());
  EXPECT_FALSE(cache.is_dirty(0));
  EXPECT_TRUE(mem->checksum_verified(0));
  EXPECT_TRUE(verify_page_checksum(0, *mem->page(0)));

  auto r = cache.write(5, content(0x55));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::PageFault);
  EXPECT_FALSE(cache.is_resident(5));
}

TEST(PageCache, FailedMutableVisitorLeavesThePageUnchangedAndClean) {
  PageCache cache = mem_cache(1, 4);
  Page before{};
  ASSERT_TRUE(cache.with_page(0, [&](ConstPageSpan p) { std::copy(p.begin(), p.end(), before.begin()); }));
  auto r = cache.with_page_bytes_mut(0, [](PageSpan p) -> Result<void> {
    p[100] = 0xEE;  // changed, then the visitor fails
    return fail(QmError::corruption("row record is shorter than its MVCC envelope"));
  });
  ASSERT_FALSE(r);
  EXPECT_FALSE(cache.is_dirty(0));
  ASSERT_TRUE(cache.with_page(0, [&](ConstPageSpan p) { EXPECT_TRUE(std::equal(p.begin(), p.end(), before.begin())); }));

  ASSERT_TRUE(cache.with_page_bytes_mut(0, [](PageSpan p) { p[100] = 0xEE; }));
  EXPECT_TRUE(cache.is_dirty(0));
  EXPECT_EQ(first_byte(cache, 0), 0xEE);
}

// The in-place patch: a writer that fails before writing leaves the page clean; one that
// succeeds makes it dirty, and the change survives eviction and reload.
TEST(PageCache, InPlacePatchMarksDirtyOnlyOnSuccess) {
  PageCache cache = mem_cache(2, 1);
  auto r = cache.patch_page(0, [](PageSpan) -> Result<void> { return fail(QmError::corruption("refused")); });
  ASSERT_FALSE(r);
  EXPECT_FALSE(cache.is_dirty(0));
  ASSERT_TRUE(cache.patch_page(0, [](PageSpan p) { p[100] = 0xAB; }));
  EXPECT_TRUE(cache.is_dirty(0));
  EXPECT_EQ(first_byte(cache, 1), 2);  // evicts page 0, written back stamped
  EXPECT_EQ(first_byte(cache, 0), 0xAB);
}

// A scan walking a workspace chain in order reads runs of pages in one call each, while the
// cache still holds no more than its capacity.
TEST_F(PageCacheFs, WorkspaceChainWalkedInOrderReadsRuns) {
  PageCache cache = dev_cache(disk, 16, 40, 0);
  const uint64_t reads = disk.calls(Op::Read);
  for (uint64_t id = 0; id < 40; ++id) ASSERT_EQ(first_byte(cache, id), id);
  EXPECT_LE(disk.calls(Op::Read) - reads, 6u);  // runs of 1, 2, 4, 8, 16 and the last 9
  EXPECT_EQ(cache.resident(), 16u);
}

// Reads that pass through the cache (a walk longer than the cache), mixed at random with
// loads, writes and flushes, against a model: they see the newest bytes of every page (a
// dirty resident page's, else the file's), change which pages are resident no more than a
// use of a resident page does, and refuse a page that fails its checksum in the middle of a
// read run exactly as a load refuses it.
TEST(PageCache, PassingReadsSeeTheNewestBytesAndNeverEnter) {
  constexpr uint64_t kPages = 48, kCapacity = 4, kBad = 20;
  test::FaultyFs disk;
  fs::ScopedFileSystem use(disk);
  write_workspace(disk, kPages, 0);
  std::string chunk = *disk.contents(WorkspaceStore::chunk_path("/ws", 0));
  chunk[kBad * kPageSize + 100] ^= 0x40;
  disk.put_file(WorkspaceStore::chunk_path("/ws", 0), chunk);
  auto store = WorkspaceStore::open("/ws", kPages);
  ASSERT_TRUE(store);
  PageCache cache(Backend(std::move(*store)), kCapacity);

  std::vector<uint8_t> newest(kPages);
  for (uint64_t i = 0; i < kPages; ++i) newest[i] = static_cast<uint8_t>(i);
  bool bad_on_disk = true;  // until page kBad is written
  std::vector<uint64_t> model;  // resident pages, least recently used first
  auto admit = [&](uint64_t id) {
    if (auto at = std::find(model.begin(), model.end(), id); at != model.end()) model.erase(at);
    else if (model.size() == kCapacity) model.erase(model.begin());
    model.push_back(id);
  };
  auto check_read = [&](uint64_t id, bool passing) {
    const bool resident = std::find(model.begin(), model.end(), id) != model.end();
    auto reader = [](ConstPageSpan p) { return p[100]; };
    auto got = passing ? cache.with_page_passing(id, reader) : cache.with_page(id, reader);
    if (id == kBad && bad_on_disk && !resident) {
      ASSERT_FALSE(got);
      ASSERT_NE(got.error().message().find("page 20 checksum mismatch"), std::string::npos) << got.error().message();
      return;
    }
    ASSERT_TRUE(got) << got.error().message();
    ASSERT_EQ(*got, newest[id]) << "page " << id << (passing ? " passing" : " loaded");
    if (!passing || resident) admit(id);
  };
  uint32_t seed = 777;
  for (int step = 0; step < 3000; ++step) {
    seed = seed * 1103515245u + 12345u;
    const uint64_t id = (seed >> 8) % kPages;
    switch ((seed >> 20) % 8) {
      case 0:
      case 1:
        check_read(id, false);
        break;
      case 2: {
        newest[id] = static_cast<uint8_t>(step);
        if (id == kBad) bad_on_disk = false;
        ASSERT_TRUE(cache.write(id, content(newest[id])));
        admit(id);
        break;
      }
      case 3:
        ASSERT_TRUE(cache.flush());
        break;
      default:
        // A walk in order through a stretch of pages, as a long scan reads them.
        for (uint64_t p = id; p < std::min(kPages, id + 1 + (seed >> 28)); ++p) check_read(p, true);
        break;
    }
    ASSERT_EQ(cache.resident(), model.size()) << "step " << step;
    for (uint64_t p = 0; p < kPages; ++p)
      ASSERT_EQ(cache.is_resident(p), std::find(model.begin(), model.end(), p) != model.end())
          << "page " << p << " at step " << step;
  }
}

// More pages dirtied between flushes than the cache holds (evicted ones leave stale
// entries in the list of dirty frames, which is compacted as it grows): every page still
// reaches the store at the flush, whichever page was dirtied as a compaction ran.
TEST(PageCache, EveryPageDirtiedBetweenFlushesIsWritten) {
  for (uint64_t pages = 3; pages < 160; ++pages) {
    test::FaultyFs disk;
    fs::ScopedFileSystem use(disk);
    PageCache cache = dev_cache(disk, 4);
    for (uint64_t id = 2; id < pages; ++id) ASSERT_EQ(*cache.alloc_page(), id);
    for (uint64_t id = 0; id < pages; ++id) ASSERT_TRUE(cache.write(id, content(static_cast<uint8_t>(id))));
    ASSERT_TRUE(cache.flush());
    for (uint64_t id = 0; id < pages; ++id) {
      Page p{};
      ASSERT_TRUE(cache.backend().read_page_into(id, p));
      ASSERT_TRUE(p[100] == static_cast<uint8_t>(id) && verify_page_checksum(id, p)) << id << " of " << pages;
    }
  }
}

TEST_F(PageCacheFaultsFs, FailedWriteBackDuringEvictionLosesNoDirtyPage) {
  PageCache cache = dev_cache(disk, 1);
  ASSERT_TRUE(cache.write(0, content(0x55)));
  disk.fail_nth(Op::Write, 1);
  auto r = cache.with_page(1, [](ConstPageSpan) {});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind, ErrorKind::Io);
  EXPECT_TRUE(cache.is_resident(0));
  EXPECT_TRUE(cache.is_dirty(0));
  EXPECT_FALSE(cache.is_resident(1));
  EXPECT_EQ(first_byte(cache, 0), 0x55);

  // Once the disk works again the page reaches it.
  EXPECT_EQ(first_byte(cache, 1), 2);
  Page p{};
  ASSERT_TRUE(cache.backend().read_page_into(0, p));
  EXPECT_EQ(p[100], 0x55);
}

// The victim whose write-back failed stays the least recently used: once the disk works,
// the next load evicts it (written) rather than a page used after it.
TEST_F(PageCacheFaultsFs, FailedVictimStaysFirstInLineForTheNextEviction) {
  PageCache cache = dev_cache(disk, 2);
  ASSERT_EQ(*cache.alloc_page(), 2u);
  ASSERT_TRUE(cache.write(0, content(0x55)));
  EXPECT_EQ(first_byte(cache, 1), 2);
  disk.fail_nth(Op::Write, 1);
  EXPECT_FALSE(cache.write(2, content(0x66)));
  EXPECT_TRUE(cache.is_dirty(0));
  EXPECT_FALSE(cache.is_resident(2));
  ASSERT_TRUE(cache.write(2, content(0x66)));
  EXPECT_FALSE(cache.is_resident(0));
  EXPECT_TRUE(cache.is_resident(1));
  EXPECT_TRUE(cache.is_resident(2));
  Page p{};
  ASSERT_TRUE(cache.backend().read_page_into(0, p));
  EXPECT_EQ(p[100], 0x55);
}

TEST_F(PageCacheFaultsFs, FailedFlushKeepsEveryPageDirtyAndTheRetryWritesThemAll) {
  PageCache cache = dev_cache(disk, 8);
  for (int i = 0; i < 4; ++i) ASSERT_EQ(*cache.alloc_page(), static_cast<uint64_t>(i + 2));
  for (uint64_t id : {0, 1, 4, 5}) ASSERT_TRUE(cache.write(id, content(static_cast<uint8_t>(0xA0 + id))));
  disk.fail_nth(Op::Write, 2);  // the second run
  ASSERT_FALSE(cache.flush());
  for (uint64_t id : {0, 1, 4, 5}) EXPECT_TRUE(cache.is_dirty(id)) << id;
  ASSERT_TRUE(cache.flush());
  ASSERT_TRUE(cache.backend().workspace()->sync_data());
  disk.power_loss();
  auto reopened = WorkspaceStore::open("/ws", 6);
  ASSERT_TRUE(reopened);
  for (uint64_t id : {0, 1, 4, 5}) {
    Page p{};
    ASSERT_TRUE(reopened->read_page_into(id, p));
    EXPECT_EQ(p[100], 0xA0 + id);
    EXPECT_TRUE(verify_page_checksum(id, p));
  }
}

}  // namespace
}  // namespace qm::storage
