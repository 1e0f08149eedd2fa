#include "db/database.h"

#include "core/bytes.h"
#include "db/schema.h"
#include "core/fs.h"
#include "storage/record.h"

namespace qm::db {

const char* storage_mode_name(StorageMode mode) {
  switch (mode) {
    case StorageMode::Development: return "development";
    case StorageMode::Memory: return "memory";
    case StorageMode::Production: return "production";
    case StorageMode::Streamed: return "streamed";
  }
  return "memory";
}

Database Database::open_memory() {
  Database db(storage::PageCache(storage::Backend(storage::MemStore()), kPageCacheCapacity),
              storage::CasStore::new_memory());
  db.format_version = 1;
  return db;
}

StorageMode Database::storage_mode() const {
  switch (cache.backend().kind()) {
    case storage::Backend::Kind::Dev: return StorageMode::Development;
    case storage::Backend::Kind::Mem: return StorageMode::Memory;
    case storage::Backend::Kind::Monolith: return StorageMode::Production;
    case storage::Backend::Kind::Remote: return StorageMode::Streamed;
  }
  return StorageMode::Memory;
}

Result<Database::MutationScope> Database::begin_mutation() {
  if (commit_log && !active_transaction)
    return fail(QmError::transaction(
        "low-level mutations on a logged workspace require an explicit transaction; SQL queries are atomic "
        "automatically"));
  if (read_only()) return fail(QmError::read_only());
  QM_TRY(refuse_after_write_failure());
  MutationScope scope(nullptr);
  if (directory && !active_transaction && !mutation_lock_.held()) {
    // Hold the workspace lock until the mutation is flushed, so no other handle commits in
    // between; and never write over what another handle committed since we last looked.
    QM_ASSIGN(mutation_lock_, acquire_transaction_lock(*directory));
    scope = MutationScope(this);
    QM_ASSIGN(bool changed, workspace_changed());
    if (changed)
      return fail(QmError::transaction(
          "the workspace was changed by another handle or process; reopen the database to see its changes"));
    QM_TRY(forget_replaced_files());
  }
  last_write_atomic = false;
  return scope;
}

Result<void> Database::end_mutation() {
  if (!autoflush) return {};
  auto flushed = flush();
  if (!flushed && !active_transaction) write_failure = flushed.error().message();
  return flushed;
}

Result<void> Database::refuse_after_write_failure() const {
  if (write_failure)
    return fail(QmError::transaction("an earlier write of this handle could not be completed (" + *write_failure +
                                     "); reopen the database"));
  return {};
}

Result<bool> Database::workspace_changed() const {
  const std::string path = fs::join(*directory, kManifestFile);
  QM_ASSIGN(auto st, fs::get().stat(path));
  if (!st) return manifest_digest.has_value();
  if (!manifest_digest) return true;
  QM_ASSIGN(std::string text, fs::read_file(path));
  return blake3(text) != *manifest_digest;
}

Result<uint64_t> Database::insert_validated_base(std::string_view table_name, std::span<const Value> row) {
  QM_ASSIGN(auto scope, begin_mutation());
  QM_TRY(validate_record_shape(row));
  auto it = tables.find(table_name);
  if (it == tables.end()) return fail(QmError::table_not_found(std::string(table_name)));
  Table& table = it->second;
  // The caller validated the row; a row of another shape would misalign the indexes.
  if (row.size() != table.columns.size())
    return fail(QmError::schema("table `" + std::string(table_name) + "` expects " +
                                std::to_string(table.columns.size()) + " columns, got " + std::to_string(row.size())));

  // The clock moves only once the row is stored, so a failed insert leaves it unchanged.
  const uint64_t created = clock + 1;
  QM_ASSIGN(std::string record, storage::record::encode_record(RecordEnvelope{created, 0, 0}, row, cas));
  if (record.size() > kRecordCapacity)
    return fail(QmError::schema("record of " + std::to_string(record.size()) + " bytes exceeds page capacity (" +
                                std::to_string(kRecordCapacity) + ")"));
  const auto bytes = as_bytes(record);

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
    QM_ASSIGN(uint64_t next_id, cache.alloc_page());
    storage::RowPage next(next_id);
    QM_ASSIGN(slot, next.insert(bytes));
    storage::RowPage full = *table.tail_page;
    full.set_next_page(next_id);
    QM_TRY(cache.write(*table.tail_id, full.span()));
    table.tail_page = std::move(next);
    table.tail_id = next_id;
    if (table.page_ids) table.page_ids->insert(next_id);
  } else {
    return fail(std::move(placed).error());
  }
  clock = created;
  table.row_versions += 1;
  const uint64_t rid = storage::row_id(*table.tail_id, slot);
  for (size_t i = 0; i < table.columns.size(); ++i) {
    auto idx = table.indexes.find(table.columns[i]);
    if (idx != table.indexes.end()) idx->second.insert(row[i], rid);
  }
  QM_TRY(end_mutation());
  return rid;
}

}  // namespace qm::db
