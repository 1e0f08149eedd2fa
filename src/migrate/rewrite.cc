// Statement rewriting and skipping; see rewrite.h.
#include "migrate/rewrite.h"

#include <array>
#include <utility>
#include <vector>

#include "migrate/dump_text.h"

namespace qm::migrate {
namespace {

constexpr std::string_view kTransactions = "transactions not supported";
constexpr std::string_view kTriggers = "triggers not supported";

// Checked in order; a plain prefix test on the ASCII upper-cased statement, so "ALTERX"
// matches "ALTER" and "CREATE  VIEW" (two spaces) matches nothing.
constexpr std::array<std::pair<std::string_view, std::string_view>, 14> kSkipPrefixes{{
    {"PRAGMA", "pragma not supported"},
    {"BEGIN", kTransactions},
    {"COMMIT", kTransactions},
    {"ROLLBACK", kTransactions},
    {"SAVEPOINT", kTransactions},
    {"RELEASE", kTransactions},
    {"CREATE TRIGGER", kTriggers},
    {"CREATE VIEW", "views not supported"},
    {"CREATE INDEX", "dump index skipped"},
    {"CREATE UNIQUE INDEX", "dump index skipped"},
    {"ALTER", "ALTER not supported"},
    {"ATTACH", "ATTACH not supported"},
    {"DETACH", "DETACH not supported"},
    {"ANALYZE", "ANALYZE not supported"},
}};

// Words that start a table constraint rather than a column definition.
constexpr std::array<std::string_view, 6> kConstraintWords{"CONSTRAINT", "PRIMARY", "FOREIGN",
                                                           "UNIQUE",     "CHECK",   "KEY"};

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

// Whether the text begins with `upper` once its ASCII letters are upper-cased.
bool has_upper_prefix(std::string_view text, std::string_view upper) {
  if (text.size() < upper.size()) return false;
  for (size_t i = 0; i < upper.size(); ++i)
    if (ascii_upper(text[i]) != upper[i]) return false;
  return true;
}

bool equals_upper(std::string_view text, std::string_view upper) {
  return text.size() == upper.size() && has_upper_prefix(text, upper);
}

// The position of the first `target` byte outside quoted runs at or after `from`; npos when
// there is none or a quoted run does not close.
size_t find_unquoted(std::string_view s, size_t from, char target) {
  for (size_t i = from; i < s.size();) {
    if (s[i] == target) return i;
    if (quote_closer(s[i])) {
      i = skip_quoted(s, i);
      if (i == std::string_view::npos) return i;
    } else {
      ++i;
    }
  }
  return std::string_view::npos;
}

// The table identifier of "CREATE TABLE [IF NOT EXISTS] name" followed only by white space.
std::optional<std::string_view> table_name(std::string_view head) {
  auto rest = strip_keyword(head, "CREATE");
  if (rest) rest = strip_keyword(*rest, "TABLE");
  if (!rest) return std::nullopt;
  if (auto after_if = strip_keyword(*rest, "IF")) {
    rest = strip_keyword(*after_if, "NOT");
    if (rest) rest = strip_keyword(*rest, "EXISTS");
    if (!rest) return std::nullopt;
  }
  auto id = first_identifier(*rest);
  if (!id || !trim(rest->substr(id->end)).empty()) return std::nullopt;
  return id->text;
}

// The column name an item of the body contributes, or none for a table constraint or an
// item without a leading identifier.
std::optional<std::string_view> column_name(std::string_view item) {
  auto id = first_identifier(trim(item));
  if (!id) return std::nullopt;
  if (!id->quoted)
    for (std::string_view word : kConstraintWords)
      if (equals_upper(id->text, word)) return std::nullopt;
  return id->text;
}

}  // namespace

std::optional<std::string> rewrite_create_table(std::string_view statement) {
  const size_t open = find_unquoted(statement, 0, '(');
  if (open == std::string_view::npos) return std::nullopt;
  auto table = table_name(statement.substr(0, open));
  if (!table) return std::nullopt;

  // Walk the body once: items end at depth-0 commas, the body at the matching ")".
  std::vector<std::string_view> columns;
  size_t depth = 1, item_start = open + 1, i = open + 1;
  auto take_item = [&](size_t end) {
    if (auto name = column_name(statement.substr(item_start, end - item_start))) columns.push_back(*name);
  };
  while (true) {
    if (i >= statement.size()) return std::nullopt;  // no matching ")"
    const char c = statement[i];
    if (quote_closer(c)) {
      i = skip_quoted(statement, i);
      if (i == std::string_view::npos) return std::nullopt;
      continue;
    }
    if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth == 0) {
        take_item(i);
        break;
      }
    } else if (c == ',' && depth == 1) {
      take_item(i);
      item_start = i + 1;
    }
    ++i;
  }
  if (columns.empty()) return std::nullopt;

  std::string out = "CREATE TABLE ";
  out.append(*table);
  out += " (";
  for (size_t k = 0; k < columns.size(); ++k) {
    if (k) out += ", ";
    out.append(columns[k]);
  }
  out += ')';
  return out;
}

StatementRewrite rewrite_statement(std::string_view statement) {
  if (starts_create_trigger(statement)) return {true, kTriggers, std::nullopt};
  if (equals_upper(statement, "END")) return {true, kTransactions, std::nullopt};
  for (const auto& [prefix, reason] : kSkipPrefixes)
    if (has_upper_prefix(statement, prefix)) return {true, reason, std::nullopt};
  if (has_upper_prefix(statement, "CREATE TABLE")) {
    auto rewritten = rewrite_create_table(statement);
    if (!rewritten) return {true, "could not parse CREATE TABLE", std::nullopt};
    return {false, {}, std::move(rewritten)};
  }
  return {};
}

}  // namespace qm::migrate
