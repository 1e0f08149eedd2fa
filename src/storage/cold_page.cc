#include "storage/cold_page.h"

#include "core/bytes.h"
#include "storage/column_codec.h"
#include "storage/page.h"

namespace qm::storage {
namespace {

constexpr uint8_t kLayout = 1;
constexpr uint32_t kMinSourceSize = 28;

QmError corrupt(const char* what) { return QmError::corruption(what); }

Result<std::vector<RecordEnvelope>> read_envelopes(std::span<const uint8_t> bytes, uint16_t rows) {
  std::vector<RecordEnvelope> out;
  out.reserve(rows);
  for (size_t i = 0; i < rows; ++i) {
    size_t at = kColdEnvelopesOffset + kEnvelopeSize * i;
    if (at + kEnvelopeSize > bytes.size()) return fail(corrupt("columnar: unexpected end of buffer"));
    out.push_back(RecordEnvelope::load(bytes.data() + at));
  }
  return out;
}

}  // namespace

std::vector<Row> ColumnarPage::to_rows() const {
  std::vector<Row> rows;
  rows.reserve(header.rows);
  for (size_t i = 0; i < header.rows; ++i) {
    auto r = row(i);
    rows.emplace_back(r.begin(), r.end());
  }
  return rows;
}

Result<ColdPageHeader> ColdPage::validate(std::span<const uint8_t> bytes) {
  if (bytes.size() < 28) return fail(QmError::buffer_too_small(28, bytes.size()));
  if (bytes[kPageTypeOffset] != kColumnarPageType) return fail(QmError::invalid_page_type(bytes[kPageTypeOffset]));
  const uint8_t* p = bytes.data();
  if (p[kColdLayoutOffset] != kLayout) return fail(corrupt("columnar: unsupported maintenance-page layout"));
  ColdPageHeader h;
  h.page_id = load_u64(p + kPageIdOffset);
  h.rows = load_u16(p + kColdRowCountOffset);
  uint64_t next = load_u64(p + kColdNextOffset);
  if (next != kNoPage) h.next_page = next;
  h.source_page_size = load_u32(p + kColdSourceSizeOffset);
  if (h.source_page_size < kMinSourceSize || h.source_page_size > kPageSize)
    return fail(corrupt("columnar: original page size is out of bounds"));
  if (bytes.size() < kColdEnvelopesOffset) return fail(corrupt("columnar: missing row arity"));
  h.arity = load_u16(p + kColdArityOffset);
  if (h.rows == 0 && h.arity != 0) return fail(corrupt("columnar: empty cold page has nonzero row arity"));
  if ((uint64_t{h.arity} + 30) * h.rows + 28 > h.source_page_size)
    return fail(corrupt("columnar: row shape cannot fit the recorded source page"));
  return h;
}

Result<ColumnarPage> ColdPage::decode(std::span<const uint8_t> bytes) {
  ColumnarPage page;
  QM_ASSIGN(page.header, validate(bytes));
  const uint16_t rows = page.header.rows;
  const uint16_t arity = page.header.arity;
  QM_ASSIGN(page.envelopes, read_envelopes(bytes, rows));
  // The shape check bounds rows * arity by the source page size.
  page.values.resize(size_t{rows} * arity);
  size_t pos = kColdEnvelopesOffset + kEnvelopeSize * size_t{rows};
  for (uint16_t c = 0; c < arity; ++c) {
    if (pos >= bytes.size()) return fail(corrupt("columnar: truncated column tag"));
    uint8_t encoding = bytes[pos];
    if (bytes.size() - pos < 5) return fail(corrupt("columnar: unexpected end of buffer"));
    uint32_t len = load_u32(bytes.data() + pos + 1);
    if (bytes.size() - pos - 5 < len) return fail(corrupt("columnar: unexpected end of buffer"));
    QM_ASSIGN(auto column, compress::decode_column(encoding, bytes.subspan(pos + 5, len), rows));
    for (size_t r = 0; r < rows; ++r) page.values[r * arity + c] = std::move(column[r]);
    pos += 5 + size_t{len};
  }
  page.encoded_len = pos;
  return page;
}

Result<std::pair<RecordEnvelope, Row>> ColdPage::record(std::span<const uint8_t> bytes, uint16_t i) {
  QM_ASSIGN(ColumnarPage page, decode(bytes));
  if (i >= page.header.rows) return fail(QmError::out_of_bounds(i, page.header.rows));
  auto first = page.values.begin() + size_t{i} * page.header.arity;
  Row row(std::make_move_iterator(first), std::make_move_iterator(first + page.header.arity));
  return std::pair<RecordEnvelope, Row>(page.envelopes[i], std::move(row));
}

Result<std::vector<RecordEnvelope>> ColdPage::envelopes(std::span<const uint8_t> bytes) {
  QM_ASSIGN(ColdPageHeader h, validate(bytes));
  return read_envelopes(bytes, h.rows);
}

Result<std::optional<uint64_t>> ColdPage::next_page(std::span<const uint8_t> bytes) {
  QM_ASSIGN(ColdPageHeader h, validate(bytes));
  return h.next_page;
}

Result<uint64_t> ColdPage::encoded_len(std::span<const uint8_t> bytes) {
  QM_ASSIGN(ColumnarPage page, decode(bytes));
  return page.encoded_len;
}

}  // namespace qm::storage
