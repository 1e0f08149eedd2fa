// The statement executor's operations over one database: the row sources, the write
// statements' row work, joins and the streaming aggregate. They are free functions
// over Database's narrow interface (its catalog, store, clock and write path), so the
// executor holds no state of its own and the database knows nothing of SQL forms.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/query_result.h"
#include "db/database.h"
#include "table/query_budget.h"
#include "query/exec/exec_types.h"
#include "sql/statement.h"

namespace qm::db {

// ---- row sources (row_sources.cc); a snapshot of none reads at the current clock --------
Result<uint64_t> count_visible(Database& db, std::string_view table, std::optional<uint64_t> snapshot,
                               QueryBudget* budget);
Result<RowsResult> select_filtered_bounded(Database& db, std::string_view table, const sql::Predicate* where,
                                           std::optional<uint64_t> snapshot, QueryBudget* budget);
// The first k rows (k >= 1) of select_filtered_bounded's rows stably sorted by `order_by`,
// in that order, keeping only k rows while reading; without a budget. When an ORDER BY
// column is unknown it returns every row unsorted, as select_filtered_bounded does, so the
// caller's sort reports the error after the read, as it would have.
Result<RowsResult> select_filtered_top_n(Database& db, std::string_view table, const sql::Predicate* where,
                                         std::optional<uint64_t> snapshot, std::span<const sql::OrderBy> order_by,
                                         uint64_t k);
Result<RowsResult> select_ordered_by_index(Database& db, std::string_view table, std::string_view column,
                                           bool descending, std::optional<uint64_t> snapshot,
                                           std::optional<uint64_t> stop, QueryBudget* budget);
Result<MatchedRows> collect_matching(Database& db, std::string_view table, const sql::Predicate& where,
                                     std::optional<uint64_t> snapshot, QueryBudget* budget);

// A SELECT without grouping, ORDER BY or DISTINCT whose select list is `*` or columns,
// streamed from the row source into the OFFSET..LIMIT window (streaming_select.cc); none
// when the statement is not of that shape (the general path then runs it).
Result<std::optional<RowsResult>> select_streamed(Database& db, const sql::SelectSingleStmt& stmt,
                                                  QueryBudget* budget);

// ---- writes (insert.cc, update_delete.cc) ----------------------------------------------
Result<void> validate_row_constraints(const Database& db, std::string_view table, std::span<const Value> row);
Result<void> validate_insert_values(Database& db, std::string_view table, std::span<const Value> row,
                                    PendingUnique* pending, QueryBudget* budget);
Result<uint64_t> update_where_bounded(Database& db, std::string_view table, std::string_view column,
                                      const Value& value, const sql::Predicate& where, QueryBudget* budget);
Result<uint64_t> delete_where_bounded(Database& db, std::string_view table, const sql::Predicate& where,
                                      QueryBudget* budget);
// Retires the matched versions with one new clock value, through the write path.
Result<uint64_t> apply_deletes(Database& db, std::string_view table, const MatchedRows& matches);

// ---- joins and streaming aggregation (select_join.cc, streaming_scan.cc) ------------------------------
// A SELECT with an aliased FROM table or joins: the joined rows (columns named
// "{qualifier}.{column}"), the full WHERE, then the projection, grouping and tail.
Result<RowsResult> select_join(Database& db, const sql::SelectStmt& stmt, QueryBudget* budget);
// A grouped single-table SELECT without WHERE or HAVING, folded in one pass over the
// table; memory grows with the groups, not the rows.
Result<RowsResult> select_streaming_aggregate(Database& db, std::string_view table, std::optional<uint64_t> snapshot,
                                              std::vector<sql::SelectItem> items,
                                              std::span<const std::string> group_by,
                                              std::span<const sql::OrderBy> order_by, bool distinct,
                                              std::optional<uint64_t> limit, uint64_t offset, QueryBudget* budget);

}  // namespace qm::db
