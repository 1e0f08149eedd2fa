// The statement parsers behind sql::parse, shared between the parser's files. Each
// takes the cursor positioned after the words its statement was recognised by and returns
// its tree or the first positioned error; none consumes anything after its statement.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "core/error.h"
#include "sql/cursor.h"
#include "sql/statement.h"

namespace qm::sql {

// Nesting of scalar expressions (function arguments, CASE results) a select item may reach.
inline constexpr size_t kMaxScalarDepth = 64;

// After SELECT.
Result<Statement> parse_select(Cursor& c);
// After CREATE.
Result<Statement> parse_create(Cursor& c);
// After CREATE INDEX, when the next word is not ON.
Result<Statement> parse_retrieval_index(Cursor& c);
// After INSERT, UPDATE, DELETE and DROP respectively.
Result<Statement> parse_insert(Cursor& c);
Result<Statement> parse_update(Cursor& c);
Result<Statement> parse_delete(Cursor& c);
Result<Statement> parse_drop(Cursor& c);

// Conditions: the OR level, entry of every WHERE, CHECK and CASE condition.
Result<Predicate> parse_predicate(Cursor& c);
Result<HavingPred> parse_having(Cursor& c);
Result<ScalarExpr> parse_scalar_expr_at_depth(Cursor& c, size_t depth);

struct AggregateCall {
  AggregateFunction function = AggregateFunction::Count;
  std::optional<std::string> column;  // absent only for COUNT(*)
};
Result<AggregateCall> parse_aggregate(Cursor& c);
// COUNT, SUM, MIN, MAX, AVG in any ASCII case.
std::optional<AggregateFunction> agg_func(std::string_view word);

// The word in ASCII upper case, for messages that quote it so.
std::string ascii_upper(std::string_view word);

// Lists checked for repeated names (table columns, INSERT targets, join qualifiers) are
// scanned while short and hashed from this length on, so a hostile list of a hundred
// thousand names costs linear time, not quadratic.
inline constexpr size_t kHashedFrom = 16;

// Whether `name` equals the name of an entry of `list` (the entries so far; the caller
// appends the new entry when the answer is no). `hashed` belongs to the list: it is filled
// here once the list is long, and kept in step with it by each later call.
template <class List, class NameOf>
bool repeats(const List& list, const std::string& name, std::unordered_set<std::string>& hashed, NameOf name_of) {
  if (list.size() < kHashedFrom) {
    for (const auto& entry : list)
      if (name_of(entry) == name) return true;
    return false;
  }
  if (hashed.empty())
    for (const auto& entry : list) hashed.insert(name_of(entry));
  return !hashed.insert(name).second;
}

}  // namespace qm::sql
