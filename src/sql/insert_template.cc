#include "sql/insert_template.h"

#include <vector>

#include "sql/cursor.h"
#include "sql/lexer.h"
#include "sql/params.h"
#include "sql/parser.h"

namespace qm::sql {
namespace {

// The VALUES list of a one-row INSERT, when every item is a value (no DEFAULT).
std::vector<Value>* plain_values(Statement& s) {
  if (auto* row = std::get_if<InsertRowStmt>(&s.node)) return &row->row;
  return nullptr;
}

bool one_row_of_values(const InsertWithTargetsStmt& s, size_t n) {
  if (s.rows.size() != 1 || s.rows[0].size() != n) return false;
  for (const InsertValue& v : s.rows[0])
    if (!std::holds_alternative<Value>(v)) return false;
  return true;
}

// The tokens end in VALUES ( v1 , ... , vn ) ;* with vi the NULL bound at offsets[i].
bool values_are_the_placeholders(std::string_view bound, const std::vector<Token>& tokens,
                                 const std::vector<size_t>& offsets) {
  size_t end = tokens.size();
  while (end > 0 && tokens[end - 1].kind == Tok::Semicolon) --end;
  const size_t n = offsets.size();
  // "VALUES" "(" then n values with n - 1 commas, then ")".
  if (n == 0 || end < 2 * n + 2) return false;
  size_t i = end - (2 * n + 2);
  if (tokens[i].kind != Tok::Word || !keyword_equals(tokens[i].raw, "values")) return false;
  if (tokens[i + 1].kind != Tok::LParen || tokens[end - 1].kind != Tok::RParen) return false;
  for (size_t k = 0; k < n; ++k) {
    const Token& v = tokens[i + 2 + 2 * k];
    if (v.kind != Tok::Word || v.raw != "NULL" || static_cast<size_t>(v.raw.data() - bound.data()) != offsets[k])
      return false;
    const Token& sep = tokens[i + 3 + 2 * k];
    if (sep.kind != (k + 1 < n ? Tok::Comma : Tok::RParen)) return false;
  }
  return true;
}

}  // namespace

std::optional<InsertTemplate> InsertTemplate::recognise(std::string_view sql) {
  const size_t n = sql::parameter_count(sql);
  if (n == 0) return std::nullopt;
  const std::vector<Value> nulls(n);
  std::vector<size_t> offsets;
  auto bound = bind_params(sql, nulls, offsets);
  if (!bound || offsets.size() != n) return std::nullopt;
  auto statement = parse(*bound);
  if (!statement) return std::nullopt;
  if (auto* row = plain_values(*statement)) {
    if (row->size() != n) return std::nullopt;
  } else if (auto* targets = std::get_if<InsertWithTargetsStmt>(&statement->node)) {
    if (!one_row_of_values(*targets, n)) return std::nullopt;
  } else {
    return std::nullopt;
  }
  std::vector<Token> tokens;
  if (!lex(*bound, tokens)) return std::nullopt;
  if (!values_are_the_placeholders(*bound, tokens, offsets)) return std::nullopt;
  return InsertTemplate(std::move(*statement), n);
}

std::optional<Statement> InsertTemplate::bind(std::span<const Value> values) const {
  if (values.size() != count_) return std::nullopt;
  for (const Value& v : values)
    if (v.is_blob()) return std::nullopt;
  Statement out = statement_;
  if (auto* row = plain_values(out)) {
    row->assign(values.begin(), values.end());
  } else {
    auto& items = std::get<InsertWithTargetsStmt>(out.node).rows[0];
    for (size_t i = 0; i < count_; ++i) items[i] = values[i];
  }
  return out;
}

}  // namespace qm::sql
