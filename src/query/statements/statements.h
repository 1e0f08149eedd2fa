// The statement entry points: SQL text or a parsed statement run against one database. They
// are free functions over Database's face (its session, transactions, catalog and write
// path); the database itself knows nothing of SQL forms. Outside a transaction every
// statement is atomic by itself; inside one, a failing statement rolls the whole
// transaction back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/param_sets.h"
#include "core/error.h"
#include "core/query_result.h"
#include "db/database.h"
#include "migrate/import_report.h"
#include "query/exec/exec_types.h"
#include "sql/statement.h"
#include "table/query_budget.h"

namespace qm::db {

// Runs one parsed statement (atomic by itself outside a transaction, joining an explicit
// one); `budget` bounds its work when given.
Result<QueryResult> execute_statement(Database& db, sql::Statement statement, QueryBudget* budget);
// Binds the values into the text as literals, parses and runs it without a budget.
Result<QueryResult> query_with(Database& db, std::string_view sql, std::span<const Value> params);
Result<QueryResult> query_with_limits_cancellable(Database& db, std::string_view sql, std::span<const Value> params,
                                                  const QueryLimits& limits,
                                                  std::shared_ptr<std::atomic<bool>> cancel);
// Counts the placeholders and proves the text parses; keeps the text, not the tree.
Result<PreparedStatement> prepare(std::string_view sql);
// One INSERT, UPDATE or DELETE run once per parameter set, all in one transaction.
Result<uint64_t> execute_many(Database& db, std::string_view sql, ParamSets& sets);
// Splits a foreign SQL dump, then rewrites, skips or runs each statement as the host would send it.
migrate::ImportReport import_sql(Database& db, std::string_view dump);
// One retrieval request (JSON) under the caller's limits, lowered to the retrieval caps; its
// one SELECT runs through the budgeted query path.
Result<std::string> retrieve_json_controlled(Database& db, std::string_view request, const QueryLimits& limits,
                                             std::shared_ptr<std::atomic<bool>> cancel,
                                             std::optional<uint64_t> pinned_reader);

}  // namespace qm::db
