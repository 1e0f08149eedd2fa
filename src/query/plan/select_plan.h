// SelectPlan: the row path of a SELECT over one table, chosen once, in a fixed order; the
// executor (query/statements/select.cc) runs it and EXPLAIN (explain_plan.cc) prints it.
// Which index narrows the WHERE is not part of the plan, and there the two differ: for a
// WHERE that is an AND over two or more indexed columns, the executor counts each indexed
// column's candidates at run time and reads through the index with fewer (index_candidates
// in index_plan.h), while EXPLAIN names the first indexed condition from the left.
//   count      COUNT(*) alone with nothing else: visible envelopes are counted, no row body
//              is decoded;
//   ordered    no grouping, WHERE or DISTINCT and one ORDER BY key with an index: the index
//              is read in key order, stopping after OFFSET + LIMIT rows when a LIMIT is given;
//   grouped    GROUP BY, HAVING or an aggregate: with WHERE or HAVING the filtered rows are
//              grouped; without both the table is folded in one pass (streaming aggregate);
//   rows       everything else: streamed into the OFFSET..LIMIT window when the statement has
//              neither ORDER BY nor DISTINCT (and its select list is plain columns), else the
//              first `top_n` rows of the sort kept while reading (ORDER BY with a small LIMIT,
//              no DISTINCT and no budget), else the filtered read and the projection tail.
#pragma once

#include <cstdint>
#include <optional>

#include "sql/statement.h"
#include "table/table.h"

namespace qm::db {

struct SelectPlan {
  enum class Path : uint8_t { Count, Ordered, Grouped, Rows };
  Path path = Path::Rows;
  const sql::OrderBy* order_key = nullptr;  // ordered: the one ORDER BY key
  std::optional<uint64_t> stop;                // ordered: rows read at most (OFFSET + LIMIT)
  bool streaming_aggregate = false;            // grouped: one pass without WHERE or HAVING
  bool try_streamed = false;                   // rows: no ORDER BY, no DISTINCT
  std::optional<uint64_t> top_n;               // rows: the sort keeps this many while reading
};

// `table` is the statement's table (none when it does not exist: the read reports that);
// `budgeted` is whether a budget counts the statement's work (a top-N read is unbudgeted).
SelectPlan plan_select(const Table* table, const sql::SelectSingleStmt& stmt, bool budgeted);

}  // namespace qm::db
