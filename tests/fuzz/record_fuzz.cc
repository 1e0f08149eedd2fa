// Stored records: any bytes decode or fail cleanly; what decodes re-encodes to a record
// that decodes to the same values.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "storage/cas_store.h"
#include "storage/record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static qm::storage::CasStore store = [] {
    auto s = qm::storage::CasStore::new_memory();
    (void)s.put(std::string_view("a blob value that lives in the store"));
    return s;
  }();
  std::span<const uint8_t> bytes(data, size);
  auto decoded = qm::storage::record::decode_record(bytes, store);
  if (!decoded) return 0;
  auto again = qm::storage::record::encode_record(decoded->first, decoded->second, store);
  if (!again) return 0;
  auto round = qm::storage::record::decode_record(qm::as_bytes(*again), store);
  if (!round || round->second != decoded->second) std::abort();
  return 0;
}
