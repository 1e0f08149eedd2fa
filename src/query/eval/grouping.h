// Grouped SELECT over rows already collected (filtered scan or join): the validation of
// the select list against GROUP BY, grouping by the kind-first value order (a NULL key is
// a group, Int 1 and Decimal 1.000000 are two), aggregates per group, HAVING, then the
// tail (ORDER BY against the output column names, DISTINCT, OFFSET, LIMIT). Without
// GROUP BY every row, possibly none, forms the one group. Rows are moved into group order,
// never copied.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/query_result.h"
#include "sql/statement.h"

namespace qm::db {

// One aggregate over a group's rows; the column is resolved even when there are none.
Result<Value> compute_one_aggregate(const sql::SelectAggregate& aggregate, std::span<const std::string> names,
                                    std::span<const Row> rows);

// Two-valued HAVING; AND and OR stop early. A column term names an output column.
Result<bool> eval_having(const sql::HavingPred& having, std::span<const std::string> out_names,
                         std::span<const Value> out_row, std::span<const std::string> names,
                         std::span<const Row> rows);

Result<RowsResult> project_grouped(std::span<const std::string> names, std::vector<Row> rows,
                                   std::span<const sql::SelectItem> items, std::span<const std::string> group_by,
                                   const sql::HavingPred* having, std::span<const sql::OrderBy> order_by,
                                   bool distinct, std::optional<uint64_t> limit, uint64_t offset);

// A row seen through its GROUP BY positions, so that a group map keyed by copied keys
// can be searched without copying the row's key first.
struct GroupKeyView {
  std::span<const Value> row;
  std::span<const size_t> pos;
};
struct GroupKeyLess {
  using is_transparent = void;
  bool operator()(const Row& a, const Row& b) const { return compare_rows(a, b) < 0; }
  bool operator()(const Row& a, const GroupKeyView& b) const { return cmp(a, b) < 0; }
  bool operator()(const GroupKeyView& a, const Row& b) const { return cmp(b, a) > 0; }
  static std::strong_ordering cmp(const Row& key, const GroupKeyView& v) {
    for (size_t i = 0; i < v.pos.size(); ++i) {
      auto c = compare(key[i], v.row[v.pos[i]]);
      if (c != 0) return c;
    }
    return std::strong_ordering::equal;
  }
};

// What both grouped executions share. The validated shape of a grouped select list.
struct GroupedShape {
  std::vector<size_t> group_pos;             // source position of each GROUP BY column
  std::vector<std::optional<size_t>> key_index;  // per item: index into the key (column items)
  std::vector<std::string> columns;          // output column names
};
// Resolves GROUP BY, checks each item ("must appear in GROUP BY", "scalar expressions
// cannot yet be mixed with GROUP BY or aggregates") and names the output columns.
Result<GroupedShape> grouped_shape(std::span<const std::string> names, std::span<const sql::SelectItem> items,
                                   std::span<const std::string> group_by);

// The tail of a grouped result: sort by ORDER BY (keys checked even over no rows),
// DISTINCT, OFFSET, LIMIT.
Result<void> grouped_tail(std::vector<Row>& rows, std::span<const std::string> out_names,
                          std::span<const sql::OrderBy> order_by, bool distinct, std::optional<uint64_t> limit,
                          uint64_t offset);

}  // namespace qm::db
