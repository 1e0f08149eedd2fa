// The statement handlers that `Database::execute_statement` dispatches to, one file per
// family (SELECT, INSERT, DDL). Internal to statement execution.
#pragma once

#include "core/error.h"
#include "core/query_result.h"
#include "db/database.h"
#include "engine/statement.h"

namespace qm::db::dispatch {

// SELECT over one table: COUNT(*) fast path, ordered index read, grouped or plain.
Result<QueryResult> select_single(Database& db, const query::SelectSingleStmt& stmt, QueryBudget* budget);
// SELECT with an aliased FROM table or joins.
Result<QueryResult> select_general(Database& db, const query::SelectStmt& stmt, QueryBudget* budget);
// EXPLAIN of a SELECT.
Result<QueryResult> explain(Database& db, const query::ExplainStmt& stmt, QueryBudget* budget);

Result<QueryResult> insert_row(Database& db, const query::InsertRowStmt& stmt, QueryBudget* budget);
Result<QueryResult> insert_rows(Database& db, query::InsertRowsStmt stmt, QueryBudget* budget);
Result<QueryResult> insert_with_targets(Database& db, const query::InsertWithTargetsStmt& stmt, QueryBudget* budget);

Result<QueryResult> create_index(Database& db, const query::CreateIndexStmt& stmt, QueryBudget* budget);

}  // namespace qm::db::dispatch
