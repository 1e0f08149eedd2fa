// Hand-built syntax trees and values for the evaluation tests.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "sql/statement.h"
#include "support/result_text.h"

namespace qm {
// Readable values in assertion failures.
inline void PrintTo(const Value& v, std::ostream* os) { *os << debug(v); }
}  // namespace qm

namespace qm::db::testing {

using namespace qm::sql;

inline Value I(int64_t v) { return Value::integer(v); }
inline Value D(i128 millionths) { return Value::decimal(millionths); }
inline Value T(const char* s) { return Value::text(s); }
inline Value N() { return Value::null(); }
inline Value B(std::string bytes) { return Value::blob(std::move(bytes)); }

inline Predicate cmp(std::string col, CompareOp op, Value v) {
  return Predicate{ComparePred{std::move(col), op, std::move(v)}};
}
inline Predicate in(std::string col, std::vector<Value> vs, bool negated = false) {
  return Predicate{InPred{std::move(col), std::move(vs), negated}};
}
inline Predicate between(std::string col, Value lo, Value hi, bool negated = false) {
  return Predicate{BetweenPred{std::move(col), std::move(lo), std::move(hi), negated}};
}
inline Predicate is_null(std::string col, bool negated = false) { return Predicate{IsNullPred{std::move(col), negated}}; }
inline Predicate and_(Predicate l, Predicate r) { return Predicate{AndPred{std::move(l), std::move(r)}}; }
inline Predicate or_(Predicate l, Predicate r) { return Predicate{OrPred{std::move(l), std::move(r)}}; }

inline ScalarExpr lit(Value v) { return ScalarExpr{ScalarLiteral{std::move(v)}}; }
inline ScalarExpr call(ScalarFunction f, std::vector<ScalarExpr> args) {
  return ScalarExpr{ScalarCall{f, std::move(args)}};
}

inline SelectItem item_col(std::string c, std::optional<std::string> alias = std::nullopt) {
  return SelectItem{SelectColumn{std::move(c)}, std::move(alias)};
}
inline SelectItem item_agg(AggregateFunction f, std::optional<std::string> c,
                           std::optional<std::string> alias = std::nullopt) {
  return SelectItem{SelectAggregate{f, std::move(c)}, std::move(alias)};
}

// The host-visible text of a failed result, or "(ok)".
template <class T>
std::string err(const Result<T>& r) { return error_text(r); }

}  // namespace qm::db::testing
