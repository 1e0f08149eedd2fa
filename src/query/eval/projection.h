// The non-grouped SELECT tail: order the source rows (full stable sort, or top-N when
// ORDER BY meets a LIMIT without DISTINCT), apply the select list, DISTINCT, OFFSET,
// LIMIT. ORDER BY names source columns. Source rows are consumed: `*` hands them on, a
// plain column list moves each source value into its last use, and only expressions
// copy. Also the select-list shapes the grouped path and the COUNT(*) fast path need.
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

Result<RowsResult> project_select(std::vector<std::string> names, std::vector<Row> rows,
                                  const sql::Projection& projection, std::span<const sql::OrderBy> order_by,
                                  bool distinct, std::optional<uint64_t> limit, uint64_t offset);

// The select list as items for the grouped path; `*` is the Query error "SELECT * cannot
// be combined with GROUP BY or aggregates".
Result<std::vector<sql::SelectItem>> projection_to_items(const sql::Projection& projection);

// The select list is exactly one COUNT(*) item; carries that item's alias.
struct CountStarOnly {
  std::optional<std::string> alias;
};
std::optional<CountStarOnly> count_star_only(const sql::Projection& projection);

}  // namespace qm::db
