// The write path: every change to stored rows and to the catalog goes through one of the
// Database members that form it (insert_validated_base for each new row version,
// mark_deleted for each deletion mark, the table and index DDL), and those keep
// the secondary indexes with `index_row_version` and tell the registered observers. The
// open-time catalog rebuild fills missing indexes with the same function, and a rollback
// replaces the whole catalog, which observers learn through `catalog_replaced`.
//
// Observers plug in what must follow every write without each write site knowing them:
// - a retrieval-index maintainer collects, per statement, the new versions (`row_stored`:
//   table, row id, values) and the retired ones (`row_marked`: row id), applies them at
//   `statement_written`, drops an index with its table (`table_dropped`) and, after a
//   rollback or reload, rebuilds from the restored catalog (`catalog_replaced`);
// - a live row count per table adds one at `row_stored`, takes one at `row_marked`, starts a
//   table at zero (`table_created`) and recounts at `catalog_replaced`;
// - the commit log's page journal needs the first write of each page in a transaction, which
//   is a storage-level event: it hooks the page backend, not this interface.
//
// Invariants: observers are called in registration order, after the change is in place;
// the first failure is returned to the write, whose statement then fails (and inside an
// atomic mutation is rolled back, followed by `catalog_replaced`). Values are lent for the
// call only.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "table/table.h"

namespace qm::db {

class Catalog;

class WriteObserver {
 public:
  virtual ~WriteObserver() = default;
  // A new row version (INSERT, and each new version of UPDATE) is stored at `row_id`.
  virtual Result<void> row_stored(std::string_view table, uint64_t row_id, std::span<const Value> values) {
    (void)table, (void)row_id, (void)values;
    return {};
  }
  // The version at `row_id` is retired by a deletion mark (DELETE, and UPDATE's old versions).
  virtual Result<void> row_marked(std::string_view table, uint64_t row_id, uint64_t deleted_tx) {
    (void)table, (void)row_id, (void)deleted_tx;
    return {};
  }
  // One statement has written all its rows of `table`.
  virtual Result<void> statement_written(std::string_view table) {
    (void)table;
    return {};
  }
  virtual Result<void> table_created(std::string_view table) {
    (void)table;
    return {};
  }
  virtual Result<void> table_dropped(std::string_view table) {
    (void)table;
    return {};
  }
  // The catalog was replaced as a whole: a rollback restored it, or a reload read what
  // another handle committed. Anything derived from rows is rebuilt from it or dropped.
  virtual Result<void> catalog_replaced(const Catalog& catalog) {
    (void)catalog;
    return {};
  }
  // A transaction began; its rollback ends in `rolled_back` with the catalog as it was
  // here. An observer that cannot keep its own state from here to there rebuilds.
  virtual void transaction_began() {}
  virtual Result<void> rolled_back(const Catalog& catalog) { return catalog_replaced(catalog); }
};

// The registered observers of one database, notified in registration order.
class WriteObservers {
 public:
  void add(std::unique_ptr<WriteObserver> observer) { list_.push_back(std::move(observer)); }
  bool empty() const { return list_.empty(); }

  Result<void> row_stored(std::string_view table, uint64_t row_id, std::span<const Value> values) {
    for (auto& o : list_) QM_TRY(o->row_stored(table, row_id, values));
    return {};
  }
  Result<void> row_marked(std::string_view table, uint64_t row_id, uint64_t deleted_tx) {
    for (auto& o : list_) QM_TRY(o->row_marked(table, row_id, deleted_tx));
    return {};
  }
  Result<void> statement_written(std::string_view table) {
    for (auto& o : list_) QM_TRY(o->statement_written(table));
    return {};
  }
  Result<void> table_created(std::string_view table) {
    for (auto& o : list_) QM_TRY(o->table_created(table));
    return {};
  }
  Result<void> table_dropped(std::string_view table) {
    for (auto& o : list_) QM_TRY(o->table_dropped(table));
    return {};
  }
  Result<void> catalog_replaced(const Catalog& catalog) {
    for (auto& o : list_) QM_TRY(o->catalog_replaced(catalog));
    return {};
  }
  void transaction_began() {
    for (auto& o : list_) o->transaction_began();
  }
  Result<void> rolled_back(const Catalog& catalog) {
    for (auto& o : list_) QM_TRY(o->rolled_back(catalog));
    return {};
  }

 private:
  std::vector<std::unique_ptr<WriteObserver>> list_;
};

// The one function that adds a stored row version to secondary indexes: every index in
// `indexes` whose column is one of `columns` gets the row id under the row's value there.
// INSERT and UPDATE (through insert_validated_base), index builds and the catalog
// rebuild at open (and so every rollback and reload) all reach the indexes through it.
// `added(column, key)` is called after each entry goes in. Indexes are few and columns may
// be many, so each index finds its column rather than each column its index.
template <class Added>
void index_row_version(IndexMap& indexes, std::span<const std::string> columns, uint64_t row_id,
                       std::span<const Value> row, Added&& added) {
  for (auto& [column, index] : indexes) {
    for (size_t i = 0; i < columns.size() && i < row.size(); ++i) {
      if (columns[i] != column) continue;
      index.insert(row[i], row_id);
      added(column, row[i]);
      break;
    }
  }
}
inline void index_row_version(IndexMap& indexes, std::span<const std::string> columns, uint64_t row_id,
                              std::span<const Value> row) {
  index_row_version(indexes, columns, row_id, row, [](const std::string&, const Value&) {});
}

}  // namespace qm::db
