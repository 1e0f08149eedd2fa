#include "storage/page.h"

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

Result<void> verify_page_checksum(uint64_t page_id, ConstPageSpan page) {
  uint32_t stored = load_u32(page.data() + kChecksumOffset);
  if (stored == 0) return {};
  uint32_t computed = page_checksum(page);
  if (stored == computed) return {};
  char buf[96];
  std::snprintf(buf, sizeof buf, " checksum mismatch (stored 0x%08x, computed 0x%08x)", stored, computed);
  return fail(QmError::corruption("page " + std::to_string(page_id) + buf));
}

}  // namespace qm::storage
