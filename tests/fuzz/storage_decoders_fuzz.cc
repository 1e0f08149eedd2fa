// The stored binary forms read back from disk or an image: any bytes must decode or fail with
// an error, never crash or allocate by a claimed count. The first byte picks the decoder:
// 0 record, 1 secondary index, 2 columnar page, 3 row page with every record decoded.
#include <cstdint>
#include <span>
#include <string>

#include "storage/cas_store.h"
#include "storage/cold_page.h"
#include "storage/record.h"
#include "storage/row_page.h"
#include "storage/secondary_index.h"

namespace {

const qm::storage::CasStore& blobs() {
  static const qm::storage::CasStore store = [] {
    auto s = qm::storage::CasStore::new_memory();
    (void)s.put(std::string(20, 'a'));
    (void)s.put(std::string("\xFF\xFE invalid text in the store"));
    return s;
  }();
  return store;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::span<const uint8_t> in(data + 1, size - 1);
  qm::Row row;
  switch (data[0] % 4) {
    case 0:
      (void)qm::storage::record::decode_record_into(in, blobs(), row);
      break;
    case 1:
      (void)qm::storage::SecondaryIndex::decode_binary(in);
      break;
    case 2:
      (void)qm::storage::ColdPage::decode(in);
      (void)qm::storage::ColdPage::envelopes(in);
      break;
    case 3: {
      auto view = qm::storage::RowPageRef::over(in);
      if (!view) break;
      for (uint16_t s = 0; s < view->slot_count(); ++s) {
        auto rec = view->record(s);
        if (rec) (void)qm::storage::record::decode_record_into(*rec, blobs(), row);
      }
      if (in.size() == qm::storage::kPageSize) {
        auto page = qm::storage::RowPage::from_bytes(in);
        if (page && page->slot_count() > 0) (void)page->patch_envelope_deleted(0, 1);
      }
      break;
    }
  }
  return 0;
}
