// The 4096-byte page shared by every backend and page kind: its size, the header fields both
// row and columnar pages start with, row ids, and the page checksum at byte 24.
//
// Page checksum: the first four bytes (little-endian) of the BLAKE3-256 hash of bytes 0..24
// followed by bytes 28..4096. A computed 0 is stored as 1, so a stamped page never holds 0;
// a stored 0 marks a page that was never stamped and passes every check.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "core/error.h"

namespace qm::storage {

inline constexpr size_t kPageSize = 4096;

using Page = std::array<uint8_t, kPageSize>;
using PageBox = std::unique_ptr<Page>;
using PageSpan = std::span<uint8_t, kPageSize>;
using ConstPageSpan = std::span<const uint8_t, kPageSize>;

inline PageBox new_zero_page() { return std::make_unique<Page>(Page{}); }

// Header fields common to row and columnar pages.
inline constexpr size_t kPageIdOffset = 0;
inline constexpr size_t kPageTypeOffset = 8;
inline constexpr size_t kChecksumOffset = 24;
inline constexpr uint8_t kRowPageType = 1;
inline constexpr uint8_t kColumnarPageType = 2;
// The stored form of "no next page".
inline constexpr uint64_t kNoPage = 0xFFFFFFFFFFFFFFFFull;

// Row id: page id shifted left by 16 bits, slot (or columnar row index) in the low 16 bits.
// Page ids fit the upper 48 bits of a row id.
inline constexpr uint64_t kMaxPageCount = uint64_t{1} << 48;
inline constexpr uint64_t row_id(uint64_t page_id, uint16_t slot) { return (page_id << 16) | slot; }
inline constexpr uint64_t row_page(uint64_t rid) { return rid >> 16; }
inline constexpr uint16_t row_slot(uint64_t rid) { return static_cast<uint16_t>(rid & 0xFFFF); }

// The stored checksum for a hash whose first four bytes read v: 0 is stored as 1.
inline constexpr uint32_t checksum_from_hash_prefix(uint32_t v) { return v == 0 ? 1 : v; }
// The checksum a page should carry (never 0).
uint32_t page_checksum(ConstPageSpan page);
// Writes page_checksum(page) at byte 24.
void stamp_page_checksum(PageSpan page);
// Ok when the stored checksum is 0 or right; otherwise Corruption
// "page {id} checksum mismatch (stored 0x........, computed 0x........)".
Result<void> verify_page_checksum(uint64_t page_id, ConstPageSpan page);
// The same check against `computed`, the page's checksum already computed from these bytes.
Result<void> verify_page_checksum(uint64_t page_id, ConstPageSpan page, uint32_t computed);
// page_checksum of each 4096-byte page of `pages` in turn (as many as `out` holds), the
// pages hashed side by side.
void page_checksums(std::span<const uint8_t> pages, std::span<uint32_t> out);
// stamp_page_checksum of every page, hashed side by side.
void stamp_page_checksums(std::span<Page* const> pages);

}  // namespace qm::storage
