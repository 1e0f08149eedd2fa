// The general SELECT: the driving relation read once (with the part of the WHERE it can
// decide pushed into its row source), then each join in statement order, then the full
// WHERE and the projection tail over the joined rows. Everything is read at one snapshot
// (BEFORE n, else the clock when the statement starts).
//
// Each join reads its right input exactly once, either by scanning the right table into
// an ordered map of rows by normalised key, or, when the right key column is indexed and
// probing is cheaper (always under a budget), by one index probe per distinct left key.
// The probe rechecks every candidate: its page must belong to the table's own chain, its
// version must be visible at the snapshot and its key must still match, so a stale or
// damaged index can neither add a row nor reach another table. Both inputs give the same
// rows per key in the same order (ascending row id along the chain), so the result does
// not depend on the choice.
#include <algorithm>

#include "query/exec/executor.h"
#include "query/plan/index_plan.h"
#include "table/row_access.h"
#include "query/plan/join_plan.h"
#include "query/eval/join_rows.h"
#include "query/exec/select_tail.h"

namespace qm::db {
namespace {

QmError outside_chain(uint64_t row_id) {
  return QmError::corruption("record address " + std::to_string(row_id) + " points outside its table page chain");
}

// The right input by index: the visible rows whose key matches each distinct left key.
Result<void> probe_right(Database& db, const JoinStep& step, const join::KeySet& keys, uint64_t snapshot,
                         QueryBudget* budget, join::RightMap& map) {
  const Table& right = *step.table;
  const storage::SecondaryIndex& index = right.indexes.find(step.right_column())->second;
  Row row;
  for (const Value& key : join::sorted_keys(keys)) {
    QM_ASSIGN(std::vector<uint64_t> ids, index_equality_candidates(index, key, budget));
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    for (uint64_t id : ids) {
      if (budget) QM_TRY(budget->scan_row());
      QM_ASSIGN(bool owned, row_in_table(db.store().cache, right, id));
      if (!owned) return fail(outside_chain(id));
      QM_ASSIGN(RecordEnvelope envelope, read_record_at(db.store().cache, right, db.store().cas, id, row));
      if (!envelope.visible(snapshot)) continue;
      if (row.size() <= step.right_pos || join::compare_keys(row[step.right_pos], key) != 0) continue;
      if (budget) QM_TRY(budget->materialize(row));
      map.add(row);
    }
  }
  return {};
}

}  // namespace

Result<RowsResult> select_join(Database& db, const sql::SelectStmt& stmt, QueryBudget* budget) {
  QM_ASSIGN(JoinPlan plan, plan_join(db.catalog().tables(), stmt));
  const uint64_t snapshot = stmt.body.before.value_or(db.clock());
  QM_ASSIGN(RowsResult driving,
            select_filtered_bounded(db, stmt.from.name, plan.source ? &*plan.source : nullptr, snapshot, budget));
  std::vector<Row> rows = std::move(driving.rows);

  for (const JoinStep& step : plan.joins) {
    const Table& right = *step.table;
    // Without a budget only the count of distinct keys up to the probe threshold matters.
    size_t limit = 0;
    if (step.indexed) limit = budget ? SIZE_MAX : std::max<uint64_t>(right.row_versions, 1) / 4 + 1;
    QM_ASSIGN(join::KeySet keys, join::distinct_left_keys(rows, step.left_pos, budget, limit));
    join::RightMap map(step.right_pos);
    if (step.indexed && join::prefer_probe(keys.size(), right.row_versions, budget != nullptr)) {
      QM_TRY(probe_right(db, step, keys, snapshot, budget, map));
    } else {
      QM_ASSIGN(RowsResult all, select_filtered_bounded(db, step.clause->table, nullptr, snapshot, budget));
      join::add_right_rows(map, std::move(all.rows));
    }
    QM_ASSIGN(rows, join::join_rows(std::move(rows), step.left_pos, map, right.columns.size(), step.clause->kind,
                                    budget));
  }
  return select_tail(std::move(plan.names), std::move(rows), stmt.body);
}

}  // namespace qm::db
