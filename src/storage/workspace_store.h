// WorkspaceStore: the writable page store of a workspace. Page p lives in the chunk file
// `<root>/chunks/chunk_{p >> 14:05}.qmd` at byte (p & 0x3FFF) << 12: 16384 pages (64 MiB) per
// chunk, raw pages back to back, no header; a chunk file is created by its first write.
//
// Invariants:
// - page ids are dense: 0 .. page_count - 1; alloc_page only counts up (the page reaches the
//   disk when the cache writes it);
// - writes are not flushed; every chunk written since the last successful sync_data is in
//   the dirty set, and sync_data flushes exactly those (plus the directories of files it
//   created), keeping the whole set on failure so a retry covers them again;
// - while a page journal is installed, every write of a page first runs the journal's hook,
//   so the journal can make the page's before-image durable; a failing hook leaves the page
//   unwritten. No journal is installed until a logged transaction begins;
// - read runs: a read of the page after the last one read (a chain walked in order) reads a
//   run of the following pages of the same chunk with it, in one call, doubling the run up
//   to 32 pages; the pages read ahead are served from the store's run buffer until a write
//   to any of them, close_files or a read elsewhere replaces it, so a read never returns
//   bytes older than the last write through this store. A lent page stays valid until the
//   next call on the store.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/fs.h"
#include "storage/page.h"

namespace qm::storage {

inline constexpr uint64_t kPagesPerChunk = 16384;

class WorkspaceStore;

// What runs before the workspace store overwrites a page: a journal or an undo file saves
// the page's old bytes there.
class PageWriteHook {
 public:
  virtual ~PageWriteHook() = default;
  // Runs before page `page_id` is written (every write while installed). Whatever it must make
  // durable before the page is overwritten, it does here; an error leaves the page unwritten.
  virtual Result<void> before_write(WorkspaceStore& store, uint64_t page_id) = 0;
  // Runs before a group of pages is written (a flush's dirty pages), so a journal can make
  // their before-images durable together; `before_write` still runs for each page.
  virtual Result<void> before_writes(WorkspaceStore& store, std::span<const uint64_t> page_ids) {
    for (uint64_t id : page_ids) QM_TRY(before_write(store, id));
    return {};
  }
};

class WorkspaceStore {
 public:
  // A store with no pages. Both create `<root>/chunks` with its parents (Io on failure); no
  // chunk file is opened.
  static Result<WorkspaceStore> create(std::string root);
  // A store of `page_count` pages (from the manifest).
  static Result<WorkspaceStore> open(std::string root, uint64_t page_count);

  WorkspaceStore(WorkspaceStore&&) noexcept = default;
  WorkspaceStore& operator=(WorkspaceStore&&) noexcept = default;

  const std::string& root() const { return root_; }
  uint64_t page_count() const { return page_count_; }
  // How many pages the store really holds: those the chunk files had room for at open (at
  // most page_count) plus every page allocated since. A walk that takes more steps than this
  // repeats a page, whatever count the manifest claims.
  uint64_t held_page_count() const { return held_; }
  // The id of a new page (the old page count).
  uint64_t alloc_page() {
    ++held_;
    return page_count_++;
  }

  // id >= page_count: PageFault(id); a chunk file too short for the page: Io. With
  // `checksum`, a page served from a read run also gets its computed checksum there: the
  // run's pages are checksummed together the first time one is asked for.
  Result<void> read_page_into(uint64_t id, PageSpan out, std::optional<uint32_t>* checksum = nullptr);
  // The same bytes lent rather than copied, with their computed checksum: valid until the
  // next call on this store (a read, a write or close_files). A reader that walks pages in
  // order and keeps none of them reads them where the run put them.
  Result<ConstPageSpan> lend_page(uint64_t id, uint32_t& checksum);
  // Every page 0 .. page_count - 1, in order.
  Result<std::vector<Page>> read_all_pages();
  // Writes one page into its chunk file (after the journal hook, when installed).
  Result<void> write_page(uint64_t id, ConstPageSpan page);
  // Writes pages[i] as page first + i. Without a journal, each chunk's piece of the run is one
  // write; with one, page by page. The first error stops.
  Result<void> write_pages_from(uint64_t first, std::span<const Page* const> pages);
  // Tells the journal, when one is installed, which pages are about to be written.
  Result<void> prepare_writes(std::span<const uint64_t> ids) {
    return journal_ ? journal_->before_writes(*this, ids) : Result<void>();
  }
  // Flushes every dirty chunk file to stable storage, ascending.
  Result<void> sync_data();
  // The same flushes added to a caller's group, to be issued with others; nothing may be
  // written through this store until the group ran. `synced` once it succeeded (a group that
  // failed leaves them all due).
  Result<void> add_sync(fs::SyncGroup& group);
  void synced();
  // Closes the cached chunk files; the next read or write opens them again by path (another
  // process may have put new files there).
  void close_files() {
    write_file_.close();
    read_file_.close();
    ahead_count_ = 0;
  }
  const std::set<uint64_t>& dirty_chunks() const { return dirty_; }
  // After the pages a transaction wrote were put back on disk by its undo (pages past
  // `page_count` cut off) with their own flushes: the store holds `page_count` pages, `held`
  // of them in its files, as at the transaction's begin; nothing is due to be flushed (the
  // begin left nothing due, and the undo flushed what it put back); cached file handles and
  // pages read ahead are dropped, since the files changed under them.
  void rolled_back(uint64_t page_count, uint64_t held);

  PageWriteHook* journal() const { return journal_.get(); }
  void install_journal(std::unique_ptr<PageWriteHook> journal) { journal_ = std::move(journal); }
  std::unique_ptr<PageWriteHook> take_journal() { return std::move(journal_); }

  // `<root>/chunks/chunk_{chunk:05}.qmd`.
  static std::string chunk_path(std::string_view root, uint64_t chunk);
  // The chunk number a file name under `chunks` stands for; none for any other name.
  static std::optional<uint64_t> chunk_of_name(std::string_view name);
  static uint64_t chunk_of(uint64_t page_id) { return page_id >> 14; }
  static uint64_t offset_in_chunk(uint64_t page_id) { return (page_id & 0x3FFF) << 12; }

 private:
  WorkspaceStore(std::string root, uint64_t page_count) : root_(std::move(root)), page_count_(page_count) {}
  // Counts the pages the chunk files hold, below page_count.
  Result<void> count_held_pages();
  static Result<WorkspaceStore> make(std::string root, uint64_t page_count);
  // The chunk file open for writing, opened (created when missing) on demand.
  Result<const fs::File*> writable_chunk(uint64_t chunk);
  // Where page `id`'s bytes are: in the read run (its checksum computed with the run's when
  // `checksum` is given), or read alone into `single` (checksum left as it was).
  Result<const uint8_t*> locate(uint64_t id, uint8_t* single, std::optional<uint32_t>* checksum);
  Result<void> write_run(uint64_t first, std::span<const Page* const> pages);
  // Forgets pages read ahead that a write of [first, first + n) replaces.
  void written(uint64_t first, uint64_t n) {
    if (first < ahead_first_ + ahead_count_ && ahead_first_ < first + n) ahead_count_ = 0;
  }

  static constexpr uint32_t kMaxRun = 32;

  std::string root_;
  uint64_t page_count_ = 0;
  uint64_t held_ = 0;
  uint64_t write_chunk_ = 0;
  fs::File write_file_;  // the cached chunk file open for writing, when is_open()
  uint64_t read_chunk_ = 0;
  fs::File read_file_;  // the last chunk file opened for reading
  std::set<uint64_t> dirty_;
  std::vector<std::string> dirs_to_sync_;  // directories whose entries changed since the last sync
  std::map<uint64_t, uint64_t> synced_sizes_;  // chunk -> its size when this store last flushed it
  std::map<uint64_t, uint64_t> syncing_sizes_;  // the same, for the flushes of a pending group
  std::deque<fs::File> syncing_files_;  // chunk files opened for a pending group
  size_t syncing_dirs_ = 0;  // the first entries of dirs_to_sync_ in a pending group
  std::unique_ptr<PageWriteHook> journal_;
  std::string run_buffer_;  // reused buffer of write_pages_from
  // Read runs: pages [ahead_first_, ahead_first_ + ahead_count_) are in ahead_buffer_.
  std::vector<uint8_t> ahead_buffer_;
  uint64_t ahead_first_ = 0;
  uint64_t ahead_count_ = 0;
  std::vector<uint32_t> ahead_sums_;  // checksums of the run's pages, once ahead_summed_
  bool ahead_summed_ = false;
  PageBox single_;  // a page lent alone (read out of order)
  uint64_t last_read_ = UINT64_MAX;
  uint32_t run_ = 1;  // pages the next read in order takes
};

// The former name, kept for db/atomicity only until it adopts this one.
using WorkspaceStore = WorkspaceStore;

}  // namespace qm::storage
