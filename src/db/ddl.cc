// Table and index DDL: creating and dropping tables, building a secondary index by scanning
// a table, and asking whether a column is indexed. Every change is to the in-memory catalog;
// it reaches the disk through the flush at the end of the mutation (or at commit).
#include <string>

#include "db/catalog_rebuild.h"
#include "db/database.h"
#include "db/query/chain_scan.h"
#include "db/schema.h"

namespace qm::db {

Result<void> Database::create_table_internal(const std::string& name, const std::vector<std::string>& columns,
                                             const std::vector<std::string>& unique,
                                             const std::vector<std::string>& not_null,
                                             const std::map<std::string, Value>& defaults,
                                             const std::vector<query::Predicate>& checks) {
  QM_ASSIGN(auto scope, begin_mutation());
  if (tables.contains(name)) return fail(QmError::schema("table `" + name + "` already exists"));
  // CHECK shapes are validated as the catalog rebuild will validate them, so nothing
  // accepted here can make the next open fail.
  QM_TRY(validate_schema_metadata(SchemaView{name, columns, unique, not_null, defaults, checks}, /*stored=*/false));
  Table t;
  t.columns = columns;
  t.unique.insert(unique.begin(), unique.end());
  t.not_null.insert(not_null.begin(), not_null.end());
  t.defaults = defaults;
  t.checks = checks;
  for (const auto& column : t.unique) t.indexes.emplace(column, storage::SecondaryIndex());
  tables.emplace(name, std::move(t));
  return end_mutation();
}

Result<void> Database::create_table_with_constraints(const std::string& name, const std::vector<std::string>& columns,
                                                     const std::vector<std::string>& unique,
                                                     const std::vector<std::string>& not_null) {
  return create_table_internal(name, columns, unique, not_null, {}, {});
}

Result<void> Database::drop_table(const std::string& name) { return drop_table_base(name); }

Result<void> Database::drop_table_base(const std::string& name) {
  QM_ASSIGN(auto scope, begin_mutation());
  auto it = tables.find(name);
  if (it == tables.end()) return fail(QmError::table_not_found(name));
  tables.erase(it);
  return end_mutation();
}

Result<void> Database::create_index_bounded(const std::string& table_name, const std::string& column,
                                           QueryBudget* budget, bool make_unique) {
  QM_ASSIGN(auto scope, begin_mutation());
  auto it = tables.find(table_name);
  if (it == tables.end()) return fail(QmError::table_not_found(table_name));
  Table& table = it->second;
  auto position = table.column_position(column);
  if (!position) return fail(QmError::schema("no column `" + column + "`"));
  storage::SecondaryIndex index;
  QM_TRY(scan(cache, table, cas, [&](const RecordVersion& version) -> Result<void> {
    if (budget) {
      QM_TRY(budget->scan_row());
      QM_TRY(budget->materialize(version.values));
    }
    index.insert(version.values[*position], version.row_id);
    return {};
  }));
  if (budget) QM_TRY(budget->checkpoint());
  table.indexes.insert_or_assign(column, std::move(index));
  if (make_unique) table.unique.insert(column);
  return end_mutation();
}

bool Database::has_index(std::string_view table, std::string_view column) const {
  auto it = tables.find(table);
  if (it == tables.end()) return false;
  for (const auto& [name, index] : it->second.indexes)
    if (name == column) return true;
  return false;
}

}  // namespace qm::db
