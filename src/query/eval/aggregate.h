// The running state of one aggregate (COUNT, SUM, MIN, MAX, AVG) and the budget charge
// of a new group. Sums are 128 bits wide and checked: Int inputs alone can only fail at
// the end, when SUM has to fit an i64. AVG is always a Decimal, rounded half away from
// zero. NULL inputs are ignored by every function. MIN and MAX compare an Int with a
// Decimal numerically and every other pair kind first; a tie keeps the earlier value.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

#include "core/error.h"
#include "core/int128.h"
#include "core/value.h"
#include "table/query_budget.h"
#include "sql/statement.h"

namespace qm::db::aggregate {

struct Accumulator {
  std::optional<Value> extreme;
  u128 count = 0;
  i128 integer_sum = 0;
  i128 decimal_sum = 0;  // millionths
  bool decimal_seen = false;

  // `value` is null only for COUNT(*).
  Result<void> add(sql::AggregateFunction function, const Value* value);
  Result<Value> finish(sql::AggregateFunction function) const;
};

// With a budget: the key as a row ("materialized more than {} bytes"), then 96 bytes per
// accumulator ("aggregate groups exceed materialization budget"), then cancel and
// deadline. Without one, nothing.
Result<void> charge_group(QueryBudget* budget, std::span<const Value> key, size_t accumulators);

// "SUM" or "AVG" etc., as the error texts name the functions.
const char* function_word(sql::AggregateFunction function);

}  // namespace qm::db::aggregate
