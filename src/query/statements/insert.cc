// INSERT: completing statement rows to full table rows, the row checks in their fixed order
// (table, column count, record shape, NOT NULL, CHECK, then UNIQUE), and storing a
// validated row. Validation changes nothing, so a statement validates every row before it
// stores any.
//
// UNIQUE is checked before writing, never by the index: against the values the statement
// has already accepted (an ordered set per column, so a long INSERT costs n log n, not n^2)
// and against stored rows by an equality read, which is an index lookup on an indexed
// column. Int n and Decimal n.000000 are one value; NULLs never conflict.

#include "query/exec/executor.h"
#include "query/eval/predicate.h"
#include "query/statements/insert_values.h"
#include "table/text.h"
#include "table/schema.h"

namespace qm::db {

Value unique_key(const Value& v) {
  if (v.is_int()) return Value::decimal(static_cast<i128>(v.as_int()) * kDecimalScale);
  return v;
}

Result<void> validate_row_constraints(const Database& db, std::string_view table_name, std::span<const Value> row) {
  const Table* found = db.catalog().find(table_name);
  if (!found) return fail(QmError::table_not_found(std::string(table_name)));
  const Table& table = *found;
  if (row.size() != table.columns.size())
    return fail(QmError::schema(
        str("table `", table_name, "` expects ", table.columns.size(), " columns, got ", row.size())));
  QM_TRY(validate_record_shape(row));
  for (const std::string& column : table.not_null) {
    auto pos = table.column_position(column);
    if (!pos) return fail(QmError::schema(str("no column `", column, "`")));
    if (row[*pos].is_null()) return fail(QmError::schema(str("column `", column, "` may not be NULL")));
  }
  for (size_t i = 0; i < table.checks.size(); ++i) {
    QM_ASSIGN(Truth truth, check_result(table.checks[i], table.columns, row));
    if (truth == Truth::False)
      return fail(QmError::schema(str("CHECK constraint ", i + 1, " failed on table `", table_name, "`")));
  }
  return {};
}

Result<void> validate_insert_values(Database& db, std::string_view table_name, std::span<const Value> row,
                                    PendingUnique* pending, QueryBudget* budget) {
  QM_TRY(validate_row_constraints(db, table_name, row));
  const Table& table = *db.catalog().find(table_name);
  if (table.unique.empty()) return {};
  for (const std::string& column : table.unique) {
    auto pos = table.column_position(column);
    if (!pos) return fail(QmError::schema(str("no column `", column, "`")));
    const Value& value = row[*pos];
    if (value.is_null()) continue;
    auto duplicate = [&] { return QmError::schema(str("duplicate value for unique column `", column, "`")); };
    if (pending) {
      if (budget) QM_TRY(budget->scan_row());
      if (!(*pending)[column].insert(unique_key(value)).second) return fail(duplicate());
    }
    const sql::Predicate equal = sql::Predicate::eq(column, value);
    QM_ASSIGN(RowsResult existing, select_filtered_bounded(db, table_name, &equal, std::nullopt, budget));
    if (!existing.rows.empty()) return fail(duplicate());
  }
  return {};
}

}  // namespace qm::db
