// The statement handlers that `Database::execute_statement` dispatches to, one file per
// family (SELECT, INSERT, DDL). Internal to statement execution.
#pragma once

#include <type_traits>

#include "core/error.h"
#include "core/query_result.h"
#include "db/database.h"
#include "engine/statement.h"

namespace qm::db::dispatch {

// Runs the writing part of a statement atomically, after a validation phase that read the
// database under `scope` (the mutation guards, and on a workspace its lock). The scope is
// given up first, since the transaction takes the workspace lock itself; if another handle
// wrote to the workspace in that moment, the transaction starts from what it wrote, the
// clock differs from the one validated against, and the statement is refused rather than
// applied to rows it never checked.
template <class F>
auto write_atomically(Database& db, Database::MutationScope& scope, F&& body) -> std::invoke_result_t<F, Database&> {
  const uint64_t validated_at = db.clock;
  scope = Database::MutationScope(nullptr);
  return db.atomic_mutation([&](Database& d) -> std::invoke_result_t<F, Database&> {
    if (d.clock != validated_at)
      return fail(QmError::transaction(
          "the workspace was changed by another handle or process while the statement ran; run it again"));
    return body(d);
  });
}

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
