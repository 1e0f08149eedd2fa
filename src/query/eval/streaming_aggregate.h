// The fold of a streaming grouped SELECT: one table, no WHERE or HAVING, rows read once
// and folded into per-group accumulators, only the groups kept. This file owns the state
// and the per-record step; the page-chain walk that feeds it lives with the table scans.
// Groups are keyed by the kind-first value order; looking up an existing group copies
// nothing, a new group is charged to the budget before it is created.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/record_envelope.h"
#include "core/query_result.h"
#include "query/eval/aggregate.h"
#include "query/eval/grouping.h"
#include "table/query_budget.h"
#include "sql/statement.h"

namespace qm::db::aggregate {

class StreamingGroups {
 public:
  // Validates the statement exactly as the collected-rows path would over no rows
  // (GROUP BY, select list, ORDER BY against the output names), resolves every position,
  // and without GROUP BY creates (and charges) the single group, so an empty table still
  // yields its one row.
  static Result<StreamingGroups> prepare(std::span<const std::string> names, std::vector<sql::SelectItem> items,
                                         std::span<const std::string> group_by,
                                         std::span<const sql::OrderBy> order_by, QueryBudget* budget);

  const std::vector<std::string>& columns() const { return columns_; }

  // One stored row version: charged as scanned (visible or not), skipped unless visible
  // at the snapshot, then folded into its group.
  Result<void> step(QueryBudget* budget, uint64_t snapshot, uint64_t created, uint64_t deleted,
                    std::span<const Value> row);

  // One output row per group in key order (each charged as materialised), then ORDER BY,
  // DISTINCT, OFFSET and LIMIT.
  Result<RowsResult> finish(QueryBudget* budget, std::span<const sql::OrderBy> order_by, bool distinct,
                            std::optional<uint64_t> limit, uint64_t offset) &&;

 private:
  Result<std::vector<Accumulator>*> new_group(QueryBudget* budget, Row key);

  std::vector<sql::SelectItem> items_;
  std::vector<size_t> group_pos_;
  std::vector<std::optional<size_t>> key_index_;   // column items: index into the key
  std::vector<std::optional<size_t>> source_pos_;  // aggregate items: source column (none: COUNT(*))
  std::vector<std::string> columns_;
  size_t width_ = 0;  // source column count
  std::map<Row, std::vector<Accumulator>, GroupKeyLess> groups_;
};

// Visible at snapshot S: created at or before S and not deleted, or deleted after S.
inline bool visible_at(uint64_t snapshot, uint64_t created, uint64_t deleted) {
  return version_visible(created, deleted, snapshot);
}

}  // namespace qm::db::aggregate
