// Statement dispatch and the query entry points over a database. `execute_statement` is the one
// place where a parsed statement becomes work: it wraps every write of a logged workspace
// in a transaction of its own, then hands the statement to the operation of its kind. The
// dispatcher keeps no state between calls; it never rolls back an explicit transaction
// itself (the atomic operations below it do, when they fail part-way).
#include <map>
#include <type_traits>

#include "query/statements/statements.h"

#include "db/database.h"
#include "query/statements/dispatch_internal.h"
#include "query/exec/executor.h"
#include "table/text.h"
#include "sql/insert_template.h"
#include "sql/params.h"
#include "sql/parser.h"
#include "db/retrieval_ddl.h"
#include "db/ddl.h"

namespace qm::db {
namespace {

// Statements a logged workspace runs outside any implicit transaction: reads and the
// transaction statements themselves.
bool runs_unwrapped(const sql::Statement& s) {
  return std::holds_alternative<sql::ExplainStmt>(s.node) || std::holds_alternative<sql::BeginStmt>(s.node) ||
         std::holds_alternative<sql::CommitStmt>(s.node) || std::holds_alternative<sql::RollbackStmt>(s.node) ||
         std::holds_alternative<sql::SelectSingleStmt>(s.node) || std::holds_alternative<sql::SelectStmt>(s.node);
}

QueryResult done() { return DoneResult{}; }
QueryResult mutated(uint64_t n) { return MutatedResult{n}; }

struct Dispatch {
  Database& db;
  QueryBudget* budget;

  Result<QueryResult> operator()(sql::ExplainStmt& s) { return dispatch::explain(db, s, budget); }
  Result<QueryResult> operator()(sql::BeginStmt&) {
    QM_TRY(db.begin_transaction());
    return done();
  }
  Result<QueryResult> operator()(sql::CommitStmt&) {
    QM_TRY(db.commit_transaction());
    return done();
  }
  Result<QueryResult> operator()(sql::RollbackStmt&) {
    QM_TRY(db.rollback_transaction());
    return done();
  }
  Result<QueryResult> operator()(sql::CreateTableStmt& s) {
    QM_TRY(create_table(db, s.table, std::move(s.columns), std::move(s.unique_columns),
                                    std::move(s.not_null_columns), {}, {}));
    return done();
  }
  Result<QueryResult> operator()(sql::CreateTableIfNotExistsStmt& s) {
    if (db.catalog().contains(s.table)) return done();
    QM_TRY(create_table(db, s.table, std::move(s.columns), std::move(s.unique_columns),
                                            std::move(s.not_null_columns)));
    return done();
  }
  Result<QueryResult> operator()(sql::CreateTableWithConstraintsStmt& s) {
    if (s.if_not_exists && db.catalog().contains(s.table)) return done();
    std::vector<std::string> columns, unique, not_null;
    std::map<std::string, Value> defaults;
    for (sql::ColumnDefinition& c : s.columns) {
      if (c.unique) unique.push_back(c.name);
      if (c.not_null) not_null.push_back(c.name);
      if (c.default_value) defaults.emplace(c.name, std::move(*c.default_value));
      columns.push_back(std::move(c.name));
    }
    QM_TRY(create_table(db, s.table, std::move(columns), std::move(unique), std::move(not_null),
                                    std::move(defaults), std::move(s.checks)));
    return done();
  }
  Result<QueryResult> operator()(sql::InsertRowStmt& s) { return dispatch::insert_row(db, s, budget); }
  Result<QueryResult> operator()(sql::InsertRowsStmt& s) { return dispatch::insert_rows(db, std::move(s), budget); }
  Result<QueryResult> operator()(sql::InsertWithTargetsStmt& s) {
    return dispatch::insert_with_targets(db, s, budget);
  }
  Result<QueryResult> operator()(sql::CreateRetrievalIndexStmt& s) {
    auto existing = db.catalog().retrieval().find(s.definition.name);
    if (existing != db.catalog().retrieval().end()) {
      if (s.if_not_exists && existing->second.definition() == s.definition) return done();
      return fail(QmError::schema("conflicting named retrieval index"));
    }
    QM_TRY(create_retrieval_index(db, s.definition));
    return done();
  }
  Result<QueryResult> operator()(sql::DropRetrievalIndexStmt& s) {
    if (s.if_exists && !db.catalog().retrieval().contains(s.name)) return done();
    QM_TRY(drop_retrieval_index(db, s.name));
    return done();
  }
  Result<QueryResult> operator()(sql::CreateIndexStmt& s) { return dispatch::create_index(db, s, budget); }
  Result<QueryResult> operator()(sql::SelectSingleStmt& s) { return dispatch::select_single(db, s, budget); }
  Result<QueryResult> operator()(sql::SelectStmt& s) { return dispatch::select_general(db, s, budget); }
  Result<QueryResult> operator()(sql::UpdateSetStmt& s) {
    QM_ASSIGN(uint64_t n, update_where_bounded(db, s.table, s.column, s.value, s.predicate, budget));
    return mutated(n);
  }
  Result<QueryResult> operator()(sql::UpdateSetDefaultStmt& s) {
    const Table* table = db.catalog().find(s.table);
    if (!table) return fail(QmError::table_not_found(s.table));
    auto d = table->defaults.find(s.column);
    const Value value = d == table->defaults.end() ? Value::null() : d->second;
    QM_ASSIGN(uint64_t n, update_where_bounded(db, s.table, s.column, value, s.predicate, budget));
    return mutated(n);
  }
  Result<QueryResult> operator()(sql::DeleteStmt& s) {
    QM_ASSIGN(uint64_t n, delete_where_bounded(db, s.table, s.predicate, budget));
    return mutated(n);
  }
  Result<QueryResult> operator()(sql::DropTableStmt& s) {
    QM_TRY(drop_table(db, s.name));
    return done();
  }
  Result<QueryResult> operator()(sql::DropTableIfExistsStmt& s) {
    if (db.catalog().contains(s.name)) QM_TRY(drop_table(db, s.name));
    return done();
  }
};

bool is_write_batch_kind(const sql::Statement& s) {
  return std::holds_alternative<sql::InsertRowStmt>(s.node) ||
         std::holds_alternative<sql::InsertRowsStmt>(s.node) ||
         std::holds_alternative<sql::InsertWithTargetsStmt>(s.node) ||
         std::holds_alternative<sql::UpdateSetStmt>(s.node) ||
         std::holds_alternative<sql::UpdateSetDefaultStmt>(s.node) ||
         std::holds_alternative<sql::DeleteStmt>(s.node);
}

uint64_t affected_rows(const QueryResult& r) {
  if (auto* m = std::get_if<MutatedResult>(&r)) return m->count;
  return 0;
}

bool ends_or_begins_transaction(const sql::Statement& s) {
  return std::holds_alternative<sql::BeginStmt>(s.node) || std::holds_alternative<sql::CommitStmt>(s.node) ||
         std::holds_alternative<sql::RollbackStmt>(s.node);
}

}  // namespace

Result<QueryResult> execute_statement(Database& db, sql::Statement statement, QueryBudget* budget) {
  QM_TRY(db.refuse_unreadable());
  // Outside a transaction a workspace statement holds the transaction lock from its first read
  // to its last write (shared for reads): nothing it reads is another handle's unfinished work.
  Database::WorkspaceAccess access;
  if (db.directory() && !db.in_transaction() && !ends_or_begins_transaction(statement)) {
    const bool reads_only = runs_unwrapped(statement);
    QM_ASSIGN(access, db.enter_workspace(!reads_only));
  }
  if (db.logged() && !db.in_transaction() && !runs_unwrapped(statement))
    return db.transaction([&](Database& d) { return execute_statement(d, std::move(statement), budget); });
  return std::visit(Dispatch{db, budget}, statement.node);
}

Result<QueryResult> query_with(Database& db, std::string_view sql, std::span<const Value> params) {
  QM_ASSIGN(std::string bound, sql::bind_params(sql, params));
  QM_ASSIGN(sql::Statement statement, sql::parse(bound));
  return execute_statement(db, std::move(statement), nullptr);
}

Result<QueryResult> query_with_limits_cancellable(Database& db, std::string_view sql, std::span<const Value> params,
                                                  const QueryLimits& limits,
                                                  std::shared_ptr<std::atomic<bool>> cancel) {
  QM_ASSIGN(std::string bound, sql::bind_params(sql, params));
  QueryBudget budget(limits, std::move(cancel));
  QM_TRY(budget.checkpoint());
  QM_ASSIGN(sql::Statement statement, sql::parse(bound));
  QM_ASSIGN(QueryResult result, execute_statement(db, std::move(statement), &budget));
  if (auto* rows = std::get_if<RowsResult>(&result)) {
    QM_TRY(budget.checkpoint());
    if (rows->rows.size() > limits.max_result_rows)
      return fail(
          QmError::resource_limit(str("result has more than ", limits.max_result_rows, " rows; add or lower LIMIT")));
  }
  return result;
}

Result<PreparedStatement> prepare(std::string_view sql) {
  PreparedStatement prepared{std::string(sql), sql::parameter_count(sql)};
  const std::vector<Value> nulls(prepared.parameter_count);
  QM_ASSIGN(std::string bound, sql::bind_params(sql, nulls));
  QM_TRY(sql::parse(bound));
  return prepared;
}

Result<uint64_t> execute_many(Database& db, std::string_view sql, ParamSets& sets) {
  QM_ASSIGN(PreparedStatement prepared, prepare(sql));
  {
    const std::vector<Value> nulls(prepared.parameter_count);
    QM_ASSIGN(std::string bound, sql::bind_params(sql, nulls));
    QM_ASSIGN(sql::Statement probe, sql::parse(bound));
    if (!is_write_batch_kind(probe)) return fail(QmError::query("execute_many expects INSERT, UPDATE or DELETE"));
  }
  if (db.in_transaction())
    return fail(QmError::transaction("execute_many owns its transaction; call it outside an active transaction"));
  const size_t count = sets.size();
  for (size_t i = 0; i < count; ++i)
    if (sets.length(i) != prepared.parameter_count)
      return fail(
          QmError::schema(str("batch row expects ", prepared.parameter_count, " parameters, got ", sets.length(i))));
  if (count == 0) return 0;
  // A one-row INSERT of placeholders only is parsed once; each set fills its VALUES list,
  // which is the statement binding and parsing the text would give.
  const std::optional<sql::InsertTemplate> insert = sql::InsertTemplate::recognise(prepared.sql);
  return db.transaction([&](Database& d) -> Result<uint64_t> {
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
      const std::span<const Value> set = sets.next();
      std::optional<sql::Statement> direct;
      if (insert) direct = insert->bind(set);
      QM_ASSIGN(QueryResult result, direct ? execute_statement(d, std::move(*direct), nullptr)
                                           : query_with(d, prepared.sql, set));
      const uint64_t n = affected_rows(result);
      if (total + n < total) return fail(QmError::resource_limit("batch affected-row count overflow"));
      total += n;
    }
    return total;
  });
}

}  // namespace qm::db
