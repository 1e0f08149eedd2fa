// ImageStore: the read-only page area of a production image (.qmdb). Opening copies the image
// into a private unnamed temporary file in the platform's temporary directory and maps that
// copy read-only, so later changes to the image file never reach an open database. The
// mapping is shared (by reference count) with the blob store built over the image's pool.
//
// Checks at open: at least 24 bytes ("monolith smaller than file header"); the copy must get
// every byte counted at open ("monolith changed length while it was being opened"); the
// header (FileHeader::decode); the page-area end E with E mod 4096 = 24 and
// E <= manifest offset <= length ("monolith offsets are inconsistent").
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/error.h"
#include "core/file_header.h"
#include "core/fs.h"
#include "storage/page.h"

namespace qm::storage {

class ImageStore {
 public:
  static Result<ImageStore> open(const std::string& path);

  // (page-area end - 24) / 4096.
  uint64_t page_count() const { return (header_.pages_end - kFileHeaderSize) / kPageSize; }
  // id >= page_count: PageFault(id); else a copy of the page.
  Result<void> read_page_into(uint64_t id, PageSpan out) const;
  // The page's bytes inside the mapping.
  Result<ConstPageSpan> page(uint64_t id) const;

  const FileHeader& header() const { return header_; }
  // The whole image as mapped (the private copy).
  std::span<const uint8_t> bytes() const { return map_->bytes(); }
  const std::shared_ptr<const fs::Mapping>& mapping() const { return map_; }

 private:
  ImageStore(std::shared_ptr<const fs::Mapping> map, FileHeader header) : map_(std::move(map)), header_(header) {}
  std::shared_ptr<const fs::Mapping> map_;
  FileHeader header_;
};

}  // namespace qm::storage
