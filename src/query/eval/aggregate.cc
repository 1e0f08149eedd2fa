#include "query/eval/aggregate.h"

#include <string>

#include "query/eval/value_compare.h"

namespace qm::db::aggregate {
namespace {

using sql::AggregateFunction;

// integer_sum * 10^6 + decimal_sum, or nothing on 128-bit overflow.
std::optional<i128> total_millionths(const Accumulator& a) {
  // Bounds test instead of a 128-bit multiply-overflow builtin, which needs a runtime
  // helper some toolchains lack.
  constexpr i128 limit = kI128Max / kDecimalScale;
  if (a.integer_sum > limit || a.integer_sum < -limit) return std::nullopt;
  i128 scaled = a.integer_sum * kDecimalScale, total;
  if (__builtin_add_overflow(scaled, a.decimal_sum, &total)) return std::nullopt;
  return total;
}

}  // namespace

const char* function_word(AggregateFunction function) {
  switch (function) {
    case AggregateFunction::Count: return "COUNT";
    case AggregateFunction::Sum: return "SUM";
    case AggregateFunction::Min: return "MIN";
    case AggregateFunction::Max: return "MAX";
    case AggregateFunction::Avg: return "AVG";
  }
  return "?";
}

Result<void> Accumulator::add(AggregateFunction function, const Value* value) {
  if (!value) {
    if (function != AggregateFunction::Count) return fail(QmError::query("non-COUNT aggregates require a column"));
    ++count;
    return {};
  }
  if (value->is_null()) return {};
  switch (function) {
    case AggregateFunction::Count: ++count; return {};
    case AggregateFunction::Min:
    case AggregateFunction::Max: {
      if (!extreme) {
        extreme = *value;
        return {};
      }
      auto c = numeric_cmp(*value, *extreme);
      if (function == AggregateFunction::Min ? c < 0 : c > 0) extreme = *value;
      return {};
    }
    case AggregateFunction::Sum:
    case AggregateFunction::Avg: {
      const char* word = function_word(function);
      bool overflow;
      if (value->is_int()) {
        overflow = __builtin_add_overflow(integer_sum, static_cast<i128>(value->as_int()), &integer_sum);
      } else if (value->is_decimal()) {
        overflow = __builtin_add_overflow(decimal_sum, value->as_decimal(), &decimal_sum);
        decimal_seen = true;
      } else {
        return fail(QmError::schema(std::string(word) + " requires numeric values, found " + debug(*value)));
      }
      if (overflow) return fail(QmError::schema(std::string(word) + " overflowed"));
      ++count;
      return {};
    }
  }
  return {};
}

Result<Value> Accumulator::finish(AggregateFunction function) const {
  switch (function) {
    case AggregateFunction::Count:
      // A group cannot hold 2^63 rows; clamp rather than wrap if it somehow did.
      return Value::integer(count > static_cast<u128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(count));
    case AggregateFunction::Min:
    case AggregateFunction::Max: return extreme ? *extreme : Value::null();
    case AggregateFunction::Sum: {
      if (count == 0) return Value::null();
      if (decimal_seen) {
        auto total = total_millionths(*this);
        if (!total) return fail(QmError::schema("numeric aggregate overflowed"));
        return Value::decimal(*total);
      }
      if (integer_sum < INT64_MIN || integer_sum > INT64_MAX) return fail(QmError::schema("SUM overflowed i64"));
      return Value::integer(static_cast<int64_t>(integer_sum));
    }
    case AggregateFunction::Avg: {
      if (count == 0) return Value::null();
      auto total = total_millionths(*this);
      if (!total) return fail(QmError::schema("numeric aggregate overflowed"));
      u128 magnitude = abs_u128(*total);
      u128 quotient = magnitude / count;
      u128 remainder = magnitude % count;
      if (remainder >= count - remainder) ++quotient;  // twice the remainder reaches the count
      u128 signed_bits = *total < 0 ? static_cast<u128>(0) - quotient : quotient;
      return Value::decimal(static_cast<i128>(signed_bits));
    }
  }
  return Value::null();
}

Result<void> charge_group(QueryBudget* budget, std::span<const Value> key, size_t accumulators) {
  if (!budget) return {};
  if (budget->add_bytes(row_charge(key))) {
    return fail(
        QmError::resource_limit("materialized more than " + std::to_string(budget->max_bytes) + " bytes"));
  }
  uint64_t per_group = accumulators > UINT64_MAX / 96 ? UINT64_MAX : static_cast<uint64_t>(accumulators) * 96;
  if (budget->add_bytes(per_group)) {
    return fail(QmError::resource_limit("aggregate groups exceed materialization budget"));
  }
  return budget->checkpoint();
}

}  // namespace qm::db::aggregate
