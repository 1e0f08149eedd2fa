// What the general SELECT does after its last join: the full WHERE under SQL's three-valued
// logic (only true keeps a row), then either the grouped projection (GROUP BY, HAVING or
// an aggregate item) or the plain one, each with ORDER BY, DISTINCT, OFFSET and LIMIT.
// The joined rows are consumed.
#pragma once

#include <string>
#include <vector>

#include "core/error.h"
#include "core/query_result.h"
#include "sql/statement.h"

namespace qm::db {

Result<RowsResult> select_tail(std::vector<std::string> names, std::vector<Row> rows, const sql::SelectBody& body);

}  // namespace qm::db
