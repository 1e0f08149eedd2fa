// Row pages: the slotted 4096-byte page (type 1) that holds a table's records.
//
// Layout (little-endian): u64 page id @0, u8 type = 1 @8, u16 slot_count @9,
// u16 free_space_ptr @11 (lowest record byte; 4096 when empty), u64 next page @13
// (0xFFFF_FFFF_FFFF_FFFF = none), 3 reserved zero bytes @21, u32 checksum @24, then the slot
// directory from 28 (slot i at 28 + 4i: u16 record offset, u16 record length); records are
// packed from the end of the page downwards, the newest lowest. Slots are never reused.
//
// Invariant of a valid page: 28 + 4 * slot_count <= free_space_ptr <= 4096. A RowPage checks
// it once when built from stored bytes and relies on it afterwards; a RowPageRef (a borrowed
// view over cached bytes) checks every record access against the slice it views.
// Every mutation zeroes bytes 21..28 (reserved and checksum): a changed page counts as
// unstamped until the page cache stamps it on its way out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/bytes.h"
#include "core/error.h"
#include "storage/page.h"

namespace qm::storage {

inline constexpr size_t kRowHeaderSize = 28;
inline constexpr size_t kSlotSize = 4;
inline constexpr uint16_t kMaxSlots = 1017;           // 28 + 4 * 1017 = 4096
inline constexpr size_t kMaxRecordSize = 4064;        // fits an empty page with its slot
inline constexpr size_t kSlotCountOffset = 9;
inline constexpr size_t kFreeSpaceOffset = 11;
inline constexpr size_t kRowNextOffset = 13;

struct Slot {
  uint16_t offset = 0;
  uint16_t length = 0;
};

class RowPageRef;

// An owned row page (the tail page rows are appended to, or a page patched in place).
class RowPage {
 public:
  // An empty page: the id, type 1, no slots, free_space_ptr 4096, no next page, checksum 0.
  explicit RowPage(uint64_t page_id);
  // From stored bytes (exactly 4096, else BufferTooSmall): type must be 1 (InvalidPageType),
  // and the header invariant must hold, else Corruption
  // "row page header out of range: slot_count={}, free_space_ptr={}".
  static Result<RowPage> from_bytes(std::span<const uint8_t> bytes);

  RowPage(const RowPage& o) : page_(std::make_unique<Page>(*o.page_)) {}
  RowPage& operator=(const RowPage& o) {
    if (this != &o) *page_ = *o.page_;
    return *this;
  }
  RowPage(RowPage&&) noexcept = default;
  RowPage& operator=(RowPage&&) noexcept = default;
  // Makes this the empty page `page_id` (the bytes of RowPage(page_id)), keeping its buffer.
  void reset(uint64_t page_id);

  uint64_t page_id() const;
  uint16_t slot_count() const;
  uint16_t free_space_ptr() const;
  // free_space_ptr - (28 + 4 * slot_count).
  size_t free_space() const;
  // i >= slot_count: OutOfBounds {i, slot_count}.
  Result<Slot> slot(uint16_t i) const;
  // The record of slot i, lent from the page (errors of slot(), and Corruption
  // "row record out of page bounds").
  Result<std::span<const uint8_t>> record(uint16_t i) const;
  // Appends a record and returns its slot; PageFull {n + 4, available} leaves the page as it was.
  Result<uint16_t> insert(std::span<const uint8_t> record);
  std::optional<uint64_t> next_page() const;
  // Writes the link (none as all ones) and zeroes bytes 21..28.
  void set_next_page(std::optional<uint64_t> next);
  // Writes deleted_tx (record offset + 8) of slot i's record. Corruption
  // "row record is shorter than its MVCC envelope" for a record under 24 bytes; "row envelope
  // is out of page bounds" for one that does not lie inside the record area.
  Result<void> patch_envelope_deleted(uint16_t i, uint64_t deleted_tx);
  // The same patch on a page held elsewhere (a cached page), without copying it: the checks
  // of from_bytes and of patch_envelope_deleted, in that order and with their errors, and the
  // bytes are changed only when every check passed.
  static Result<void> patch_envelope_deleted_in(std::span<uint8_t> bytes, uint16_t i, uint64_t deleted_tx);

  const Page& bytes() const { return *page_; }
  ConstPageSpan span() const { return ConstPageSpan(*page_); }
  RowPageRef view() const;

 private:
  // The patch of both forms, on page bytes whose header is known to be in range.
  static Result<void> patch_deleted_at(std::span<uint8_t> bytes, uint16_t i, uint64_t deleted_tx);
  explicit RowPage(PageBox page) : page_(std::move(page)) {}
  // Writes the header of an empty page over zeroed bytes.
  void init_empty(uint64_t page_id);
  PageBox page_;
};

// A read-only view over row-page bytes held elsewhere (normally the 4096 cached bytes).
class RowPageRef {
 public:
  // Needs at least 28 bytes (BufferTooSmall {28, len}) and type byte 1 (InvalidPageType).
  static Result<RowPageRef> over(std::span<const uint8_t> bytes);

  uint64_t page_id() const;
  uint16_t slot_count() const;
  std::optional<uint64_t> next_page() const;
  // i >= slot_count: OutOfBounds {i, slot_count}; a slot entry past the slice: Corruption
  // "slot array out of page bounds"; a record past the slice: "row record out of page bounds".
  Result<std::span<const uint8_t>> record(uint16_t i) const;
  // For a scan, which asks for every record: the number of leading slots whose directory
  // entry lies inside the slice, and slot i's record (i below that number) when it lies inside
  // too. A slot these do not serve is one whose record(i) fails.
  uint16_t slots_in_view() const {
    const size_t room = (bytes_.size() - kRowHeaderSize) / kSlotSize;
    const uint16_t slots = slot_count();
    return room < slots ? static_cast<uint16_t>(room) : slots;
  }
  std::optional<std::span<const uint8_t>> record_in_view(uint16_t i) const {
    const uint8_t* entry = bytes_.data() + kRowHeaderSize + kSlotSize * size_t{i};
    const size_t offset = load_u16(entry), length = load_u16(entry + 2);
    if (offset + length > bytes_.size()) return std::nullopt;
    return bytes_.subspan(offset, length);
  }
  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  friend class RowPage;
  explicit RowPageRef(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  std::span<const uint8_t> bytes_;
};

// The page type byte of any page (0 for a slice too short to hold one).
inline uint8_t page_type(std::span<const uint8_t> bytes) {
  return bytes.size() > kPageTypeOffset ? bytes[kPageTypeOffset] : 0;
}

}  // namespace qm::storage
