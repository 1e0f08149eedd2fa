// The pieces of an EXPLAIN plan: steps as (operation, detail) rows numbered from 0, the
// closing OFFSET and LIMIT steps, the indexed access a WHERE allows, the sort step's
// text, and the name checks that make EXPLAIN fail wherever the SELECT would fail on a
// column name. Reads no table: the caller says which columns carry an index.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/query_result.h"
#include "sql/statement.h"

namespace qm::db::explain {

struct PlanStep {
  std::string operation;
  std::string detail;
};

// Columns "step", "operation", "detail"; step numbers are Int from 0.
RowsResult plan_result(std::vector<PlanStep> steps);

// ("offset", n) when the offset is not 0, then ("limit", n) when a limit is present.
void append_limit(std::vector<PlanStep>& steps, std::optional<uint64_t> limit, uint64_t offset);

struct IndexAccess {
  std::string operation;  // "index lookup" or "index range scan"
  std::string column;     // as written in the predicate
};
// The first indexed access of the predicate, left to right through AND. `has_index`
// answers whether the table has a secondary index on a column (as written).
std::optional<IndexAccess> index_access(const sql::Predicate& predicate,
                                        const std::function<bool(const std::string&)>& has_index);

// "x ASC, y DESC".
std::string sort_detail(std::span<const sql::OrderBy> order_by);

Result<void> check_projection(std::span<const std::string> names, const sql::Projection& projection);
Result<void> check_scalar(std::span<const std::string> names, const sql::ScalarExpr& expr);

}  // namespace qm::db::explain
