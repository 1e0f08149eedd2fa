// The three INSERT statement forms and CREATE INDEX. An INSERT validates every row (with
// one record of the UNIQUE values its earlier rows took) before it stores any; two or more
// rows are stored inside one atomic mutation, so all of them or none are kept.
#include <set>

#include "query/statements/dispatch_internal.h"
#include "query/exec/executor.h"
#include "query/statements/insert_values.h"
#include "table/text.h"
#include "db/write_path.h"
#include "db/ddl.h"

namespace qm::db::dispatch {
namespace {

// Validates all rows, then stores them: one directly, several atomically. `each_row(f)`
// calls f on every row in order and stops at the first error; it is called twice (validate,
// then store), so the rows may be read from a compact form into one reused row each time.
template <class EachRow>
Result<QueryResult> store_rows(Database& db, const std::string& table, size_t count, EachRow&& each_row,
                               bool flush_single, Database::MutationScope& scope, QueryBudget* budget) {
  PendingUnique pending;
  QM_TRY(each_row([&](const Row& row) -> Result<void> {
    if (budget) QM_TRY(budget->materialize(row));
    return validate_insert_values(db, table, row, &pending, budget);
  }));
  if (budget) QM_TRY(budget->checkpoint());
  auto store = [&](Database& d) {
    return each_row([&](const Row& row) -> Result<void> {
      QM_TRY(insert_validated_base(d, table, row));
      return {};
    });
  };
  // A table with retrieval indexes needs a rollback boundary even for one row: its indexes
  // follow the row at the statement's end, and a failure there must take the row back.
  if (count <= 1 && !db.catalog().has_retrieval_index(table)) {
    QM_TRY(store(db));
    if (count != 0) QM_TRY(statement_written(db, table));
    if (flush_single && db.autoflush()) QM_TRY(db.flush());
  } else {
    QM_TRY(write_atomically(db, table, scope, [&](Database& d) -> Result<void> {
      QM_TRY(store(d));
      return statement_written(d, table);
    }));
  }
  return MutatedResult{count};
}

}  // namespace

Result<QueryResult> insert_row(Database& db, const sql::InsertRowStmt& stmt, QueryBudget* budget) {
  if (budget) {
    QM_TRY(budget->materialize(stmt.row));
    QM_TRY(budget->checkpoint());
  }
  QM_ASSIGN(auto scope, db.begin_mutation());
  QM_TRY(validate_insert_values(db, stmt.table, stmt.row, nullptr, budget));
  if (db.catalog().has_retrieval_index(stmt.table)) {
    QM_TRY(write_atomically(db, stmt.table, scope, [&](Database& d) -> Result<void> {
      QM_TRY(insert_validated_base(d, stmt.table, stmt.row));
      return statement_written(d, stmt.table);
    }));
    return MutatedResult{1};
  }
  QM_TRY(insert_validated_base(db, stmt.table, stmt.row));
  QM_TRY(statement_written(db, stmt.table));
  return MutatedResult{1};
}

Result<QueryResult> insert_rows(Database& db, sql::InsertRowsStmt stmt, QueryBudget* budget) {
  QM_ASSIGN(auto scope, db.begin_mutation());
  if (!db.catalog().contains(stmt.table)) return fail(QmError::table_not_found(stmt.table));
  Row row;
  auto each_row = [&](auto&& f) -> Result<void> {
    sql::PackedRows::Reader reader = stmt.rows.reader();
    while (reader.next(row)) QM_TRY(f(row));
    return {};
  };
  return store_rows(db, stmt.table, stmt.rows.size(), each_row, false, scope, budget);
}

Result<QueryResult> insert_with_targets(Database& db, const sql::InsertWithTargetsStmt& stmt, QueryBudget* budget) {
  QM_ASSIGN(auto scope, db.begin_mutation());
  const Table* table = db.catalog().find(stmt.table);
  if (!table) return fail(QmError::table_not_found(stmt.table));
  std::vector<Row> rows;
  rows.reserve(stmt.rows.size());
  for (const auto& values : stmt.rows) {
    QM_ASSIGN(Row row, normalize_insert_values(stmt.table, *table, stmt.columns, values));
    rows.push_back(std::move(row));
  }
  auto each_row = [&](auto&& f) -> Result<void> {
    for (const Row& row : rows) QM_TRY(f(row));
    return {};
  };
  return store_rows(db, stmt.table, rows.size(), each_row, true, scope, budget);
}

Result<QueryResult> create_index(Database& db, const sql::CreateIndexStmt& stmt, QueryBudget* budget) {
  if (stmt.unique) {
    QM_ASSIGN(RowsResult rows, select_filtered_bounded(db, stmt.table, nullptr, std::nullopt, budget));
    auto pos = db.catalog().find(stmt.table)->column_position(stmt.column);
    if (!pos) return fail(QmError::schema(str("no column `", stmt.column, "`")));
    // One ordered set of normal forms: SQL equality (Int n equals Decimal n.000000) in
    // n log n rather than comparing every value with every earlier one.
    std::set<Value> seen;
    for (const Row& row : rows.rows) {
      const Value& v = row[*pos];
      if (v.is_null()) continue;
      if (!seen.insert(unique_key(v)).second)
        return fail(QmError::schema(str("cannot create unique index: duplicate value in `", stmt.column, "`")));
    }
  }
  // The column joins the unique set inside the build, so the one flush at its end stores both.
  QM_TRY(create_index_bounded(db, stmt.table, stmt.column, budget, stmt.unique));
  return DoneResult{};
}

}  // namespace qm::db::dispatch
