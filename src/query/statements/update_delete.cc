// UPDATE and DELETE: both find the versions visible at the current clock, retire them by
// writing one statement clock value into their envelopes, and (UPDATE) append a new
// version of each row with one column replaced; every mark and new version goes through the
// write path (mark_deleted, insert_validated_base). Every new row is built and validated
// before anything is written, so a constraint failure needs no rollback; the writing itself
// runs atomically where several versions change. Secondary indexes keep every version:
// nothing is removed from them, and the new versions are added like any insert.

#include "query/exec/executor.h"
#include "query/eval/value_compare.h"
#include "query/statements/dispatch_internal.h"
#include "table/row_access.h"
#include "table/text.h"
#include "db/write_path.h"

namespace qm::db {

Result<uint64_t> update_where_bounded(Database& db, std::string_view table_name, std::string_view column,
                                      const Value& value, const sql::Predicate& where, QueryBudget* budget) {
  QM_ASSIGN(auto scope, db.begin_mutation());
  const Table* found = db.catalog().find(table_name);
  if (!found) return fail(QmError::table_not_found(std::string(table_name)));
  auto pos = found->column_position(column);
  if (!pos) return fail(QmError::schema(str("no column `", column, "`")));
  QM_ASSIGN(MatchedRows matches, collect_matching(db, table_name, where, std::nullopt, budget));
  if (matches.empty()) return 0;
  const Table& table = *db.catalog().find(table_name);
  const std::string name(column);
  if (value.is_null() && table.not_null.contains(name))
    return fail(QmError::schema(str("column `", column, "` may not be NULL")));
  if (!value.is_null() && table.unique.contains(name)) {
    uint64_t same = 0;
    Row old;
    for (size_t i = 0; i < matches.size(); ++i) {
      matches.row_into(i, old);
      if (values_equal(old[*pos], value)) ++same;
    }
    const sql::Predicate equal = sql::Predicate::eq(name, value);
    QM_ASSIGN(RowsResult existing, select_filtered_bounded(db, table_name, &equal, std::nullopt, budget));
    if (!(matches.size() == 1 && existing.rows.size() <= same))
      return fail(QmError::schema(str("duplicate value for unique column `", column, "`")));
  }
  // Each replacement is built from its matched row in one reused buffer: once here to be
  // checked, again below to be stored.
  Row next;
  for (size_t i = 0; i < matches.size(); ++i) {
    matches.row_into(i, next);
    next[*pos] = value;
    if (budget) QM_TRY(budget->materialize(next));
    QM_TRY(validate_row_constraints(db, table_name, next));
  }
  if (budget) QM_TRY(budget->checkpoint());
  return dispatch::write_atomically(db, table_name, scope, [&](Database& d) -> Result<uint64_t> {
    if (!d.catalog().contains(table_name)) return fail(QmError::table_not_found(std::string(table_name)));
    QM_ASSIGN(const uint64_t statement_clock, advance_clock(d));
    for (uint64_t row_id : matches.row_ids()) QM_TRY(mark_deleted(d, table_name, row_id, statement_clock));
    for (size_t i = 0; i < matches.size(); ++i) {
      matches.row_into(i, next);
      next[*pos] = value;
      QM_TRY(insert_validated_base(d, table_name, next));
    }
    QM_TRY(statement_written(d, table_name));
    QM_TRY(d.end_mutation());
    return static_cast<uint64_t>(matches.size());
  });
}

Result<uint64_t> delete_where_bounded(Database& db, std::string_view table_name, const sql::Predicate& where,
                                      QueryBudget* budget) {
  QM_ASSIGN(auto scope, db.begin_mutation());
  QM_ASSIGN(MatchedRows matches, collect_matching(db, table_name, where, std::nullopt, budget));
  if (budget) QM_TRY(budget->checkpoint());
  if (matches.empty() || (matches.size() == 1 && !db.catalog().has_retrieval_index(table_name)))
    return apply_deletes(db, table_name, matches);
  return dispatch::write_atomically(db, table_name, scope,
                                    [&](Database& d) { return apply_deletes(d, table_name, matches); });
}

Result<uint64_t> apply_deletes(Database& db, std::string_view table_name, const MatchedRows& matches) {
  QM_ASSIGN(const uint64_t statement_clock, advance_clock(db));
  if (!db.catalog().contains(table_name)) return fail(QmError::table_not_found(std::string(table_name)));
  for (uint64_t row_id : matches.row_ids()) QM_TRY(mark_deleted(db, table_name, row_id, statement_clock));
  QM_TRY(statement_written(db, table_name));
  QM_TRY(db.end_mutation());
  return static_cast<uint64_t>(matches.size());
}

}  // namespace qm::db
