// Planning the general SELECT form (an aliased FROM table and a left-deep chain of INNER
// and LEFT equality joins) without reading a row: the qualified column names of joined
// rows, the part of the WHERE the driving relation can apply while it is scanned, the
// resolution of each ON equality to positions, and the whole validated plan that both
// execution and EXPLAIN follow, so that the two fail on the same statements with the
// same errors and report the same access choices.
//
// Invariants of a `JoinPlan`: every table it names exists and is borrowed from the
// catalog it was built from (the plan must not outlive a change to it); `names` holds
// the driving relation's qualified names followed by each joined relation's, in join
// order; each join's key positions lie inside the rows built so far and inside its right
// table's columns; the WHERE's column references all resolve against `names`.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.h"
#include "table/table.h"
#include "sql/statement.h"

namespace qm::db {

// "{qualifier}.{column}" for every column, in order.
std::vector<std::string> qualified_names(std::string_view qualifier, std::span<const std::string> columns);

// The part of a WHERE that names only "{qualifier}.column" columns, renamed to the bare
// column names of the driving table; none when nothing of it can be decided by the
// driving relation alone. AND keeps whichever sides qualify; OR qualifies only when both
// sides do. The result only drops rows the full WHERE would drop, since a conjunct that is
// not true makes the whole AND not true.
std::optional<sql::Predicate> source_predicate(const sql::Predicate& predicate, std::string_view qualifier);

// Positions of an ON equality's columns: (among the earlier columns, among the joined
// relation's columns), whichever order the operands were written in. A reference that
// matches several columns of a list is Schema "ambiguous join column `{}`"; no pairing is
// Schema "JOIN ON must compare one column from the joined relation with one earlier
// column; could not resolve `{} = {}`".
Result<std::pair<size_t, size_t>> resolve_join_keys(std::span<const std::string> earlier,
                                                    std::span<const std::string> joined, std::string_view left,
                                                    std::string_view right);

// GROUP BY, HAVING or an aggregate in the select list.
bool is_grouped(const sql::SelectBody& body);

struct JoinStep {
  const sql::JoinClause* clause = nullptr;
  const Table* table = nullptr;
  size_t left_pos = 0;   // key position in the rows built so far
  size_t right_pos = 0;  // key position in the right table's columns
  bool indexed = false;  // the right table has a secondary index on its key column
  const std::string& right_column() const { return table->columns[right_pos]; }
};

struct JoinPlan {
  const Table* driving = nullptr;
  std::optional<sql::Predicate> source;  // pushed to the driving table's row source
  std::vector<JoinStep> joins;
  std::vector<std::string> names;  // qualified names of the joined rows
};

// Looks up every table (TableNotFound, in statement order), resolves every ON equality,
// extracts the driving-relation predicate and checks the WHERE's columns against the
// joined names.
Result<JoinPlan> plan_join(const TableMap& tables, const sql::SelectStmt& stmt);

}  // namespace qm::db
