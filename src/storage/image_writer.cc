#include "storage/image_writer.h"

#include <cstring>

#include "core/file_header.h"

namespace qm::storage {

Result<ImageLayout> image_layout(uint64_t page_count, uint64_t pool_len, uint64_t index_len, uint64_t manifest_len) {
  auto overflow = [] { return fail(QmError::corruption("monolith size overflows address space")); };
  if (page_count >= (uint64_t{1} << 52)) return overflow();
  ImageLayout l;
  l.pages_end = kFileHeaderSize + page_count * kPageSize;  // below 2^64 for n < 2^52
  if (__builtin_add_overflow(l.pages_end, pool_len, &l.index_offset)) return overflow();
  if (__builtin_add_overflow(l.index_offset, index_len, &l.manifest_offset)) return overflow();
  if (__builtin_add_overflow(l.manifest_offset, manifest_len, &l.total)) return overflow();
  return l;
}

void write_image_header(std::span<uint8_t, 24> out, const ImageLayout& layout, uint16_t version) {
  FileHeader header;
  header.format_version = version;
  header.manifest_offset = layout.manifest_offset;
  header.pages_end = layout.pages_end;
  std::string bytes;
  header.encode_to(bytes);
  std::memcpy(out.data(), bytes.data(), out.size());
}

Result<std::string> bake_monolith_bytes_with_index(std::span<const Page> pages, std::span<const uint8_t> pool,
                                                   std::span<const uint8_t> index_region,
                                                   std::span<const uint8_t> manifest, uint16_t version) {
  QM_ASSIGN(ImageLayout l, image_layout(pages.size(), pool.size(), index_region.size(), manifest.size()));
  std::string out;
  if (l.total > out.max_size()) return fail(QmError::corruption("monolith size overflows address space"));
  out.reserve(static_cast<size_t>(l.total));
  FileHeader header;
  header.format_version = version;
  header.manifest_offset = l.manifest_offset;
  header.pages_end = l.pages_end;
  header.encode_to(out);
  if (!pages.empty()) out.append(reinterpret_cast<const char*>(pages.data()), pages.size() * kPageSize);
  out.append(reinterpret_cast<const char*>(pool.data()), pool.size());
  out.append(reinterpret_cast<const char*>(index_region.data()), index_region.size());
  out.append(reinterpret_cast<const char*>(manifest.data()), manifest.size());
  return out;
}

}  // namespace qm::storage
