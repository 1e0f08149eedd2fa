#include "storage/page.h"

#include <algorithm>
#include <cstdio>

#include "core/blake3.h"
#include "core/bytes.h"

namespace qm::storage {

uint32_t page_checksum(ConstPageSpan page) {
  // One pass over the page's chunks side by side; the same value as hashing bytes 0..24 and
  // 28..4096 through an incremental hasher.
  return checksum_from_hash_prefix(blake3_prefix_u32_of_4k_without(page, kChecksumOffset));
}

void stamp_page_checksum(PageSpan page) { store_u32(page.data() + kChecksumOffset, page_checksum(page)); }

void page_checksums(std::span<const uint8_t> pages, std::span<uint32_t> out) {
  blake3_prefix_u32_of_4k_without_many(pages, kChecksumOffset, out);
  for (uint32_t& v : out.first(std::min(out.size(), pages.size() / kPageSize))) v = checksum_from_hash_prefix(v);
}

void stamp_page_checksums(std::span<Page* const> pages) {
  constexpr size_t kRun = 64;
  const uint8_t* blocks[kRun];
  uint32_t sums[kRun];
  for (size_t at = 0; at < pages.size(); at += kRun) {
    const size_t n = std::min(kRun, pages.size() - at);
    for (size_t i = 0; i < n; ++i) blocks[i] = pages[at + i]->data();
    blake3_prefix_u32_of_4k_without_each(std::span(blocks, n), kChecksumOffset, std::span(sums, n));
    for (size_t i = 0; i < n; ++i)
      store_u32(pages[at + i]->data() + kChecksumOffset, checksum_from_hash_prefix(sums[i]));
  }
}

Result<void> verify_page_checksum(uint64_t page_id, ConstPageSpan page) {
  if (load_u32(page.data() + kChecksumOffset) == 0) return {};
  return verify_page_checksum(page_id, page, page_checksum(page));
}

Result<void> verify_page_checksum(uint64_t page_id, ConstPageSpan page, uint32_t computed) {
  uint32_t stored = load_u32(page.data() + kChecksumOffset);
  if (stored == 0) return {};
  if (stored == computed) return {};
  char buf[96];
  std::snprintf(buf, sizeof buf, " checksum mismatch (stored 0x%08x, computed 0x%08x)", stored, computed);
  return fail(QmError::corruption("page " + std::to_string(page_id) + buf));
}

}  // namespace qm::storage
