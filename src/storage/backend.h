// Backend: the page store under the page cache, one of a closed set of four:
//   Workspace      workspace chunk files (WorkspaceStore), writable;
//   Memory         pages in memory (memory databases, imported images), writable;
//   Image          the page area of a mapped production image (ImageStore), read-only;
//   StreamedImage  the page area of an image read through a caller's reader, read-only.
// Page ids are dense: a backend of n pages holds ids 0 .. n - 1. Reads beyond the count are
// PageFault(id); writes and allocations on the read-only variants are ReadOnly.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/error.h"
#include "storage/workspace_store.h"
#include "storage/image_store.h"
#include "storage/page.h"

namespace qm::storage {

class Backend;

// Pages in memory; the page id is the index.
class MemoryStore {
 public:
  MemoryStore() = default;
  // The pages of an image's page area (a multiple of 4096 bytes, checked by the caller).
  static MemoryStore from_page_area(std::span<const uint8_t> area);
  // The pages of another store, each copied once as read_page_into hands it out.
  static Result<MemoryStore> copy_of(Backend& source);

  uint64_t page_count() const { return pages_.size(); }
  // Appends a zero page and returns its id.
  uint64_t alloc_page();
  // Drops the pages from `count` on (the undo of their allocation); a page cache over this
  // store must forget them first.
  void truncate(uint64_t count) {
    if (count < pages_.size()) {
      pages_.resize(count);
      verified_.resize(count);
      unstamped_.resize(count);
    }
  }
  // A page whose stamp was deferred is stamped first: a reader past the cache sees the
  // bytes an eviction that stamped at once would have left.
  Result<void> read_page_into(uint64_t id, PageSpan out);
  // id >= page_count: PageFault(id). The page loses any mark of a verified checksum.
  Result<void> write_page(uint64_t id, ConstPageSpan page);

  // Whether the stored bytes of page `id` are known to carry a correct checksum: the page
  // cache marks a page after verifying it or after writing it freshly stamped, and only a
  // write clears the mark, so these bytes, which never leave the process, need no second
  // check. Imported pages start unmarked.
  bool checksum_verified(uint64_t id) const { return id < verified_.size() && verified_[id]; }
  void mark_checksum_verified(uint64_t id) {
    if (id < verified_.size()) {
      verified_[id] = true;
      unstamped_[id] = false;
    }
  }
  void clear_checksum_verified(uint64_t id) {
    if (id < verified_.size()) verified_[id] = false;
  }

  // A page changed through the cache and then evicted is stamped at the next flush instead
  // of at its eviction: with more pages than the cache holds, scattered one-row changes
  // would otherwise hash a whole page each. Until then its bytes are the cache's own and are
  // loaded unchecked; every path that hands pages out of the process flushes first.
  void defer_stamp(uint64_t id) {
    if (id >= unstamped_.size() || unstamped_[id]) return;
    unstamped_[id] = true;
    unstamped_list_.push_back(id);
  }
  bool stamp_deferred(uint64_t id) const { return id < unstamped_.size() && unstamped_[id]; }
  // Stamps the page now when its stamp was deferred.
  void settle_stamp(uint64_t id) {
    if (!stamp_deferred(id)) return;
    stamp_page_checksum(*pages_[id]);
    verified_[id] = true;
    unstamped_[id] = false;
  }
  // Stamps every page whose stamp was deferred and marks it verified.
  void stamp_deferred_pages();

  // The stored page itself, for a page cache that works on it in place (the address stays
  // valid while the store lives, whatever is allocated after it); null beyond the count.
  Page* page(uint64_t id) { return id < pages_.size() ? pages_[id].get() : nullptr; }

 private:
  std::vector<PageBox> pages_;
  std::vector<bool> verified_;   // parallel to pages_
  std::vector<bool> unstamped_;  // parallel to pages_: a stamp deferred by an eviction
  std::vector<uint64_t> unstamped_list_;  // the ids marked there (some may since be cleared)
};

// The reader a streamed image is read through.
class PageReader {
 public:
  virtual ~PageReader() = default;
  virtual Result<std::vector<uint8_t>> read(uint64_t offset, uint64_t length) = 0;
};

// The page area of an image read through a PageReader: page i is read(24 + 4096 i, 4096).
class StreamedImageStore {
 public:
  StreamedImageStore(std::unique_ptr<PageReader> reader, uint64_t page_count)
      : reader_(std::move(reader)), page_count_(page_count) {}
  uint64_t page_count() const { return page_count_; }
  // PageFault(id) beyond the count; the reader's error unchanged; a result that is not 4096
  // bytes: Corruption "streamed page has the wrong length".
  Result<void> read_page_into(uint64_t id, PageSpan out) const;

 private:
  std::unique_ptr<PageReader> reader_;
  uint64_t page_count_ = 0;
};

class Backend {
 public:
  enum class Kind : uint8_t { Workspace, Memory, Image, StreamedImage };

  explicit Backend(WorkspaceStore store) : v_(std::move(store)) {}
  explicit Backend(MemoryStore store) : v_(std::move(store)) {}
  explicit Backend(ImageStore store) : v_(std::move(store)) {}
  explicit Backend(StreamedImageStore store) : v_(std::move(store)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool read_only() const { return kind() == Kind::Image || kind() == Kind::StreamedImage; }
  uint64_t page_count() const;
  // The pages a walk can really reach: a workspace store counts what its chunk files hold,
  // not what its manifest claims; the other stores hold exactly page_count().
  uint64_t held_page_count() const;

  Result<void> read_page_into(uint64_t id, PageSpan out);
  // As read_page_into; `checksum` receives the page's computed checksum when the backend
  // computed it with the read (a workspace read run), and stays empty otherwise.
  Result<void> read_page_into(uint64_t id, PageSpan out, std::optional<uint32_t>& checksum);
  Result<PageBox> read_page(uint64_t id);
  Result<std::vector<Page>> read_all_pages();
  Result<void> write_page(uint64_t id, ConstPageSpan page);
  // pages[i] is page first + i. Memory: page by page, the first id past the end is PageFault
  // (earlier pages stay written).
  Result<void> write_pages_from(uint64_t first, std::span<const Page* const> pages);
  // A workspace counts up its page count; memory appends a zero page; read-only variants: ReadOnly.
  Result<uint64_t> alloc_page();

  WorkspaceStore* workspace() { return std::get_if<WorkspaceStore>(&v_); }
  MemoryStore* memory() { return std::get_if<MemoryStore>(&v_); }
  ImageStore* image() { return std::get_if<ImageStore>(&v_); }
  StreamedImageStore* streamed_image() { return std::get_if<StreamedImageStore>(&v_); }
  const WorkspaceStore* workspace() const { return std::get_if<WorkspaceStore>(&v_); }
  const MemoryStore* memory() const { return std::get_if<MemoryStore>(&v_); }
  const ImageStore* image() const { return std::get_if<ImageStore>(&v_); }
  const StreamedImageStore* streamed_image() const { return std::get_if<StreamedImageStore>(&v_); }

 private:
  std::variant<WorkspaceStore, MemoryStore, ImageStore, StreamedImageStore> v_;
};

}  // namespace qm::storage
