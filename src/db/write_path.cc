// The row-level half of the write path: storing a new row version at a table's tail,
// retiring a version with a deletion mark, and the end of a statement's writes. Each keeps
// the secondary indexes in step (index_row_version) and tells the observers after the
// change is in place. The DDL half is in ddl.cc.
#include "db/write_path.h"

#include <optional>
#include <utility>

#include "table/write_observers.h"

#include "core/bytes.h"
#include "db/database.h"
#include "db/atomicity/transaction.h"
#include "db/retrieval_maintenance.h"
#include "table/row_access.h"
#include "table/schema.h"
#include "storage/record.h"

namespace qm::db {

Result<uint64_t> insert_validated_base(Database& db, std::string_view table_name, std::span<const Value> row) {
  QM_ASSIGN(auto scope, db.begin_mutation());
  QM_TRY(validate_record_shape(row));
  Table* found = db.catalog_.find(table_name);
  if (!found) return fail(QmError::table_not_found(std::string(table_name)));
  Table& table = *found;
  // The caller validated the row; a row of another shape would misalign the indexes.
  if (row.size() != table.columns.size())
    return fail(QmError::schema("table `" + std::string(table_name) + "` expects " +
                                std::to_string(table.columns.size()) + " columns, got " + std::to_string(row.size())));
  if (table.row_versions >= kRetrievalTableMaxVersions && db.catalog_.has_retrieval_index(table_name))
    return fail(retrieval_version_limit());

  // The clock moves only once the row is stored, so a failed insert leaves it unchanged.
  QM_ASSIGN(const uint64_t created, next_clock(db));
  // One buffer for every row this thread stores: a bulk load or an UPDATE of many rows
  // encodes without allocating per row.
  thread_local std::string record;
  record.assign(kEnvelopeSize, '\0');
  RecordEnvelope{created, 0, 0}.store(reinterpret_cast<uint8_t*>(record.data()));
  QM_TRY(storage::record::encode_row_into(row, db.store_.cas, record));
  if (record.size() > kRecordCapacity)
    return fail(QmError::schema("record of " + std::to_string(record.size()) + " bytes exceeds page capacity (" +
                                std::to_string(kRecordCapacity) + ")"));
  const auto bytes = as_bytes(record);
  storage::PageCache& cache = db.store_.cache;
  db.note_change();

  if (!table.tail_page) {
    QM_ASSIGN(uint64_t id, cache.alloc_page());
    table.tail_page.emplace(id);
    table.tail_id = id;
    if (!table.first_page) table.first_page = id;
    if (table.page_ids) table.page_ids->insert(id);
  }
  uint16_t slot = 0;
  auto placed = table.tail_page->insert(bytes);
  if (placed) {
    slot = *placed;
  } else if (placed.error().is(ErrorKind::PageFull)) {
    // Link the full page to a new one and hand it to the cache; the new page becomes the
    // table's tail copy. Nothing of the table changes until the full page is in the cache.
    // A page fills every few dozen rows; fresh 4 KiB buffers each time (for the new tail and
    // for the linked copy) cost more than the rows stored on them. The thread keeps both: the
    // copy is composed in one, and the old tail's buffer becomes the next new tail.
    thread_local storage::RowPage full(0);
    thread_local std::optional<storage::RowPage> spare;
    QM_ASSIGN(uint64_t next_id, cache.alloc_page());
    storage::RowPage next = spare ? std::move(*spare) : storage::RowPage(next_id);
    spare.reset();
    next.reset(next_id);
    QM_ASSIGN(slot, next.insert(bytes));
    full = *table.tail_page;
    full.set_next_page(next_id);
    QM_TRY(cache.write(*table.tail_id, full.span()));
    std::swap(*table.tail_page, next);
    spare = std::move(next);
    table.tail_id = next_id;
    if (table.page_ids) table.page_ids->insert(next_id);
  } else {
    return fail(std::move(placed).error());
  }
  db.clock_ = created;
  table.row_versions += 1;
  const uint64_t rid = storage::row_id(*table.tail_id, slot);
  index_row_version(table.indexes, table.columns, rid, row, [&](const std::string& column, const Value& key) {
    if (db.transaction_) db.transaction_->index_entry_added(table_name, column, rid, key);
  });
  QM_TRY(db.observers_.row_stored(table_name, rid, row));
  QM_TRY(db.end_mutation());
  return rid;
}

Result<uint64_t> next_clock(const Database& db) {
  // Wrapping to 0 would hide every stored version from every later read.
  if (db.clock() == UINT64_MAX)
    return fail(QmError::corruption("database clock is at its largest value and cannot advance"));
  return db.clock() + 1;
}

Result<uint64_t> advance_clock(Database& db) {
  QM_ASSIGN(db.clock_, next_clock(db));
  return db.clock_;
}

LiveRowCounts& live_row_counts(Database& db) { return *db.live_row_counts_; }

Result<void> mark_deleted(Database& db, std::string_view table_name, uint64_t row_id, uint64_t deleted_tx) {
  Table* table = db.catalog_.find(table_name);
  if (!table) return fail(QmError::table_not_found(std::string(table_name)));
  // Secondary indexes keep every version, retired ones included: nothing to remove there.
  db.note_change();
  QM_TRY(patch_delete_at(db.store_.cache, *table, row_id, deleted_tx));
  return db.observers_.row_marked(table_name, row_id, deleted_tx);
}

// statement_written is in retrieval_maintenance.cc: after the observers, the
// statement's changes reach the retrieval indexes.

}  // namespace qm::db
