// Table and index DDL, part of the write path: creating and dropping tables, building a
// secondary index by scanning a table, and asking whether a column is indexed. Every change
// is to the in-memory catalog, told to the write observers, and reaches the disk through the
// flush at the end of the mutation (or at commit).
#include <string>

#include "db/catalog_rebuild.h"
#include "db/database.h"
#include "db/query/chain_scan.h"
#include "db/retrieval_catalog.h"
#include "db/retrieval_maintenance.h"
#include "db/schema.h"
#include "db/transaction/transaction.h"
#include "db/write_path.h"

namespace qm::db {

Result<void> Database::create_table_internal(const std::string& name, const std::vector<std::string>& columns,
                                             const std::vector<std::string>& unique,
                                             const std::vector<std::string>& not_null,
                                             const std::map<std::string, Value>& defaults,
                                             const std::vector<query::Predicate>& checks) {
  QM_ASSIGN(auto scope, begin_mutation());
  if (catalog_.tables().contains(name)) return fail(QmError::schema("table `" + name + "` already exists"));
  // CHECK shapes are validated as the catalog rebuild will validate them, so nothing
  // accepted here can make the next open fail.
  QM_TRY(validate_schema_metadata(SchemaView{name, columns, unique, not_null, defaults, checks}, /*stored=*/false));
  Table t;
  t.columns = columns;
  t.unique.insert(unique.begin(), unique.end());
  t.not_null.insert(not_null.begin(), not_null.end());
  t.defaults = defaults;
  t.checks = checks;
  // No chain yet: the set of its pages is known, and the inserts keep it, so no later
  // DELETE or UPDATE has to walk the chain to learn it.
  t.page_ids.emplace();
  for (const auto& column : t.unique) t.indexes.emplace(column, storage::SecondaryIndex());
  note_change();
  catalog_.tables().emplace(name, std::move(t));
  QM_TRY(observers_.table_created(name));
  return end_mutation();
}

Result<void> Database::create_table_with_constraints(const std::string& name, const std::vector<std::string>& columns,
                                                     const std::vector<std::string>& unique,
                                                     const std::vector<std::string>& not_null) {
  return create_table_internal(name, columns, unique, not_null, {}, {});
}

Result<void> Database::drop_table(const std::string& name) {
  // A table's retrieval indexes go with it, in the same atomic step.
  if (catalog_.has_retrieval_index(name) && !in_transaction()) {
    { QM_ASSIGN(auto scope, begin_mutation()); }
    return atomic_mutation([&](Database& db) { return db.drop_table(name); });
  }
  QM_ASSIGN(auto scope, begin_mutation());
  auto it = catalog_.tables().find(name);
  if (it == catalog_.tables().end()) return fail(QmError::table_not_found(name));
  note_change();
  for (const auto& [index, entry] : catalog_.retrieval())
    if (entry.definition().table == name) QM_TRY(settle_deferred(entry, store_.cas));
  if (transaction_) transaction_->table_changing(name, it->second, /*dropping=*/true);
  catalog_.tables().erase(it);
  if (transaction_ && catalog_.has_retrieval_index(name)) transaction_->retrieval_catalog_changing(catalog_.retrieval());
  if (std::erase_if(catalog_.retrieval(), [&](const auto& e) { return e.second.definition().table == name; }) != 0)
    retrieval_pending_->refresh(catalog_);
  QM_TRY(observers_.table_dropped(name));
  return end_mutation();
}

Result<void> Database::create_index_bounded(const std::string& table_name, const std::string& column,
                                           QueryBudget* budget, bool make_unique) {
  QM_ASSIGN(auto scope, begin_mutation());
  auto it = catalog_.tables().find(table_name);
  if (it == catalog_.tables().end()) return fail(QmError::table_not_found(table_name));
  Table& table = it->second;
  if (!table.column_position(column)) return fail(QmError::schema("no column `" + column + "`"));
  IndexMap built;
  built.emplace(column, storage::SecondaryIndex());
  QM_TRY(scan(store_.cache, table, store_.cas, [&](const RecordVersion& version) -> Result<void> {
    if (budget) {
      QM_TRY(budget->scan_row());
      QM_TRY(budget->materialize(version.values));
    }
    index_row_version(built, table.columns, version.row_id, version.values);
    return {};
  }));
  if (budget) QM_TRY(budget->checkpoint());
  note_change();
  if (transaction_) transaction_->table_changing(table_name, table, /*dropping=*/false);
  table.indexes.insert_or_assign(column, std::move(built.begin()->second));
  if (make_unique) table.unique.insert(column);
  return end_mutation();
}

bool Database::has_index(std::string_view table, std::string_view column) const {
  auto it = catalog_.tables().find(table);
  if (it == catalog_.tables().end()) return false;
  for (const auto& [name, index] : it->second.indexes)
    if (name == column) return true;
  return false;
}

}  // namespace qm::db
