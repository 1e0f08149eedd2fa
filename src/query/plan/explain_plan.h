// EXPLAIN of a SELECT: the plan the statement would follow, as rows ("step", "operation",
// "detail"), built without reading a table row. The statement is validated as execution
// validates it (missing tables and columns, unresolvable join keys, invalid select lists
// and groupings fail with the same errors). The row path is the SelectPlan execution runs
// (select_plan.h): the COUNT(*) envelope count, the ordered index read with its early stop,
// or an index lookup or range scan for the WHERE, the table scan, and per join either the
// adaptive indexed join (probe or build is decided only while running) or a scan of the
// right table into an ordered map.
// For the WHERE, EXPLAIN names the first indexed condition from the left (through AND). The
// executor decides only while running: for a WHERE that is an AND over two or more indexed
// columns it counts each indexed column's candidates and reads through the index with fewer
// (index_candidates in index_plan.h), which need not be the one named here.
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
