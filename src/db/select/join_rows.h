// The row work of one equality join, apart from reading tables: join-key matching, the
// distinct left keys, the choice between probing the right table's index and building
// the right input, the ordered map of right rows and the joined output rows.
//
// Join keys match after normalisation: an Int n is the Decimal n * 1,000,000, so Int 3
// and Decimal 3.000000 match, while Decimal, Text and Blob keys match only their own kind
// with equal content (Text '2' never matches Int 2). NULL keys never match. Keys are
// compared in normalised form by `JoinKeyLess` without building the normalised value, so
// looking a key up copies nothing; a map keeps the first representation it was given.
//
// Output order: the left rows in their order; for each, its matches in the right map's
// order (insertion order per key); a LEFT join's padded row stands where its left row
// stands. Left rows are consumed: a row's last output takes its values instead of a copy.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "db/exec/query_budget.h"
#include "engine/statement.h"

namespace qm::db::join {

// The order of normalised keys (Int as Decimal), the kind-first value order otherwise.
std::strong_ordering compare_keys(const Value& a, const Value& b);

// The normalised key itself: Int n becomes Decimal n * 1,000,000, others stay.
Value normalize_key(const Value& v);

struct JoinKeyLess {
  using is_transparent = void;
  bool operator()(const Value& a, const Value& b) const { return compare_keys(a, b) < 0; }
};

using KeySet = std::set<Value, JoinKeyLess>;
using RightMap = std::map<Value, std::vector<Row>, JoinKeyLess>;

// Whether to probe the right table's index once per distinct left key rather than read
// the whole right table: always with a budget (it bounds the work of selective joins),
// otherwise only while 4 probes per stored right row version are not exceeded.
bool prefer_probe(uint64_t distinct_keys, uint64_t right_row_versions, bool budgeted);

// Every non-NULL left key, charged (liveness, then "join probe keys" bytes) one by one,
// repeats included; the set of their normalised forms when `collect` is set.
Result<KeySet> distinct_left_keys(std::span<const Row> left, size_t pos, QueryBudget* budget, bool collect);

// Appends right rows under their keys, in order; rows with a NULL key are dropped.
void add_right_rows(RightMap& map, std::vector<Row> rows, size_t pos);

// The joined rows: for each left row, one row per match (left values then right values);
// unmatched or NULL-keyed left rows are padded with NULLs in a LEFT join and dropped in
// an INNER one. Every output row is charged as materialised.
Result<std::vector<Row>> join_rows(std::vector<Row> left, size_t left_pos, const RightMap& right,
                                   size_t right_width, query::JoinKind kind, QueryBudget* budget);

}  // namespace qm::db::join
