#include "storage/page_cache.h"

#include <algorithm>

namespace qm::storage {

PageCache::PageCache(Backend backend, size_t capacity)
    : backend_(std::move(backend)),
      capacity_(std::max<size_t>(capacity, 1)),
      scratch_(new_zero_page()),
      incoming_(new_zero_page()) {}

bool PageCache::is_dirty(uint64_t id) const {
  const uint32_t slot = index_.find(id);
  return slot != kNone && frames_[slot].dirty;
}

void PageCache::unlink(uint32_t slot) {
  Frame& f = frames_[slot];
  if (f.older != kNone) frames_[f.older].newer = f.newer;
  else oldest_ = f.newer;
  if (f.newer != kNone) frames_[f.newer].older = f.older;
  else newest_ = f.older;
  f.older = f.newer = kNone;
}

void PageCache::append_newest(uint32_t slot) {
  Frame& f = frames_[slot];
  f.older = newest_;
  f.newer = kNone;
  if (newest_ != kNone) frames_[newest_].newer = slot;
  else oldest_ = slot;
  newest_ = slot;
}

void PageCache::touch(uint32_t slot) {
  if (newest_ == slot) return;
  unlink(slot);
  append_newest(slot);
}

Page* PageCache::store_page(uint64_t id) {
  MemoryStore* mem = backend_.memory();
  return mem ? mem->page(id) : nullptr;
}

PageCache::Frame& PageCache::take_frame(uint64_t id) {
  uint32_t slot;
  if (!free_frames_.empty()) {
    slot = free_frames_.back();
    free_frames_.pop_back();
  } else {
    slot = static_cast<uint32_t>(frames_.size());
    frames_.emplace_back();
  }
  Frame& f = frames_[slot];
  f.id = id;
  f.dirty = false;
  if (Page* shared = store_page(id)) {
    f.shared = true;
    f.bytes = shared;
  } else {
    if (!f.owned) f.owned = new_zero_page();
    f.shared = false;
    f.bytes = f.owned.get();
  }
  index_.set(id, slot);
  append_newest(slot);
  return f;
}

void PageCache::mark_dirty(Frame& f) {
  if (!f.dirty) {
    // Dirty before any compaction, which keeps only the slots of dirty frames.
    f.dirty = true;
    dirty_slots_.push_back(static_cast<uint32_t>(&f - frames_.data()));
    if (dirty_slots_.size() > 2 * capacity_ + 64) compact_dirty_slots();
  }
  // The store's bytes changed and are not stamped until the page is written back.
  if (f.shared) backend_.memory()->clear_checksum_verified(f.id);
}

void PageCache::stamp(Frame& f) {
  stamp_page_checksum(*f.bytes);
  if (f.shared) backend_.memory()->mark_checksum_verified(f.id);
}

Result<void> PageCache::evict_if_needed() {
  while (index_.size() >= capacity_ && oldest_ != kNone) {
    const uint32_t victim = oldest_;
    Frame& f = frames_[victim];
    if (f.dirty) {
      // Written before it leaves; on failure it stays resident, dirty and the oldest, so a
      // later flush or eviction tries it again first. A shared page is the store's already:
      // its stamp waits for the next flush.
      if (f.shared) {
        backend_.memory()->defer_stamp(f.id);
      } else {
        stamp(f);
        QM_TRY(backend_.write_page(f.id, *f.bytes));
      }
      f.dirty = false;
    }
    unlink(victim);
    index_.erase(f.id);
    free_frames_.push_back(victim);
  }
  return {};
}

Result<void> PageCache::ensure_loaded(uint64_t id) {
  if (index_.contains(id)) return {};
  if (Page* shared = store_page(id)) {
    // A memory page verified (or written stamped) by this cache and not written since
    // cannot have changed: only the first load of an imported page pays for the check.
    MemoryStore* mem = backend_.memory();
    if (!mem->checksum_verified(id) && !mem->stamp_deferred(id)) {
      QM_TRY(verify_page_checksum(id, *shared));
      mem->mark_checksum_verified(id);
    }
    QM_TRY(evict_if_needed());
    take_frame(id);  // enters as the most recently used, the store's page itself
    return {};
  }
  std::optional<uint32_t> computed;
  QM_TRY(backend_.read_page_into(id, *incoming_, computed));
  QM_TRY(computed ? verify_page_checksum(id, *incoming_, *computed) : verify_page_checksum(id, *incoming_));
  QM_TRY(evict_if_needed());
  Frame& f = take_frame(id);  // enters as the most recently used
  std::swap(f.owned, incoming_);  // the page enters without a copy
  f.bytes = f.owned.get();
  return {};
}

Result<ConstPageSpan> PageCache::lend(uint64_t id) {
  uint32_t computed = 0;
  QM_ASSIGN(ConstPageSpan page, backend_.workspace()->lend_page(id, computed));
  QM_TRY(verify_page_checksum(id, page, computed));
  return page;
}

Result<PageCache::Frame*> PageCache::acquire(uint64_t id) {
  // Row after row of one page asks for the page just used: no lookup, no relinking.
  if (newest_ != kNone && frames_[newest_].id == id) return &frames_[newest_];
  uint32_t slot = index_.find(id);
  if (slot == kNone) {
    QM_TRY(ensure_loaded(id));
    slot = index_.find(id);
  }
  touch(slot);
  return &frames_[slot];
}

void PageCache::compact_dirty_slots() {
  std::erase_if(dirty_slots_, [&](uint32_t slot) { return !frames_[slot].dirty; });
  std::sort(dirty_slots_.begin(), dirty_slots_.end());
  dirty_slots_.erase(std::unique(dirty_slots_.begin(), dirty_slots_.end()), dirty_slots_.end());
}

void PageCache::note_before(uint64_t id, const Page& bytes) {
  auto [it, fresh] = before_->pages.try_emplace(id);
  if (fresh && !before_->ids_only) it->second = std::make_unique<Page>(bytes);
  before_last_ = id;
}

void PageCache::forget_pages(uint64_t first, uint64_t end) {
  for (uint64_t id = first; id < end; ++id) {
    const uint32_t slot = index_.find(id);
    if (slot == kNone) continue;
    unlink(slot);
    frames_[slot].dirty = false;
    index_.erase(id);
    free_frames_.push_back(slot);
  }
}

bool PageCache::forget_changes(const PageBeforeImages& before, uint64_t end) {
  forget_pages(before.limit, end);
  for (const auto& [id, bytes] : before.pages) forget_pages(id, id + 1);
  bool known = true;
  for (uint32_t slot : dirty_slots_) {
    Frame& f = frames_[slot];
    if (!f.dirty) continue;
    known = false;
    forget_pages(f.id, f.id + 1);
  }
  dirty_slots_.clear();
  return known;
}

namespace {
bool equal_but_checksum(ConstPageSpan a, const Page& b) {
  constexpr size_t after = kChecksumOffset + 4;
  return std::memcmp(a.data(), b.data(), kChecksumOffset) == 0 &&
         std::memcmp(a.data() + after, b.data() + after, kPageSize - after) == 0;
}
}  // namespace

Result<void> PageCache::write(uint64_t id, ConstPageSpan page) {
  // Only pages the backend has (allocated ones included) ever become resident.
  if (id >= backend_.page_count()) return fail(QmError::page_fault(id));
  if (before_ && id < before_->limit && id != before_last_ && !before_->pages.contains(id)) {
    // The bytes before this write: the resident page, else the backend's.
    if (const uint32_t slot = index_.find(id); slot != kNone) {
      note_before(id, *frames_[slot].bytes);
    } else if (before_->ids_only) {
      note_before(id, *incoming_);  // only the id is kept: no need to read the page
    } else {
      QM_TRY(backend_.read_page_into(id, *incoming_));
      note_before(id, *incoming_);
    }
  }
  if (const uint32_t slot = index_.find(id); slot != kNone) {
    Frame& f = frames_[slot];
    // Compared without the checksum field, so an unchanged page (a table's tail copy written
    // back at every flush) costs no hash; a changed one is stamped when it is written back.
    if (!f.dirty && equal_but_checksum(page, *f.bytes)) return {};
    std::copy(page.begin(), page.end(), f.bytes->begin());
    mark_dirty(f);
    touch(slot);
    return {};
  }
  QM_TRY(evict_if_needed());
  Frame& f = take_frame(id);
  std::copy(page.begin(), page.end(), f.bytes->begin());
  mark_dirty(f);
  return {};
}

Result<uint64_t> PageCache::alloc_page() { return backend_.alloc_page(); }

Result<void> PageCache::flush() {
  if (backend_.read_only()) return {};
  if (MemoryStore* mem = backend_.memory()) mem->stamp_deferred_pages();
  std::vector<std::pair<uint64_t, uint32_t>> dirty;
  for (uint32_t slot : dirty_slots_)
    if (frames_[slot].dirty) dirty.emplace_back(frames_[slot].id, slot);
  std::sort(dirty.begin(), dirty.end());
  dirty.erase(std::unique(dirty.begin(), dirty.end()), dirty.end());
  if (dirty.empty()) {
    dirty_slots_.clear();
    return {};
  }
  // Stamping a page writes it when it is shared (hashed side by side, the costly part of a
  // flush of many pages); the others go to the backend in runs.
  std::vector<Page*> stamped;
  stamped.reserve(dirty.size());
  for (const auto& d : dirty) stamped.push_back(frames_[d.second].bytes);
  stamp_page_checksums(stamped);
  std::erase_if(dirty, [&](const std::pair<uint64_t, uint32_t>& d) {
    Frame& f = frames_[d.second];
    if (!f.shared) return false;
    backend_.memory()->mark_checksum_verified(f.id);
    f.dirty = false;
    return true;
  });
  if (WorkspaceStore* dev = backend_.workspace(); dev != nullptr && dev->journal() != nullptr && !dirty.empty()) {
    std::vector<uint64_t> ids;
    ids.reserve(dirty.size());
    for (const auto& d : dirty) ids.push_back(d.first);
    QM_TRY(dev->prepare_writes(ids));
  }
  // Runs go out highest first: pages appended past the stored end are written before the
  // pages that link to them, so a page is never linked to one that was not written.
  std::vector<const Page*> run;
  size_t end = dirty.size();
  while (end > 0) {
    size_t begin = end - 1;
    while (begin > 0 && dirty[begin - 1].first + 1 == dirty[begin].first) --begin;
    run.clear();
    for (size_t k = begin; k < end; ++k) run.push_back(frames_[dirty[k].second].bytes);
    // The first failure returns with every page still dirty, so a later flush writes them all.
    QM_TRY(backend_.write_pages_from(dirty[begin].first, run));
    end = begin;
  }
  MemoryStore* mem = backend_.memory();
  for (const auto& [id, slot] : dirty) {
    frames_[slot].dirty = false;
    if (mem) mem->mark_checksum_verified(id);
  }
  dirty_slots_.clear();
  return {};
}

}  // namespace qm::storage
