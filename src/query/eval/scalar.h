// Scalar expressions of a select list: column references, literals, the scalar
// functions (LOWER, UPPER, TRIM, LENGTH, ABS, COALESCE, NULLIF) and CASE, evaluated for
// one row; and the label that names an unaliased expression's output column. Text case
// mapping is ICU's full mapping in the root locale (lengths may change: "ß" upper-cases
// to "SS"); TRIM strips characters with the Unicode White_Space property.
#pragma once

#include <span>
#include <string>

#include "core/error.h"
#include "core/value.h"
#include "sql/statement.h"

namespace qm::db {

Result<Value> eval_scalar(const sql::ScalarExpr& expr, std::span<const std::string> names,
                          std::span<const Value> row);

// A function applied to its evaluated arguments (COALESCE included: the first non-Null).
// The argument counts are the parser's: one for LOWER..ABS, two for NULLIF, at least one
// for COALESCE.
Result<Value> eval_scalar_function(sql::ScalarFunction function, std::span<const Value> args);

// "lower(name)", "coalesce(a,b,0)", a literal's display text, "case", a column as written.
std::string scalar_label(const sql::ScalarExpr& expr);

// The lower-case label name of a function: "lower", "upper", ...
const char* function_label(sql::ScalarFunction function);

// The Unicode helpers behind the text functions, on UTF-8 text.
std::string text_lower(std::string_view text);
std::string text_upper(std::string_view text);
std::string_view text_trim(std::string_view text);
// Count of characters (lead bytes), which is the count of scalar values of valid UTF-8.
uint64_t text_length(std::string_view text);

}  // namespace qm::db
