// Columnar pages (type 2): a read-only form of a group of row versions stored column by
// column. The library reads, validates and scans them and retires rows in place; it never
// builds one. Messages call it a maintenance page.
//
// Layout (little-endian): u64 page id @0, u8 type = 2 @8, u16 row count @9, u64 next page @11
// (all ones = none), u32 source page size @19 (28..4096), u8 layout = 1 @23, u32 checksum @24
// (checked by the cache), u16 arity @28, then one 24-byte RecordEnvelope per row from 30
// (deleted_tx of row i at 30 + 24 i + 8), then `arity` column blocks: u8 encoding,
// u32 length L, L bytes yielding exactly `rows` values.
// Validation: rows 0 requires arity 0; (arity + 30) * rows + 28 <= source page size.
// Row i of page p has row id p * 65536 + i.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/record_envelope.h"
#include "core/value.h"

namespace qm::storage {

inline constexpr size_t kColdRowCountOffset = 9;
inline constexpr size_t kColdNextOffset = 11;
inline constexpr size_t kColdSourceSizeOffset = 19;
inline constexpr size_t kColdLayoutOffset = 23;
inline constexpr size_t kColdArityOffset = 28;
inline constexpr size_t kColdEnvelopesOffset = 30;

struct ColdPageHeader {
  uint64_t page_id = 0;
  uint16_t rows = 0;
  std::optional<uint64_t> next_page;
  uint32_t source_page_size = 0;
  uint16_t arity = 0;
};

// A decoded columnar page.
struct ColumnarPage {
  ColdPageHeader header;
  std::vector<RecordEnvelope> envelopes;  // one per row
  std::vector<Value> values;              // row by row, column order inside a row
  uint64_t encoded_len = 0;               // offset just after the last column block

  // The values of row i (i < rows).
  std::span<const Value> row(size_t i) const {
    return std::span<const Value>(values).subspan(i * header.arity, header.arity);
  }
  std::vector<Row> to_rows() const;
};

struct ColdPage {
  // BufferTooSmall {28, len}, InvalidPageType, then Corruption "columnar: unsupported
  // maintenance-page layout", "columnar: original page size is out of bounds",
  // "columnar: missing row arity", "columnar: empty cold page has nonzero row arity",
  // "columnar: row shape cannot fit the recorded source page".
  static Result<ColdPageHeader> validate(std::span<const uint8_t> bytes);
  static Result<ColumnarPage> decode(std::span<const uint8_t> bytes);
  // Row i: OutOfBounds {i, rows} beyond the row count.
  static Result<std::pair<RecordEnvelope, Row>> record(std::span<const uint8_t> bytes, uint16_t i);
  static Result<std::vector<RecordEnvelope>> envelopes(std::span<const uint8_t> bytes);
  static Result<std::optional<uint64_t>> next_page(std::span<const uint8_t> bytes);
  static Result<uint64_t> encoded_len(std::span<const uint8_t> bytes);
};

}  // namespace qm::storage
