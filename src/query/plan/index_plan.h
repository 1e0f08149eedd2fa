// Index candidate planning: whether a table's secondary indexes can narrow the rows a WHERE
// predicate must read, and if so which row ids to read. The answer is either "scan" or a
// list of candidates that is a superset of the rows the predicate can accept; the caller
// reads each and evaluates the whole predicate again, so planning may over-approximate
// but never drop a match.
//
// Ranges are over the kind-first Value order, which never compares an Int with a Decimal;
// SQL's numeric equality is recovered by giving a numeric literal one range per numeric
// kind. That arithmetic is done in 128 bits and clamped to the i64 range only at the end,
// so literals at the i64 extremes cannot overflow.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "table/table.h"
#include "table/query_budget.h"
#include "sql/statement.h"
#include "storage/secondary_index.h"

namespace qm::db {

using RangeList = std::vector<storage::KeyRange>;

// The ranges of keys a comparison with a literal can accept; none when the comparison is
// not indexable (<>, LIKE, NOT LIKE); an empty list when it can accept nothing (= NULL).
std::optional<RangeList> comparison_ranges(sql::CompareOp op, const Value& literal);

// The intersection of two ranges; none when it is empty.
std::optional<storage::KeyRange> intersect_range(const storage::KeyRange& a, const storage::KeyRange& b);

struct ColumnRanges {
  std::string column;
  RangeList ranges;
};
// The (column, ranges) entries of the comparisons and non-negated BETWEENs reachable
// through AND only, left to right.
void collect_ranges(const sql::Predicate& predicate, std::vector<ColumnRanges>& out);

// The ids under a key followed by those under its numeric twin (Int n and Decimal
// n * 1,000,000), reserved against the budget before they are copied.
Result<std::vector<uint64_t>> index_equality_candidates(const storage::SecondaryIndex& index, const Value& key,
                                                        QueryBudget* budget);

// Candidates for a WHERE predicate, or none for "scan the table".
Result<std::optional<std::vector<uint64_t>>> index_candidates(const IndexMap& indexes,
                                                              const sql::Predicate& predicate,
                                                              QueryBudget* budget);

}  // namespace qm::db
