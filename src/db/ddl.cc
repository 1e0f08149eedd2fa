// Table and index DDL, part of the write path: creating and dropping tables, building a
// secondary index by scanning a table. Every change
// is to the in-memory catalog, told to the write observers, and reaches the disk through the
// flush at the end of the mutation (or at commit).
#include <string>

#include "table/catalog_rebuild.h"
#include "db/ddl.h"

#include "db/database.h"
#include "table/chain_scan.h"
#include "db/retrieval_catalog.h"
#include "db/retrieval_maintenance.h"
#include "table/schema.h"
#include "db/atomicity/transaction.h"
#include "table/write_observers.h"

namespace qm::db {

Result<void> create_table(Database& db, const std::string& name, const std::vector<std::string>& columns,
                          const std::vector<std::string>& unique, const std::vector<std::string>& not_null,
                          const std::map<std::string, Value>& defaults, const std::vector<sql::Predicate>& checks) {
  QM_ASSIGN(auto scope, db.begin_mutation());
  if (db.catalog_.tables().contains(name)) return fail(QmError::schema("table `" + name + "` already exists"));
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
  db.note_change();
  db.catalog_.tables().emplace(name, std::move(t));
  QM_TRY(db.observers_.table_created(name));
  return db.end_mutation();
}

Result<void> drop_table(Database& db, const std::string& name) {
  // A table's retrieval indexes go with it, in the same atomic step.
  if (db.catalog_.has_retrieval_index(name) && !db.in_transaction()) {
    { QM_ASSIGN(auto scope, db.begin_mutation()); }
    return db.atomic_mutation([&](Database& d) { return drop_table(d, name); });
  }
  QM_ASSIGN(auto scope, db.begin_mutation());
  auto it = db.catalog_.tables().find(name);
  if (it == db.catalog_.tables().end()) return fail(QmError::table_not_found(name));
  db.note_change();
  for (const auto& [index, entry] : db.catalog_.retrieval())
    if (entry.definition().table == name) QM_TRY(settle_deferred(entry, db.store_.cas));
  if (db.transaction_) db.transaction_->table_changing(name, it->second, /*dropping=*/true);
  db.catalog_.tables().erase(it);
  if (db.transaction_ && db.catalog_.has_retrieval_index(name)) db.transaction_->retrieval_catalog_changing(db.catalog_.retrieval());
  if (std::erase_if(db.catalog_.retrieval(), [&](const auto& e) { return e.second.definition().table == name; }) != 0)
    db.retrieval_pending_->refresh(db.catalog_);
  QM_TRY(db.observers_.table_dropped(name));
  return db.end_mutation();
}

Result<void> create_index_bounded(Database& db, const std::string& table_name, const std::string& column,
                                  QueryBudget* budget, bool make_unique) {
  QM_ASSIGN(auto scope, db.begin_mutation());
  auto it = db.catalog_.tables().find(table_name);
  if (it == db.catalog_.tables().end()) return fail(QmError::table_not_found(table_name));
  Table& table = it->second;
  if (!table.column_position(column)) return fail(QmError::schema("no column `" + column + "`"));
  IndexMap built;
  built.emplace(column, storage::SecondaryIndex());
  QM_TRY(scan(db.store_.cache, table, db.store_.cas, [&](const RecordVersion& version) -> Result<void> {
    if (budget) {
      QM_TRY(budget->scan_row());
      QM_TRY(budget->materialize(version.values));
    }
    index_row_version(built, table.columns, version.row_id, version.values);
    return {};
  }));
  if (budget) QM_TRY(budget->checkpoint());
  db.note_change();
  if (db.transaction_) db.transaction_->table_changing(table_name, table, /*dropping=*/false);
  table.indexes.insert_or_assign(column, std::move(built.begin()->second));
  if (make_unique) table.unique.insert(column);
  return db.end_mutation();
}

}  // namespace qm::db
