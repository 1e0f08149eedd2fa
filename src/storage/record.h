// The record encoding: one row version as stored in a row-page slot. A record is the 24-byte
// RecordEnvelope followed by the row: u16 field count, then per value a u8 tag and payload:
//   0 Null | 1 Int i64 | 2 Text inline: u16 len + UTF-8 | 3 Blob inline: u16 len + bytes |
//   4 Text in the blob store: u64 blob index | 5 Blob in the blob store: u64 blob index |
//   6 Decimal: i128 mantissa (16 bytes).
// A text or blob of at most 16 bytes is inline; a longer one goes to the blob store, which
// deduplicates equal values. A field takes at most 19 bytes.
//
// Decoding treats its input as hostile: every read is bounds-checked, the value storage
// reserved from the declared count is capped by the bytes present, the first fault is
// Corruption "record: ..." (or CasMiss for a blob index outside the store), and nothing
// partial is returned. Bytes after the declared fields are not examined.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/record_envelope.h"
#include "core/value.h"

namespace qm::storage {
class CasStore;
}

namespace qm::storage::record {

inline constexpr size_t kInlineLimit = 16;
inline constexpr size_t kMaxFields = 65535;
inline constexpr uint8_t kIntFieldTag = 1;
// Whether a field tag is a text or a blob, inline or in the blob store (tags 2 to 5).
inline constexpr bool is_bytes_field(uint8_t tag) { return tag >= 2 && tag <= 5; }

// Appends the encoded row to `out`. More than 65535 values: Schema
// "too many columns (max 65535)". Long values are put into the store first; a failing put
// ends the encoding with its error (blobs put before it stay; `out` is restored).
Result<void> encode_row_into(std::span<const Value> values, CasStore& store, std::string& out);
Result<std::string> encode_row(std::span<const Value> values, CasStore& store);
// The 24 envelope bytes followed by the row.
Result<std::string> encode_record(const RecordEnvelope& envelope, std::span<const Value> values,
                                  CasStore& store);

// Decodes a row. decode_row_into reuses `out` (its vector and, where a column keeps its kind,
// the text and blob buffers), so a scan decodes without allocating per row; on failure `out`
// is left empty.
Result<Row> decode_row(std::span<const uint8_t> bytes, const CasStore& store);
Result<void> decode_row_into(std::span<const uint8_t> bytes, const CasStore& store, Row& out);

// One field of a checked row, not yet a value: its tag and its payload bytes (the stored
// blob's bytes for a blob-store field), lent from the record or the store.
struct Field {
  uint8_t tag = 0;
  std::span<const uint8_t> payload;
};

// Checks a whole row exactly as decode_row_into does (same faults, same first error) but
// builds no values: `out` (reused) receives each field, so a reader can turn only the fields
// it looks at into values. On failure `out` is left empty.
Result<void> split_row(std::span<const uint8_t> bytes, const CasStore& store, std::vector<Field>& out);
// split_row for a reader that looks at a few fields only: the same checks but the UTF-8 of
// texts, which the reader asks of each field it turns into a value (text_field_ok).
Result<void> split_row_unchecked_text(std::span<const uint8_t> bytes, const CasStore& store, std::vector<Field>& out);
bool text_field_ok(const Field& field);
// The field's value into `slot`, reusing its text buffer as decode_row_into does. The field
// must come from split_row; this cannot fail. An integer, the commonest field a filter
// reads, is loaded without a call.
void load_other_field(const Field& field, Value& slot);
inline void load_field(const Field& field, Value& slot) {
  if (field.tag == kIntFieldTag) {
    slot.set_int(static_cast<int64_t>(load_u64(field.payload.data())));
    return;
  }
  load_other_field(field, slot);
}

// The envelope alone (for visibility tests before decoding): fewer than 24 bytes is
// BufferTooSmall {24, len}.
Result<RecordEnvelope> read_envelope(std::span<const uint8_t> bytes);
// Envelope and row; fewer than 24 bytes is BufferTooSmall {24, len}.
Result<std::pair<RecordEnvelope, Row>> decode_record(std::span<const uint8_t> bytes, const CasStore& store);
Result<RecordEnvelope> decode_record_into(std::span<const uint8_t> bytes, const CasStore& store, Row& out);

}  // namespace qm::storage::record
