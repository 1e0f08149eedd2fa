#include "db/retrieval_maintenance.h"

#include "db/database.h"
#include "db/write_path.h"
#include "table/row_access.h"
#include "core/byte_codec.h"

namespace qm::db {
namespace {

class RetrievalCollector final : public WriteObserver {
 public:
  explicit RetrievalCollector(std::shared_ptr<RetrievalPending> pending) : pending_(std::move(pending)) {}

  Result<void> row_stored(std::string_view table, uint64_t, std::span<const Value> values) override {
    if (!track(table)) return {};
    pending_->added.emplace_back(values.begin(), values.end());
    return {};
  }
  Result<void> row_marked(std::string_view table, uint64_t row_id, uint64_t) override {
    if (!track(table)) return {};
    pending_->removed.push_back(row_id);
    return {};
  }
  Result<void> catalog_replaced(const Catalog& catalog) override {
    pending_->refresh(catalog);
    return {};
  }

 private:
  bool track(std::string_view table) {
    if (!pending_->indexed_tables.contains(table)) return false;
    // A statement writes one table; changes left by a failed one are dropped.
    if (pending_->table != table) {
      pending_->clear();
      pending_->table = std::string(table);
    }
    return true;
  }

  std::shared_ptr<RetrievalPending> pending_;
};

}  // namespace

QmError retrieval_version_limit() {
  return QmError::resource_limit("indexed tables are limited to 100,000 retained row versions");
}

void RetrievalPending::refresh(const Catalog& catalog) {
  indexed_tables.clear();
  for (const auto& [name, entry] : catalog.retrieval()) indexed_tables.insert(entry.definition().table);
  clear();
}

void RetrievalPending::clear() {
  table.clear();
  removed.clear();
  added.clear();
}

std::unique_ptr<WriteObserver> make_retrieval_collector(std::shared_ptr<RetrievalPending> pending) {
  return std::make_unique<RetrievalCollector>(std::move(pending));
}

Result<void> statement_written(Database& db, std::string_view table_name) {
  QM_TRY(db.observers_.statement_written(table_name));
  if (db.retrieval_pending_->table != table_name) return {};
  std::vector<uint64_t> removed_ids = std::move(db.retrieval_pending_->removed);
  std::vector<Row> added = std::move(db.retrieval_pending_->added);
  db.retrieval_pending_->clear();
  const Table* table = db.catalog_.find(table_name);
  if (!table) return fail(QmError::table_not_found(std::string(table_name)));
  // The retired versions keep their values; only their envelopes changed.
  std::vector<Row> removed(removed_ids.size());
  for (size_t i = 0; i < removed_ids.size(); ++i)
    QM_TRY(read_record_at(db.store_.cache, *table, db.store_.cas, removed_ids[i], removed[i]));
  return db.maintain_retrieval(table_name, removed, added);
}

Result<void> Database::maintain_retrieval(std::string_view table_name, std::span<const Row> removed,
                                          std::span<const Row> added) {
  if (!catalog_.has_retrieval_index(table_name)) return {};
  // A transaction, or the statement's own undo on a workspace, which re-reads every index
  // from the workspace when the statement fails.
  if (!transaction_ && !(directory_ && statement_undo()))
    return fail(persistent::corrupt("retrieval maintenance requires a rollback boundary"));
  const Table* table = catalog_.find(table_name);
  if (!table) return fail(QmError::table_not_found(std::string(table_name)));
  if (table->row_versions > kRetrievalTableMaxVersions) return fail(retrieval_version_limit());
  for (auto& [name, entry] : catalog_.retrieval())
    if (entry.definition().table == table_name) QM_TRY(entry.apply(table->columns, removed, added, clock_));
  return {};
}

}  // namespace qm::db
