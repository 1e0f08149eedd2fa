// A single-row INSERT whose VALUES list is exactly its placeholders, in order, as in
// "INSERT INTO t VALUES (?, ?, ?)" or "INSERT INTO t (a, b) VALUES (?, ?)". Binding writes
// each value as a literal that the lexer reads back as one token of the same value, so
// for such a statement parse(bind_params(sql, values)) is the statement parsed once with
// the values put in the VALUES list; a write batch builds it that way instead of binding
// and parsing the text again for every row.
//
// Invariant: recognise() accepts a text only when the tokens of its text bound with NULLs
// end in "VALUES ( NULL , ... , NULL ) ;*" with each NULL starting exactly where binding put
// the literal of the placeholder of the same rank, so no placeholder is anywhere else and
// no value position holds anything but a placeholder.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "core/value.h"
#include "sql/statement.h"

namespace qm::sql {

class InsertTemplate {
 public:
  // The template of `sql` when it has that shape (and at least one placeholder), else none.
  static std::optional<InsertTemplate> recognise(std::string_view sql);

  // parse(bind_params(sql, values)) for `parameter_count()` values; none when a value is a
  // Blob, which binding refuses (the caller binds the text to get that error).
  std::optional<Statement> bind(std::span<const Value> values) const;

  size_t parameter_count() const { return count_; }

 private:
  InsertTemplate(Statement statement, size_t count) : statement_(std::move(statement)), count_(count) {}

  Statement statement_;  // parsed with every placeholder bound to NULL
  size_t count_ = 0;
};

}  // namespace qm::sql
