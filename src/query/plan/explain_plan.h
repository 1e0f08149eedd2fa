// EXPLAIN of a SELECT: the plan the statement would follow, as rows ("step", "operation",
// "detail"), built without reading a table row. The statement is validated as execution
// validates it (missing tables and columns, unresolvable join keys, invalid select lists
// and groupings fail with the same errors). The row path is the SelectPlan execution runs
// (select_plan.h): the COUNT(*) envelope count, the ordered index read with its early stop,
// or an index lookup or range scan for the WHERE (the first indexed leaf, left to right),
// the table scan, and per join either the adaptive indexed join (probe or build is
// decided only while running) or a scan of the right table into an ordered map.
#pragma once

#include <cstdint>

#include "core/error.h"
#include "core/query_result.h"
#include "table/table.h"
#include "sql/statement.h"

namespace qm::db {

// `clock` is the snapshot of a statement without BEFORE. Anything but a SELECT form is
// Query "EXPLAIN requires a SELECT statement".
Result<RowsResult> explain_select(const TableMap& tables, uint64_t clock, const sql::Statement& inner);

class Database;
// The plan of a SELECT over the database's tables at its clock, as rows ("step",
// "operation", "detail"); reads no table row.
Result<QueryResult> explain_statement(const Database& db, const sql::Statement& inner);

}  // namespace qm::db
