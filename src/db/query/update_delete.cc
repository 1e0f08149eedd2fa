// UPDATE and DELETE: both find the versions visible at the current clock, retire them by
// writing one statement clock value into their envelopes, and (UPDATE) append a new
// version of each row with one column replaced. Every new row is built and validated
// before anything is written, so a constraint failure needs no rollback; the writing itself
// runs atomically where several versions change. Secondary indexes keep every version:
// nothing is removed from them, and the new versions are added like any insert.

#include "db/database.h"
#include "db/exec/value_compare.h"
#include "db/query/dispatch_internal.h"
#include "db/query/row_access.h"
#include "db/query/text.h"

namespace qm::db {

Result<uint64_t> Database::update_where_bounded(std::string_view table_name, std::string_view column,
                                                const Value& value, const query::Predicate& where,
                                                QueryBudget* budget) {
  QM_ASSIGN(auto scope, begin_mutation());
  auto it = tables.find(table_name);
  if (it == tables.end()) return fail(QmError::table_not_found(std::string(table_name)));
  auto pos = it->second.column_position(column);
  if (!pos) return fail(QmError::schema(str("no column `", column, "`")));
  QM_ASSIGN(std::vector<MatchedRow> matches, collect_matching(table_name, where, std::nullopt, budget));
  if (matches.empty()) return 0;
  const Table& table = tables.find(table_name)->second;
  const std::string name(column);
  if (value.is_null() && table.not_null.contains(name))
    return fail(QmError::schema(str("column `", column, "` may not be NULL")));
  if (!value.is_null() && table.unique.contains(name)) {
    uint64_t same = 0;
    for (const MatchedRow& m : matches)
      if (values_equal(m.values[*pos], value)) ++same;
    const query::Predicate equal = query::Predicate::eq(name, value);
    QM_ASSIGN(RowsResult existing, select_filtered_bounded(table_name, &equal, std::nullopt, budget));
    if (!(matches.size() == 1 && existing.rows.size() <= same))
      return fail(QmError::schema(str("duplicate value for unique column `", column, "`")));
  }
  std::vector<Row> replacements;
  replacements.reserve(matches.size());
  for (const MatchedRow& m : matches) {
    Row next = m.values;
    next[*pos] = value;
    if (budget) QM_TRY(budget->materialize(next));
    QM_TRY(validate_row_constraints(table_name, next));
    replacements.push_back(std::move(next));
  }
  if (budget) QM_TRY(budget->checkpoint());
  return dispatch::write_atomically(*this, table_name, scope, [&](Database& db) -> Result<uint64_t> {
    auto target = db.tables.find(table_name);
    if (target == db.tables.end()) return fail(QmError::table_not_found(std::string(table_name)));
    const uint64_t statement_clock = ++db.clock;
    for (const MatchedRow& m : matches) QM_TRY(patch_delete_at(db.cache, target->second, m.row_id, statement_clock));
    for (const Row& row : replacements) QM_TRY(db.insert_validated_base(table_name, row));
    QM_TRY(db.end_mutation());
    return static_cast<uint64_t>(matches.size());
  });
}

Result<uint64_t> Database::delete_where_bounded(std::string_view table_name, const query::Predicate& where,
                                                QueryBudget* budget) {
  QM_ASSIGN(auto scope, begin_mutation());
  QM_ASSIGN(std::vector<MatchedRow> matches, collect_matching(table_name, where, std::nullopt, budget));
  if (budget) QM_TRY(budget->checkpoint());
  if (matches.size() <= 1) return apply_deletes(table_name, matches);
  return dispatch::write_atomically(*this, table_name, scope, [&](Database& db) { return db.apply_deletes(table_name, matches); });
}

Result<uint64_t> Database::apply_deletes(std::string_view table_name, std::span<const MatchedRow> matches) {
  // Tables with persistent retrieval indexes hand the retired rows to their maintenance here.
  return apply_deletes_base(table_name, matches);
}

Result<uint64_t> Database::apply_deletes_base(std::string_view table_name, std::span<const MatchedRow> matches) {
  const uint64_t statement_clock = ++clock;
  auto it = tables.find(table_name);
  if (it == tables.end()) return fail(QmError::table_not_found(std::string(table_name)));
  for (const MatchedRow& m : matches) QM_TRY(patch_delete_at(cache, it->second, m.row_id, statement_clock));
  QM_TRY(end_mutation());
  return static_cast<uint64_t>(matches.size());
}

}  // namespace qm::db
