// Row access by row id and deletion marks.
#include "table/row_access.h"
#include "table/text.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"
#include "table/catalog_rebuild.h"
#include "storage/cold_page.h"
#include "storage/record.h"
#include "storage/row_page.h"

namespace qm::db {
namespace {

using storage::ConstPageSpan;
using storage::PageSpan;

QmError field_count_mismatch() { return QmError::corruption("record field count does not match table columns"); }
QmError undeclared_cold_page() { return QmError::corruption("table contains an undeclared cold page"); }

Result<RecordEnvelope> decode_into(std::span<const uint8_t> record, const storage::CasStore& cas, Row& out) {
  if (record.size() < kEnvelopeSize) return fail(QmError::buffer_too_small(kEnvelopeSize, record.size()));
  QM_TRY(storage::record::decode_row_into(record.subspan(kEnvelopeSize), cas, out));
  return RecordEnvelope::load(record.data());
}

}  // namespace

Result<bool> row_in_table(storage::PageCache& cache, const Table& table, uint64_t row_id) {
  QM_TRY(ensure_table_page_ids(cache, table));
  return table.page_ids->contains(storage::row_page(row_id));
}

Result<RecordEnvelope> read_record_at(storage::PageCache& cache, const Table& table, const storage::CasStore& cas,
                                      uint64_t row_id, Row& out) {
  const uint64_t page_id = storage::row_page(row_id);
  const uint16_t pos = storage::row_slot(row_id);
  Result<RecordEnvelope> env;
  if (table.tail_id && *table.tail_id == page_id && table.tail_page) {
    QM_ASSIGN(auto record, table.tail_page->record(pos));
    env = decode_into(record, cas, out);
  } else {
    env = cache.with_page(page_id, [&](ConstPageSpan bytes) -> Result<RecordEnvelope> {
      // The header and the row's slot lie on different lines of a page that is often cold:
      // both are asked for before the header is read.
      __builtin_prefetch(bytes.data() + std::min<size_t>(storage::kRowHeaderSize + storage::kSlotSize * pos,
                                                         storage::kPageSize - 1));
      const uint8_t kind = storage::page_type(bytes);
      if (kind == storage::kRowPageType) {
        QM_ASSIGN(auto page, storage::RowPageRef::over(bytes));
        QM_ASSIGN(auto record, page.record(pos));
        return decode_into(record, cas, out);
      }
      if (kind == storage::kColumnarPageType) {
        if (table.cold_pages == 0) return fail(undeclared_cold_page());
        QM_ASSIGN(auto page, storage::ColdPage::decode(bytes));
        if (pos >= page.header.rows) return fail(QmError::out_of_bounds(pos, page.header.rows));
        auto row = page.row(pos);
        out.assign(row.begin(), row.end());
        return page.envelopes[pos];
      }
      return fail(QmError::invalid_page_type(kind));
    });
  }
  if (!env) {
    out.clear();
    return env;
  }
  if (out.size() != table.columns.size()) {
    out.clear();
    return fail(field_count_mismatch());
  }
  return env;
}

Result<void> patch_delete_at(storage::PageCache& cache, Table& table, uint64_t row_id, uint64_t deleted_tx) {
  QM_ASSIGN(bool owned, row_in_table(cache, table, row_id));
  if (!owned)
    return fail(QmError::corruption(str("record address ", row_id, " points outside its table page chain")));
  const uint64_t page_id = storage::row_page(row_id);
  const uint16_t pos = storage::row_slot(row_id);
  if (table.tail_id && *table.tail_id == page_id && table.tail_page)
    return table.tail_page->patch_envelope_deleted(pos, deleted_tx);
  // Every branch checks before it writes, so the cached page is patched in place.
  return cache.patch_page(page_id, [&](PageSpan bytes) -> Result<void> {
    const uint8_t kind = storage::page_type(bytes);
    if (kind == storage::kRowPageType) return storage::RowPage::patch_envelope_deleted_in(bytes, pos, deleted_tx);
    if (kind == storage::kColumnarPageType) {
      if (table.cold_pages == 0) return fail(undeclared_cold_page());
      QM_ASSIGN(auto header, storage::ColdPage::validate(bytes));
      if (pos >= header.rows) return fail(QmError::out_of_bounds(pos, header.rows));
      store_u64(bytes.data() + storage::kColdEnvelopesOffset + 24 * static_cast<size_t>(pos) + 8, deleted_tx);
      return {};
    }
    return fail(QmError::invalid_page_type(kind));
  });
}

}  // namespace qm::db
