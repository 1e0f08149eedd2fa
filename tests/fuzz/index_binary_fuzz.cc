// The stored secondary-index form: decoding hostile bytes never crashes or allocates what a
// hostile count asks; what decodes encodes back to the same bytes' meaning.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "core/bytes.h"
#include "storage/secondary_index.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto index = qm::storage::SecondaryIndex::decode_binary(std::span<const uint8_t>(data, size));
  if (!index) {
    if (index.error().kind != qm::ErrorKind::Corruption) std::abort();  // damage, never another kind
    return 0;
  }
  auto bytes = index->encode_binary();
  if (!bytes) return 0;
  auto again = qm::storage::SecondaryIndex::decode_binary(qm::as_bytes(*bytes));
  if (!again) std::abort();
  auto bytes2 = again->encode_binary();
  if (!bytes2 || *bytes2 != *bytes) std::abort();
  return 0;
}
