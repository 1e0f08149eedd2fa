// How SQL compares two values. Two orders exist: the kind-first total order of Value
// (`cmp_values`: ORDER BY, group keys, DISTINCT; Int 5 and Decimal 5.000000 differ) and
// the numeric order (`numeric_cmp`: WHERE comparisons, MIN and MAX), which compares an
// Int with a Decimal by scaling the Int by 1,000,000 in 128 bits; an i64 times 10^6 is
// below 2^84, so the scaling can never overflow. Nothing here allocates.
#pragma once

#include <compare>

#include "core/value.h"
#include "table/limits.h"
#include "sql/statement.h"

namespace qm::db {


// The kind-first total order.
inline std::strong_ordering cmp_values(const Value& a, const Value& b) { return compare(a, b); }

// Int against Decimal numerically, every other pair by `cmp_values`.
inline std::strong_ordering numeric_cmp(const Value& a, const Value& b) {
  if (a.is_int() && b.is_decimal()) return static_cast<i128>(a.as_int()) * kDecimalScale <=> b.as_decimal();
  if (a.is_decimal() && b.is_int()) return a.as_decimal() <=> static_cast<i128>(b.as_int()) * kDecimalScale;
  return compare(a, b);
}

// SQL equality: Int n equals Decimal n * 1,000,000; otherwise same kind and content.
// Null equals Null here; callers that need "NULL equals nothing" test for Null first.
bool values_equal(const Value& a, const Value& b);

// A comparison of the row's value (left) with a literal (right). Null on either side is
// false; LIKE and NOT LIKE are false unless both sides are Text.
bool eval_compare(const Value& left, sql::CompareOp op, const Value& right);

}  // namespace qm::db
