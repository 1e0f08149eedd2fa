// Row and columnar pages read from disk: every accessor copes with any 4096 bytes.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "storage/cold_page.h"
#include "storage/row_page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::array<uint8_t, 4096> page{};
  std::memcpy(page.data(), data, size < page.size() ? size : page.size());
  std::span<const uint8_t> bytes(page);
  if (auto ref = qm::storage::RowPageRef::over(bytes)) {
    for (uint32_t i = 0; i < 70000 && i <= 0xffff; ++i) {
      if (!ref->record(static_cast<uint16_t>(i))) break;
    }
  }
  if (auto row = qm::storage::RowPage::from_bytes(bytes)) {
    // A patch must keep the header the next insert relies on: patch with a word that would
    // wreck slot_count and free_space_ptr if it landed on them, then append.
    (void)row->patch_envelope_deleted(0, 0xFFFFFFFFFFFFFFFFull);
    const std::array<uint8_t, 40> record{};
    (void)row->insert(record);
  }
  (void)qm::storage::ColdPage::validate(bytes);
  (void)qm::storage::ColdPage::next_page(bytes);
  (void)qm::storage::ColdPage::envelopes(bytes);
  (void)qm::storage::ColdPage::encoded_len(bytes);
  // Damage is reported as corruption or a wrong page type, never as something else.
  if (auto cols = qm::storage::ColdPage::decode(bytes); !cols) {
    const auto k = cols.error().kind;
    if (k != qm::ErrorKind::Corruption && k != qm::ErrorKind::InvalidPageType) std::abort();
  }
  (void)qm::storage::ColdPage::record(bytes, 0);
  return 0;
}
