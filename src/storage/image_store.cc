#include "storage/image_store.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace qm::storage {

Result<ImageStore> ImageStore::open(const std::string& path) {
  fs::FileSystem& fsys = fs::get();
  QM_ASSIGN(fs::File image, fsys.open(path, fs::kRead));
  QM_ASSIGN(uint64_t length, image.size());
  if (length < kFileHeaderSize) return fail(QmError::corruption("monolith smaller than file header"));
  // The private copy: later changes to the image file never reach this database.
  QM_ASSIGN(fs::File copy, fsys.open_tmpfile(fs::temp_dir()));
  std::vector<uint8_t> buf(1u << 20);
  uint64_t copied = 0;
  while (copied < length) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), length - copied));
    QM_ASSIGN(size_t n, image.read_at(std::span<uint8_t>(buf.data(), want), copied));
    if (n == 0) break;
    QM_TRY(copy.write_all_at(std::span<const uint8_t>(buf.data(), n), copied));
    copied += n;
  }
  if (copied < length) return fail(QmError::corruption("monolith changed length while it was being opened"));
  image.close();
  QM_ASSIGN(auto map, copy.map_readonly(length));
  QM_ASSIGN(FileHeader header, FileHeader::decode(map->bytes()));
  if (header.pages_end % kPageSize != kFileHeaderSize || header.manifest_offset < header.pages_end ||
      header.manifest_offset > length)
    return fail(QmError::corruption("monolith offsets are inconsistent"));
  return ImageStore(std::move(map), header);
}

Result<ConstPageSpan> ImageStore::page(uint64_t id) const {
  if (id >= page_count()) return fail(QmError::page_fault(id));
  return ConstPageSpan(map_->bytes().subspan(kFileHeaderSize + id * kPageSize, kPageSize));
}

Result<void> ImageStore::read_page_into(uint64_t id, PageSpan out) const {
  QM_ASSIGN(ConstPageSpan p, page(id));
  std::memcpy(out.data(), p.data(), kPageSize);
  return {};
}

}  // namespace qm::storage
