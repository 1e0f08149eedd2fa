// What becomes of one statement of a foreign dump: run as written, run as a CREATE TABLE
// reduced to its table and column names (types, defaults and every constraint dropped,
// IF NOT EXISTS too), or skipped with a fixed reason when the dialect has no counterpart
// (PRAGMA, transaction control, triggers, views, the dump's own indexes, ALTER, ATTACH,
// DETACH, ANALYZE). Never fails: a CREATE TABLE that cannot be read is skipped.
//
// Invariants: pure, linear in the statement's length; reasons are static texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qm::migrate {

struct StatementRewrite {
  bool skip = false;
  std::string_view reason;               // when skipped
  std::optional<std::string> rewritten;  // when run: the new text, or none to run it as it is

  // The text to run, given the statement that was rewritten.
  std::string_view sql(std::string_view statement) const { return rewritten ? std::string_view(*rewritten) : statement; }
};

// `statement` is already trimmed.
StatementRewrite rewrite_statement(std::string_view statement);

// "CREATE TABLE name (col, ...)" from a CREATE TABLE statement, or none when it cannot be
// read (no parenthesised body, a qualified or missing name, no column).
std::optional<std::string> rewrite_create_table(std::string_view statement);

}  // namespace qm::migrate
