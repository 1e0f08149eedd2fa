// PageCache: the write-back cache of 4096-byte pages between the database and its backend.
// Scans borrow cached bytes; inserts and in-place patches change them; flush writes the
// dirty ones back. The cache stamps the page checksum before a page leaves it and verifies
// it when a page enters.
//
// Invariants:
// - at most `capacity` pages are resident after any load or write; the victim of an eviction
//   is the least recently used page (every load, use and write makes a page the most recent);
// - a dirty page is never dropped unwritten: a victim whose write-back fails stays resident
//   and dirty and the operation that needed the room fails; a failed flush leaves every page
//   it was writing dirty;
// - a page that fails its checksum never enters the cache, and no reader sees its bytes;
// - a mutable visitor works on a copy of the page, committed (and marked dirty) only when it
//   succeeds, so a failed visitor leaves the cached bytes as they were (patch_page skips the
//   copy for writers that check everything before their first write);
// - a memory backend's page marked as verified holds bytes this cache verified or wrote
//   stamped, so loading it again skips the checksum; any other write clears the mark;
// - over a memory backend a resident page is the store's own page, not a copy: the cache's
//   changes land in the store at once (unstamped, the mark cleared, until the flush that
//   stamps them; an eviction leaves the stamp to that flush), so a memory database holds
//   each page's bytes once;
// - only a page the backend has (allocated ones included) becomes resident: a write of any
//   other id is refused with PageFault before it enters.
// - every dirty frame's slot is in `dirty_slots_` (which may also name frames cleaned or
//   reused since), so a flush costs the pages changed since the last one, not the cache size.
// Recency is an intrusive doubly linked list through the frames, least recently used at
// the head: a use moves a frame to the tail and the victim is the head, so eviction costs
// O(1) however large the cache (the order is the one unique ticks would give).
// Visitors must not re-enter the cache. Single owner, no locking.
#pragma once

#include <concepts>
#include <cstdint>
#include <cstring>
#include "core/expected.h"
#include <functional>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/error.h"
#include "storage/backend.h"
#include "storage/page.h"

namespace qm::storage {

// The bytes pages had before their first change since recording began: what a memory
// transaction puts back at rollback. Pages at or above `limit` did not exist then. With
// `ids_only` just the pages' ids are kept (their boxes stay empty): a workspace transaction's
// undo puts the bytes back on disk itself and only needs to know which pages changed.
struct PageBeforeImages {
  uint64_t limit = 0;
  bool ids_only = false;
  std::unordered_map<uint64_t, PageBox> pages;
};

namespace detail {
template <class T>
struct IsResult : std::false_type {};
template <class T>
struct IsResult<std::expected<T, QmError>> : std::true_type {};
// A visitor returning Result<T> gives Result<T>; one returning T gives Result<T>.
template <class R>
using Lifted = std::conditional_t<IsResult<std::remove_cvref_t<R>>::value, std::remove_cvref_t<R>, Result<R>>;
template <class F, class Arg>
Lifted<std::invoke_result_t<F, Arg>> call_visitor(F&& f, Arg arg) {
  using R = std::invoke_result_t<F, Arg>;
  if constexpr (std::is_void_v<R>) {
    std::invoke(std::forward<F>(f), arg);
    return {};
  } else if constexpr (IsResult<std::remove_cvref_t<R>>::value) {
    return std::invoke(std::forward<F>(f), arg);
  } else {
    return Result<R>(std::invoke(std::forward<F>(f), arg));
  }
}
}  // namespace detail

class PageCache {
 public:
  static constexpr size_t kDefaultCapacity = 4096;

  // capacity 0 is taken as 1.
  PageCache(Backend backend, size_t capacity);
  PageCache(PageCache&&) noexcept = default;
  PageCache& operator=(PageCache&&) noexcept = default;

  // Makes page `id` resident (read, checksum-verified, evicting when full), marks it most
  // recently used and runs reader(ConstPageSpan) on the cached bytes; a load error is
  // returned without running the reader. The result is the reader's (lifted into Result).
  template <class F>
  auto with_page(uint64_t id, F&& reader) -> detail::Lifted<std::invoke_result_t<F, ConstPageSpan>> {
    auto frame = acquire(id);
    if (!frame) return fail(std::move(frame).error());
    return detail::call_visitor(std::forward<F>(reader), ConstPageSpan(*(*frame)->bytes));
  }

  // As with_page for a reader walking pages in order through more pages than the cache
  // holds: a resident page is used as with_page uses it (so a dirty page's bytes win); any
  // other page of a workspace is read and verified exactly as a load would, but the reader
  // sees the bytes where the store read them and the page does not enter the cache, which
  // therefore neither copies it nor evicts for it. Other backends load as with_page does.
  template <class F>
  auto with_page_passing(uint64_t id, F&& reader) -> detail::Lifted<std::invoke_result_t<F, ConstPageSpan>> {
    if (!backend_.workspace() || index_.contains(id)) return with_page(id, std::forward<F>(reader));
    auto lent = lend(id);
    if (!lent) return fail(std::move(lent).error());
    return detail::call_visitor(std::forward<F>(reader), *lent);
  }

  // As with_page, with writer(PageSpan) changing a copy of the page; when the writer succeeds
  // (returns a value, or a Result holding one) the copy replaces the cached page and the page
  // becomes dirty; when it fails the cached page is untouched.
  template <class F>
  auto with_page_bytes_mut(uint64_t id, F&& writer) -> detail::Lifted<std::invoke_result_t<F, PageSpan>> {
    auto frame = acquire(id);
    if (!frame) return fail(std::move(frame).error());
    Frame* f = *frame;
    keep_before(id, *f->bytes);
    std::memcpy(scratch_->data(), f->bytes->data(), kPageSize);
    auto out = detail::call_visitor(std::forward<F>(writer), PageSpan(*scratch_));
    if (out) {
      std::memcpy(f->bytes->data(), scratch_->data(), kPageSize);
      mark_dirty(*f);
    }
    return out;
  }

  // As with_page_bytes_mut, for a writer that changes nothing unless it succeeds (it checks
  // everything before its first write): it works on the cached bytes in place, saving the
  // two page copies; the page becomes dirty when the writer succeeds.
  template <class F>
  auto patch_page(uint64_t id, F&& writer) -> detail::Lifted<std::invoke_result_t<F, PageSpan>> {
    auto frame = acquire(id);
    if (!frame) return fail(std::move(frame).error());
    Frame* f = *frame;
    keep_before(id, *f->bytes);
    // Over a memory backend the page is the store's: changed only once the writer succeeds.
    auto out = detail::call_visitor(std::forward<F>(writer), PageSpan(*f->bytes));
    if (out) mark_dirty(*f);
    return out;
  }

  // Makes the page resident without touching its recency when it already is.
  Result<void> ensure_loaded(uint64_t id);
  // Replaces a whole page. Bytes equal (checksum aside) to a clean resident page change
  // nothing; otherwise the page becomes resident and dirty (evicting first when needed).
  Result<void> write(uint64_t id, ConstPageSpan page);
  // A new page id from the backend (ReadOnly on image backends); the page is not resident
  // until written.
  Result<uint64_t> alloc_page();
  // Writes every dirty page back, stamped, one write_pages_from per run of consecutive ids,
  // the highest run first (appended pages before the pages linking to them); pages become clean only when all runs succeeded. No-op on image
  // backends. Does not flush to stable storage (WorkspaceStore::sync_data does).
  Result<void> flush();

  // While set, the first change of each page below its limit saves the page's bytes there
  // (cleared with null). The caller keeps it alive while set.
  void record_before_images(PageBeforeImages* images) {
    before_ = images;
    before_last_ = kNoBeforeNoted;
  }
  // Drops pages [first, end) from the cache unwritten: they are about to cease to exist.
  void forget_pages(uint64_t first, uint64_t end);
  // After the backend's pages were put back as `before` recorded them (a rolled-back
  // transaction's undo rewrote them in the files): drops, unwritten, every page `before` holds
  // and every page from its limit to `end`, which are the pages changed since recording began,
  // so the next read takes the old bytes from the backend. False when a dirty page is left
  // that `before` did not know of (the record cannot be trusted); it is dropped all the same.
  bool forget_changes(const PageBeforeImages& before, uint64_t end);

  // Whether any resident page holds changes not yet written back.
  bool has_dirty() const {
    for (uint32_t slot : dirty_slots_)
      if (frames_[slot].dirty) return true;
    return false;
  }
  size_t resident() const { return index_.size(); }
  size_t capacity() const { return capacity_; }
  bool is_resident(uint64_t id) const { return index_.contains(id); }
  bool is_dirty(uint64_t id) const;
  Backend& backend() { return backend_; }
  const Backend& backend() const { return backend_; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Frame {
    uint64_t id = 0;
    uint32_t older = kNone;  // recency list links (frame slots)
    uint32_t newer = kNone;
    bool dirty = false;
    bool shared = false;  // bytes is the memory store's page
    Page* bytes = nullptr;  // the page: `owned`, or the memory store's page when shared
    PageBox owned;
  };

  // A workspace page read and verified without entering the cache (with_page_passing).
  Result<ConstPageSpan> lend(uint64_t id);
  // ensure_loaded, then the page becomes the most recently used.
  Result<Frame*> acquire(uint64_t id);
  // Recency list: unlink a frame, append it as the most recently used, or both.
  void unlink(uint32_t slot);
  void append_newest(uint32_t slot);
  void touch(uint32_t slot);
  // Evicts until a page can enter; a dirty victim that cannot be written stays.
  Result<void> evict_if_needed();
  // A frame for a page about to enter (after evict_if_needed): the memory store's page when
  // the backend holds it in memory, else a buffer of the frame's own.
  Frame& take_frame(uint64_t id);
  // The memory store's page `id`, or null when the backend keeps no such page in memory.
  Page* store_page(uint64_t id);
  void mark_dirty(Frame& f);
  // Stamps a dirty page about to be written back; a shared page is then already written.
  void stamp(Frame& f);

  void keep_before(uint64_t id, const Page& bytes) {
    if (before_ && id < before_->limit && id != before_last_) note_before(id, bytes);
  }
  void note_before(uint64_t id, const Page& bytes);
  // Drops the slots of clean frames and repeats from `dirty_slots_`.
  void compact_dirty_slots();

  Backend backend_;
  PageBeforeImages* before_ = nullptr;
  // The page whose before-image `before_` was last asked for, known to hold one: runs of
  // changes to one page (deletion marks row after row) skip the map lookup.
  static constexpr uint64_t kNoBeforeNoted = UINT64_MAX;
  uint64_t before_last_ = kNoBeforeNoted;
  size_t capacity_ = 1;
  std::vector<Frame> frames_;
  uint32_t oldest_ = kNone;  // the head of the recency list: the next victim
  uint32_t newest_ = kNone;
  std::vector<uint32_t> free_frames_;
  std::vector<uint32_t> dirty_slots_;  // see the invariant above
  // Page id -> frame slot. Page ids are dense (below the backend's page count, which every
  // admitted page is checked against), so a flat array costs one load per lookup where a hash
  // map costs a hash, a bucket and a node, and no allocation as pages come and go.
  class SlotIndex {
   public:
    uint32_t find(uint64_t id) const { return id < slots_.size() ? slots_[id] : kNone; }
    bool contains(uint64_t id) const { return find(id) != kNone; }
    size_t size() const { return size_; }
    void set(uint64_t id, uint32_t slot) {
      if (id >= slots_.size()) slots_.resize(std::max<uint64_t>(id + 1, 2 * slots_.size()), kNone);
      if (slots_[id] == kNone) ++size_;
      slots_[id] = slot;
    }
    void erase(uint64_t id) {
      if (id < slots_.size() && slots_[id] != kNone) {
        slots_[id] = kNone;
        --size_;
      }
    }

   private:
    std::vector<uint32_t> slots_;
    size_t size_ = 0;
  };
  SlotIndex index_;
  PageBox scratch_;                               // the copy a mutable visitor changes
  PageBox incoming_;                              // a page being read or written, before it is admitted
};

}  // namespace qm::storage
