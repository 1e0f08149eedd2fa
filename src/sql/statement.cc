#include "sql/statement.h"

namespace qm::sql {

const char* label_word(AggregateFunction f) {
  switch (f) {
    case AggregateFunction::Count: return "count";
    case AggregateFunction::Sum: return "sum";
    case AggregateFunction::Min: return "min";
    case AggregateFunction::Max: return "max";
    case AggregateFunction::Avg: return "avg";
  }
  return "count";
}

std::string agg_label(AggregateFunction f, const std::optional<std::string>& column) {
  if (!column) return label_word(f);
  return std::string(label_word(f)) + "(" + *column + ")";
}

const char* sql_name(ScalarFunction f) {
  switch (f) {
    case ScalarFunction::Lower: return "LOWER";
    case ScalarFunction::Upper: return "UPPER";
    case ScalarFunction::Trim: return "TRIM";
    case ScalarFunction::Length: return "LENGTH";
    case ScalarFunction::Abs: return "ABS";
    case ScalarFunction::Coalesce: return "COALESCE";
    case ScalarFunction::Nullif: return "NULLIF";
  }
  return "?";
}

}  // namespace qm::sql
