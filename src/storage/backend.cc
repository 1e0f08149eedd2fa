#include "storage/backend.h"

#include <cstring>

namespace qm::storage {

// ---- MemoryStore -----------------------------------------------------------------------------

MemoryStore MemoryStore::from_page_area(std::span<const uint8_t> area) {
  MemoryStore s;
  size_t n = area.size() / kPageSize;
  s.pages_.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    // Not zeroed first: the copy overwrites the whole page.
    auto p = std::make_unique_for_overwrite<Page>();
    std::memcpy(p->data(), area.data() + i * kPageSize, kPageSize);
    s.pages_.push_back(std::move(p));
  }
  s.verified_.assign(n, false);
  s.unstamped_.assign(n, false);
  return s;
}

Result<MemoryStore> MemoryStore::copy_of(Backend& source) {
  MemoryStore s;
  const uint64_t n = source.page_count();
  s.pages_.reserve(static_cast<size_t>(n));
  for (uint64_t id = 0; id < n; ++id) {
    auto p = std::make_unique_for_overwrite<Page>();
    QM_TRY(source.read_page_into(id, *p));
    s.pages_.push_back(std::move(p));
  }
  s.verified_.assign(s.pages_.size(), false);
  s.unstamped_.assign(s.pages_.size(), false);
  return s;
}

uint64_t MemoryStore::alloc_page() {
  pages_.push_back(new_zero_page());
  verified_.push_back(false);
  unstamped_.push_back(false);
  return pages_.size() - 1;
}

void MemoryStore::stamp_deferred_pages() {
  std::vector<Page*> due;
  due.reserve(unstamped_list_.size());
  for (uint64_t id : unstamped_list_) {
    if (id >= pages_.size() || !unstamped_[id]) continue;  // truncated, written or stamped since
    due.push_back(pages_[id].get());
    verified_[id] = true;
    unstamped_[id] = false;
  }
  unstamped_list_.clear();
  stamp_page_checksums(due);
}

Result<void> MemoryStore::read_page_into(uint64_t id, PageSpan out) {
  if (id >= pages_.size()) return fail(QmError::page_fault(id));
  settle_stamp(id);
  std::memcpy(out.data(), pages_[id]->data(), kPageSize);
  return {};
}

Result<void> MemoryStore::write_page(uint64_t id, ConstPageSpan page) {
  if (id >= pages_.size()) return fail(QmError::page_fault(id));
  std::memcpy(pages_[id]->data(), page.data(), kPageSize);
  verified_[id] = false;
  unstamped_[id] = false;  // the bytes are the writer's, stamped or not
  return {};
}

// ---- StreamedImageStore ----------------------------------------------------------------------------

Result<void> StreamedImageStore::read_page_into(uint64_t id, PageSpan out) const {
  if (id >= page_count_) return fail(QmError::page_fault(id));
  QM_ASSIGN(auto bytes, reader_->read(24 + id * kPageSize, kPageSize));
  if (bytes.size() != kPageSize) return fail(QmError::corruption("streamed page has the wrong length"));
  std::memcpy(out.data(), bytes.data(), kPageSize);
  return {};
}

// ---- Backend --------------------------------------------------------------------------------

uint64_t Backend::held_page_count() const {
  if (const auto* d = workspace()) return d->held_page_count();
  return page_count();
}

uint64_t Backend::page_count() const {
  return std::visit([](const auto& s) { return s.page_count(); }, v_);
}

Result<void> Backend::read_page_into(uint64_t id, PageSpan out) {
  return std::visit([&](auto& s) { return s.read_page_into(id, out); }, v_);
}

Result<void> Backend::read_page_into(uint64_t id, PageSpan out, std::optional<uint32_t>& checksum) {
  checksum.reset();
  if (WorkspaceStore* dev = std::get_if<WorkspaceStore>(&v_)) return dev->read_page_into(id, out, &checksum);
  return read_page_into(id, out);
}

Result<PageBox> Backend::read_page(uint64_t id) {
  auto p = std::make_unique<Page>();
  QM_TRY(read_page_into(id, *p));
  return p;
}

Result<std::vector<Page>> Backend::read_all_pages() {
  if (auto* d = workspace()) return d->read_all_pages();
  std::vector<Page> pages;
  uint64_t n = page_count();
  // Memory and mapped stores hold their pages already, so their count is safe to reserve;
  // a streamed store's count is only the caller's word.
  if (!streamed_image()) pages.reserve(static_cast<size_t>(n));
  for (uint64_t id = 0; id < n; ++id) QM_TRY(read_page_into(id, pages.emplace_back()));
  return pages;
}

Result<void> Backend::write_page(uint64_t id, ConstPageSpan page) {
  if (auto* d = workspace()) return d->write_page(id, page);
  if (auto* m = memory()) return m->write_page(id, page);
  return fail(QmError::read_only());
}

Result<void> Backend::write_pages_from(uint64_t first, std::span<const Page* const> pages) {
  if (auto* d = workspace()) return d->write_pages_from(first, pages);
  if (auto* m = memory()) {
    for (size_t i = 0; i < pages.size(); ++i) QM_TRY(m->write_page(first + i, *pages[i]));
    return {};
  }
  return fail(QmError::read_only());
}

Result<uint64_t> Backend::alloc_page() {
  if (auto* d = workspace()) return d->alloc_page();
  if (auto* m = memory()) return m->alloc_page();
  return fail(QmError::read_only());
}

}  // namespace qm::storage
