// The statement handlers that `execute_statement` dispatches to, one file per
// family (SELECT, INSERT, DDL). Internal to statement execution.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/error.h"
#include "core/query_result.h"
#include "db/database.h"
#include "sql/statement.h"

namespace qm::db::dispatch {

// What the validation of a statement's rows read of its table besides the rows: the
// constraints and defaults, and which chain the matched row ids belong to.
struct ValidatedTable {
  std::vector<std::string> columns;
  std::set<std::string> unique;
  std::set<std::string> not_null;
  std::map<std::string, Value> defaults;
  std::vector<sql::Predicate> checks;
  std::optional<uint64_t> first_page;

  static std::optional<ValidatedTable> of(const Database& db, std::string_view name) {
    const Table* found = db.catalog().find(name);
    if (!found) return std::nullopt;
    const Table& t = *found;
    return ValidatedTable{t.columns, t.unique, t.not_null, t.defaults, t.checks, t.first_page};
  }
  friend bool operator==(const ValidatedTable&, const ValidatedTable&) = default;
};

// Runs the writing part of a statement on `table` atomically, after a validation phase that
// read the database under `scope` (the mutation guards, and on a workspace its lock).
// Outside a transaction on an unlogged workspace the statement's own undo makes the writes
// atomic: they run in the statement, which keeps the lock from validation to its one
// publish, so nothing can come in between and the workspace is not copied. Otherwise the
// scope is given up first, since the transaction takes the workspace lock itself (a statement
// run through execute_statement hands its lock over, so nothing comes in between); if another
// handle committed to the workspace in that moment, the transaction starts from what it
// wrote, and the statement is refused rather than applied to rows or constraints it never
// checked. Rows move the clock; DDL does not (CREATE UNIQUE INDEX, the table dropped and made
// anew), so the table's constraints and chain are compared too. Only a workspace outside a
// transaction gives the lock up; elsewhere nothing can come in between.
template <class F>
auto write_atomically(Database& db, std::string_view table, Database::MutationScope& scope, F&& body)
    -> std::invoke_result_t<F, Database&> {
  if (db.writes_within_statement(table)) return db.within_statement(std::forward<F>(body));
  const uint64_t validated_at = db.clock();
  const bool lock_given_up = db.directory() && !db.in_transaction();
  std::optional<ValidatedTable> validated;
  if (lock_given_up) validated = ValidatedTable::of(db, table);
  scope = Database::MutationScope(nullptr);
  return db.atomic_mutation([&](Database& d) -> std::invoke_result_t<F, Database&> {
    if (d.clock() != validated_at || (lock_given_up && validated != ValidatedTable::of(d, table)))
      return fail(QmError::transaction(
          "the workspace was changed by another handle or process while the statement ran; run it again"));
    return body(d);
  });
}

// SELECT over one table: COUNT(*) fast path, ordered index read, grouped or plain.
Result<QueryResult> select_single(Database& db, const sql::SelectSingleStmt& stmt, QueryBudget* budget);
// SELECT with an aliased FROM table or joins.
Result<QueryResult> select_general(Database& db, const sql::SelectStmt& stmt, QueryBudget* budget);
// EXPLAIN of a SELECT.
Result<QueryResult> explain(Database& db, const sql::ExplainStmt& stmt, QueryBudget* budget);

Result<QueryResult> insert_row(Database& db, const sql::InsertRowStmt& stmt, QueryBudget* budget);
Result<QueryResult> insert_rows(Database& db, sql::InsertRowsStmt stmt, QueryBudget* budget);
Result<QueryResult> insert_with_targets(Database& db, const sql::InsertWithTargetsStmt& stmt, QueryBudget* budget);

Result<QueryResult> create_index(Database& db, const sql::CreateIndexStmt& stmt, QueryBudget* budget);

}  // namespace qm::db::dispatch
