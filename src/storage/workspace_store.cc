#include "storage/workspace_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qm::storage {

std::string WorkspaceStore::chunk_path(std::string_view root, uint64_t chunk) {
  char name[40];
  std::snprintf(name, sizeof name, "chunk_%05llu.qmd", static_cast<unsigned long long>(chunk));
  return fs::join(fs::join(root, "chunks"), name);
}

std::optional<uint64_t> WorkspaceStore::chunk_of_name(std::string_view name) {
  // Exactly the name chunk_path gives: "chunk_", at least five digits, ".qmd".
  if (name.size() < 15 || name.substr(0, 6) != "chunk_" || name.substr(name.size() - 4) != ".qmd") return std::nullopt;
  const std::string_view digits = name.substr(6, name.size() - 10);
  if (digits.size() > 19) return std::nullopt;
  uint64_t chunk = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    chunk = chunk * 10 + uint64_t(c - '0');
  }
  char canonical[40];
  std::snprintf(canonical, sizeof canonical, "chunk_%05llu.qmd", static_cast<unsigned long long>(chunk));
  if (name != canonical) return std::nullopt;  // leading zeros beyond five digits, or an overflow
  return chunk;
}

Result<WorkspaceStore> WorkspaceStore::make(std::string root, uint64_t page_count) {
  QM_ASSIGN(auto created, fs::mkdir_all(fs::join(root, "chunks")));
  WorkspaceStore s(std::move(root), page_count);
  for (const auto& d : created) s.dirs_to_sync_.push_back(fs::parent_dir(d));
  return s;
}

Result<WorkspaceStore> WorkspaceStore::create(std::string root) { return make(std::move(root), 0); }

Result<WorkspaceStore> WorkspaceStore::open(std::string root, uint64_t page_count) {
  QM_ASSIGN(WorkspaceStore s, make(std::move(root), page_count));
  QM_TRY(s.count_held_pages());
  return s;
}

Result<void> WorkspaceStore::count_held_pages() {
  held_ = 0;
  const std::string dir = fs::join(root_, "chunks");
  QM_ASSIGN(auto names, fs::get().list_dir(dir));
  for (const std::string& name : names) {
    const std::optional<uint64_t> number = chunk_of_name(name);
    if (!number) continue;
    const uint64_t chunk = *number;
    if (chunk >= (page_count_ + kPagesPerChunk - 1) / kPagesPerChunk) continue;
    QM_ASSIGN(auto st, fs::get().lstat(fs::join(dir, name)));
    if (!st || st->kind != fs::EntryKind::Regular) continue;
    const uint64_t first = chunk * kPagesPerChunk;
    const uint64_t in_file = std::min<uint64_t>(st->size / kPageSize, kPagesPerChunk);
    held_ += std::min<uint64_t>(in_file, page_count_ - first);
  }
  return {};
}

Result<const uint8_t*> WorkspaceStore::locate(uint64_t id, uint8_t* single, std::optional<uint32_t>* checksum) {
  if (id >= page_count_) return fail(QmError::page_fault(id));
  if (id >= ahead_first_ && id - ahead_first_ < ahead_count_) {
    const size_t at = id - ahead_first_;
    last_read_ = id;
    if (checksum) {
      if (!ahead_summed_) {
        ahead_sums_.resize(kMaxRun);
        page_checksums(std::span<const uint8_t>(ahead_buffer_.data(), ahead_count_ * kPageSize), ahead_sums_);
        ahead_summed_ = true;
      }
      *checksum = ahead_sums_[at];
    }
    return ahead_buffer_.data() + at * kPageSize;
  }
  // A chain walked in order reads runs that double up to kMaxRun; any other read, one page.
  run_ = id == last_read_ + 1 ? std::min(run_ * 2, kMaxRun) : 1;
  last_read_ = id;
  uint64_t chunk = chunk_of(id);
  const fs::File* file;
  if (write_file_.is_open() && write_chunk_ == chunk) {
    file = &write_file_;
  } else {
    if (!read_file_.is_open() || read_chunk_ != chunk) {
      read_file_.close();
      QM_ASSIGN(read_file_, fs::get().open(chunk_path(root_, chunk), fs::kRead));
      read_chunk_ = chunk;
    }
    file = &read_file_;
  }
  const PageSpan one(single, kPageSize);
  const uint64_t run = std::min<uint64_t>({run_, kPagesPerChunk - (id & (kPagesPerChunk - 1)), page_count_ - id});
  if (run == 1) {
    QM_TRY(file->read_exact_at(one, offset_in_chunk(id)));
    return single;
  }
  ahead_count_ = 0;
  ahead_buffer_.resize(kMaxRun * kPageSize);
  // Allocated pages need not have reached the file yet: the run takes what the file holds.
  QM_ASSIGN(size_t got, file->read_at(std::span<uint8_t>(ahead_buffer_.data(), run * kPageSize), offset_in_chunk(id)));
  if (got < kPageSize) {  // its short-file error
    QM_TRY(file->read_exact_at(one, offset_in_chunk(id)));
    return single;
  }
  ahead_first_ = id;
  ahead_count_ = got / kPageSize;
  ahead_summed_ = false;
  // Served from the run like the pages after it.
  return locate(id, single, checksum);
}

Result<void> WorkspaceStore::read_page_into(uint64_t id, PageSpan out, std::optional<uint32_t>* checksum) {
  QM_ASSIGN(const uint8_t* at, locate(id, out.data(), checksum));
  if (at != out.data()) std::memcpy(out.data(), at, kPageSize);
  return {};
}

Result<ConstPageSpan> WorkspaceStore::lend_page(uint64_t id, uint32_t& checksum) {
  if (!single_) single_ = new_zero_page();
  std::optional<uint32_t> sum;
  QM_ASSIGN(const uint8_t* at, locate(id, single_->data(), &sum));
  const ConstPageSpan page(at, kPageSize);
  checksum = sum ? *sum : page_checksum(page);
  return page;
}

Result<std::vector<Page>> WorkspaceStore::read_all_pages() {
  std::vector<Page> pages;
  // Each chunk is opened once and read page by page; storage grows with the pages read, not
  // with the count alone.
  pages.reserve(static_cast<size_t>(std::min<uint64_t>(held_, kPagesPerChunk)));
  for (uint64_t chunk = 0; chunk * kPagesPerChunk < page_count_; ++chunk) {
    QM_ASSIGN(fs::File f, fs::get().open(chunk_path(root_, chunk), fs::kRead));
    uint64_t first = chunk * kPagesPerChunk;
    uint64_t end = std::min(page_count_, first + kPagesPerChunk);
    for (uint64_t id = first; id < end; ++id) {
      Page& p = pages.emplace_back();
      QM_TRY(f.read_exact_at(p, offset_in_chunk(id)));
    }
  }
  return pages;
}

Result<const fs::File*> WorkspaceStore::writable_chunk(uint64_t chunk) {
  if (write_file_.is_open() && write_chunk_ == chunk) return &write_file_;
  std::string path = chunk_path(root_, chunk);
  QM_ASSIGN(auto existing, fs::get().lstat(path));
  QM_ASSIGN(fs::File opened, fs::get().open(path, fs::kRead | fs::kWrite | fs::kCreate));
  // A new chunk file: its directory entry must be flushed with the next sync.
  if (!existing) dirs_to_sync_.push_back(fs::join(root_, "chunks"));
  write_file_ = std::move(opened);
  write_chunk_ = chunk;
  return &write_file_;
}

Result<void> WorkspaceStore::write_page(uint64_t id, ConstPageSpan page) {
  if (journal_) QM_TRY(journal_->before_write(*this, id));
  written(id, 1);
  uint64_t chunk = chunk_of(id);
  dirty_.insert(chunk);
  QM_ASSIGN(const fs::File* f, writable_chunk(chunk));
  return f->write_all_at(page, offset_in_chunk(id));
}

Result<void> WorkspaceStore::write_run(uint64_t first, std::span<const Page* const> pages) {
  written(first, pages.size());
  uint64_t chunk = chunk_of(first);
  dirty_.insert(chunk);
  QM_ASSIGN(const fs::File* f, writable_chunk(chunk));
  if (pages.size() == 1) return f->write_all_at(*pages[0], offset_in_chunk(first));
  run_buffer_.resize(pages.size() * kPageSize);
  for (size_t i = 0; i < pages.size(); ++i) std::memcpy(run_buffer_.data() + i * kPageSize, pages[i]->data(), kPageSize);
  return f->write_all_at(std::string_view(run_buffer_), offset_in_chunk(first));
}

Result<void> WorkspaceStore::write_pages_from(uint64_t first, std::span<const Page* const> pages) {
  if (journal_) {
    for (size_t i = 0; i < pages.size(); ++i) QM_TRY(write_page(first + i, *pages[i]));
    return {};
  }
  size_t done = 0;
  while (done < pages.size()) {
    uint64_t id = first + done;
    uint64_t room = kPagesPerChunk - (id & (kPagesPerChunk - 1));
    size_t take = static_cast<size_t>(std::min<uint64_t>(room, pages.size() - done));
    QM_TRY(write_run(id, pages.subspan(done, take)));
    done += take;
  }
  return {};
}

void WorkspaceStore::rolled_back(uint64_t page_count, uint64_t held) {
  page_count_ = page_count;
  held_ = held;
  close_files();
  last_read_ = UINT64_MAX;
  run_ = 1;
  dirty_.clear();
  dirs_to_sync_.clear();
  // Sizes changed with the cut: the next flush of a chunk takes the full flush.
  synced_sizes_.clear();
  syncing_sizes_.clear();
  syncing_files_.clear();
  syncing_dirs_ = 0;
}

Result<void> WorkspaceStore::sync_data() {
  fs::SyncGroup group;
  QM_TRY(add_sync(group));
  QM_TRY(group.run());
  synced();
  return {};
}

Result<void> WorkspaceStore::add_sync(fs::SyncGroup& group) {
  syncing_files_.clear();
  syncing_sizes_.clear();
  syncing_dirs_ = 0;
  // A chunk rewritten in place (its size as at its last flush) needs its data flushed, not
  // its times: fdatasync spares the file system a journal commit. A grown one gets fsync.
  auto add = [&](const fs::File& f, uint64_t chunk) -> Result<void> {
    QM_ASSIGN(uint64_t size, f.size());
    auto it = synced_sizes_.find(chunk);
    group.add(f, /*data_only=*/it != synced_sizes_.end() && it->second == size);
    syncing_sizes_[chunk] = size;
    return {};
  };
  for (uint64_t chunk : dirty_) {
    if (write_file_.is_open() && write_chunk_ == chunk) {
      QM_TRY(add(write_file_, chunk));
    } else {
      QM_ASSIGN(fs::File f, fs::get().open(chunk_path(root_, chunk), fs::kRead | fs::kWrite));
      QM_TRY(add(syncing_files_.emplace_back(std::move(f)), chunk));
    }
  }
  for (const std::string& dir : dirs_to_sync_) group.add_dir(dir);
  syncing_dirs_ = dirs_to_sync_.size();
  return {};
}

void WorkspaceStore::synced() {
  for (const auto& [chunk, size] : syncing_sizes_) {
    synced_sizes_[chunk] = size;
    dirty_.erase(chunk);
  }
  syncing_sizes_.clear();
  syncing_files_.clear();
  dirs_to_sync_.erase(dirs_to_sync_.begin(), dirs_to_sync_.begin() + static_cast<std::ptrdiff_t>(
                                                   std::min(syncing_dirs_, dirs_to_sync_.size())));
  syncing_dirs_ = 0;
}

}  // namespace qm::storage
