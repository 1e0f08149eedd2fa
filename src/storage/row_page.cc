#include "storage/row_page.h"

#include <cstring>

#include "core/bytes.h"
#include "core/record_envelope.h"

namespace qm::storage {
namespace {

constexpr size_t kReservedOffset = 21;

QmError header_out_of_range(uint16_t slots, uint16_t fsp) {
  return QmError::corruption("row page header out of range: slot_count=" + std::to_string(slots) +
                             ", free_space_ptr=" + std::to_string(fsp));
}

std::optional<uint64_t> link_at(const uint8_t* p) {
  uint64_t v = load_u64(p);
  if (v == kNoPage) return std::nullopt;
  return v;
}

}  // namespace

RowPage::RowPage(uint64_t page_id) : page_(new_zero_page()) { init_empty(page_id); }

void RowPage::reset(uint64_t page_id) {
  page_->fill(0);
  init_empty(page_id);
}

void RowPage::init_empty(uint64_t page_id) {
  uint8_t* p = page_->data();
  store_u64(p + kPageIdOffset, page_id);
  p[kPageTypeOffset] = kRowPageType;
  store_u16(p + kSlotCountOffset, 0);
  store_u16(p + kFreeSpaceOffset, static_cast<uint16_t>(kPageSize));
  store_u64(p + kRowNextOffset, kNoPage);
}

Result<RowPage> RowPage::from_bytes(std::span<const uint8_t> bytes) {
  if (bytes.size() != kPageSize) return fail(QmError::buffer_too_small(kPageSize, bytes.size()));
  if (bytes[kPageTypeOffset] != kRowPageType) return fail(QmError::invalid_page_type(bytes[kPageTypeOffset]));
  uint16_t slots = load_u16(bytes.data() + kSlotCountOffset);
  uint16_t fsp = load_u16(bytes.data() + kFreeSpaceOffset);
  if (fsp > kPageSize || kRowHeaderSize + kSlotSize * size_t{slots} > fsp) return fail(header_out_of_range(slots, fsp));
  auto page = std::make_unique<Page>();
  std::memcpy(page->data(), bytes.data(), kPageSize);
  return RowPage(std::move(page));
}

uint64_t RowPage::page_id() const { return load_u64(page_->data() + kPageIdOffset); }
uint16_t RowPage::slot_count() const { return load_u16(page_->data() + kSlotCountOffset); }
uint16_t RowPage::free_space_ptr() const { return load_u16(page_->data() + kFreeSpaceOffset); }
size_t RowPage::free_space() const { return free_space_ptr() - (kRowHeaderSize + kSlotSize * size_t{slot_count()}); }

Result<Slot> RowPage::slot(uint16_t i) const {
  uint16_t slots = slot_count();
  if (i >= slots) return fail(QmError::out_of_bounds(i, slots));
  if (i >= kMaxSlots) return fail(QmError::corruption("slot array out of page bounds"));
  const uint8_t* s = page_->data() + kRowHeaderSize + kSlotSize * size_t{i};
  return Slot{load_u16(s), load_u16(s + 2)};
}

Result<std::span<const uint8_t>> RowPage::record(uint16_t i) const {
  QM_ASSIGN(Slot s, slot(i));
  if (size_t{s.offset} + s.length > kPageSize) return fail(QmError::corruption("row record out of page bounds"));
  return std::span<const uint8_t>(page_->data() + s.offset, s.length);
}

Result<uint16_t> RowPage::insert(std::span<const uint8_t> record) {
  uint16_t slots = slot_count();
  uint16_t fsp = free_space_ptr();
  size_t available = fsp - (kRowHeaderSize + kSlotSize * size_t{slots});
  size_t needed = record.size() + kSlotSize;
  if (needed > available) return fail(QmError::page_full(needed, available));
  uint8_t* p = page_->data();
  uint16_t offset = static_cast<uint16_t>(fsp - record.size());
  if (!record.empty()) std::memcpy(p + offset, record.data(), record.size());
  uint8_t* s = p + kRowHeaderSize + kSlotSize * size_t{slots};
  store_u16(s, offset);
  store_u16(s + 2, static_cast<uint16_t>(record.size()));
  store_u16(p + kSlotCountOffset, static_cast<uint16_t>(slots + 1));
  store_u16(p + kFreeSpaceOffset, offset);
  std::memset(p + kReservedOffset, 0, kRowHeaderSize - kReservedOffset);
  return slots;
}

std::optional<uint64_t> RowPage::next_page() const { return link_at(page_->data() + kRowNextOffset); }

void RowPage::set_next_page(std::optional<uint64_t> next) {
  uint8_t* p = page_->data();
  store_u64(p + kRowNextOffset, next.value_or(kNoPage));
  std::memset(p + kReservedOffset, 0, kRowHeaderSize - kReservedOffset);
}

Result<void> RowPage::patch_envelope_deleted(uint16_t i, uint64_t deleted_tx) {
  return patch_deleted_at(std::span<uint8_t>(*page_), i, deleted_tx);
}

Result<void> RowPage::patch_deleted_at(std::span<uint8_t> bytes, uint16_t i, uint64_t deleted_tx) {
  const uint16_t slots = load_u16(bytes.data() + kSlotCountOffset);
  if (i >= slots) return fail(QmError::out_of_bounds(i, slots));
  if (i >= kMaxSlots) return fail(QmError::corruption("slot array out of page bounds"));
  const uint8_t* slot = bytes.data() + kRowHeaderSize + kSlotSize * size_t{i};
  const Slot s{load_u16(slot), load_u16(slot + 2)};
  if (s.length < kEnvelopeSize) return fail(QmError::corruption("row record is shorter than its MVCC envelope"));
  // Records lie in [free_space_ptr, 4096); a slot pointing below that would have the patch
  // rewrite the header or the slot directory, and with them the bounds inserts rely on.
  if (size_t{s.offset} + 16 > kPageSize || s.offset < load_u16(bytes.data() + kFreeSpaceOffset))
    return fail(QmError::corruption("row envelope is out of page bounds"));
  store_u64(bytes.data() + s.offset + 8, deleted_tx);
  return {};
}

Result<void> RowPage::patch_envelope_deleted_in(std::span<uint8_t> bytes, uint16_t i, uint64_t deleted_tx) {
  // The header checks of from_bytes, then the patch itself.
  if (bytes.size() != kPageSize) return fail(QmError::buffer_too_small(kPageSize, bytes.size()));
  if (bytes[kPageTypeOffset] != kRowPageType) return fail(QmError::invalid_page_type(bytes[kPageTypeOffset]));
  const uint16_t slots = load_u16(bytes.data() + kSlotCountOffset);
  const uint16_t fsp = load_u16(bytes.data() + kFreeSpaceOffset);
  if (fsp > kPageSize || kRowHeaderSize + kSlotSize * size_t{slots} > fsp) return fail(header_out_of_range(slots, fsp));
  return patch_deleted_at(bytes, i, deleted_tx);
}

RowPageRef RowPage::view() const { return RowPageRef(std::span<const uint8_t>(*page_)); }

Result<RowPageRef> RowPageRef::over(std::span<const uint8_t> bytes) {
  if (bytes.size() < kRowHeaderSize) return fail(QmError::buffer_too_small(kRowHeaderSize, bytes.size()));
  if (bytes[kPageTypeOffset] != kRowPageType) return fail(QmError::invalid_page_type(bytes[kPageTypeOffset]));
  return RowPageRef(bytes);
}

uint64_t RowPageRef::page_id() const { return load_u64(bytes_.data() + kPageIdOffset); }
uint16_t RowPageRef::slot_count() const { return load_u16(bytes_.data() + kSlotCountOffset); }
std::optional<uint64_t> RowPageRef::next_page() const { return link_at(bytes_.data() + kRowNextOffset); }

Result<std::span<const uint8_t>> RowPageRef::record(uint16_t i) const {
  uint16_t slots = slot_count();
  if (i >= slots) return fail(QmError::out_of_bounds(i, slots));
  size_t slot_pos = kRowHeaderSize + kSlotSize * size_t{i};
  if (slot_pos + kSlotSize > bytes_.size()) return fail(QmError::corruption("slot array out of page bounds"));
  uint16_t offset = load_u16(bytes_.data() + slot_pos);
  uint16_t length = load_u16(bytes_.data() + slot_pos + 2);
  if (size_t{offset} + length > bytes_.size()) return fail(QmError::corruption("row record out of page bounds"));
  return bytes_.subspan(offset, length);
}

}  // namespace qm::storage
