// The streaming grouped SELECT over one table (no WHERE, no HAVING): one walk of the page
// chain, every record version folded into its group as it is decoded, nothing but the
// groups kept. The statement is validated and every position resolved before the first
// page is read, so a misspelt column fails on an empty table too.
#include "query/exec/executor.h"
#include "query/eval/streaming_aggregate.h"
#include "table/chain_scan.h"

namespace qm::db {

Result<RowsResult> select_streaming_aggregate(Database& db, std::string_view table_name,
                                              std::optional<uint64_t> snapshot, std::vector<sql::SelectItem> items,
                                              std::span<const std::string> group_by,
                                              std::span<const sql::OrderBy> order_by, bool distinct,
                                              std::optional<uint64_t> limit, uint64_t offset, QueryBudget* budget) {
  const Table* found = db.catalog().find(table_name);
  if (!found) return fail(QmError::table_not_found(std::string(table_name)));
  const Table& table = *found;
  QM_ASSIGN(auto groups,
            aggregate::StreamingGroups::prepare(table.columns, std::move(items), group_by, order_by, budget));
  const uint64_t at = snapshot.value_or(db.clock());
  QM_TRY(scan(db.store().cache, table, db.store().cas, [&](const RecordVersion& version) {
    return groups.step(budget, at, version.created_tx, version.deleted_tx, version.values);
  }));
  return std::move(groups).finish(budget, order_by, distinct, limit, offset);
}

}  // namespace qm::db
