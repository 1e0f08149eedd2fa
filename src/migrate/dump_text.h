// The text primitives every scanner of a foreign SQL dump shares: character classes over
// Unicode scalar values (White_Space, Alphabetic, and the numeric general categories),
// keyword tests that fold only ASCII letters, identifiers with their four quote kinds,
// trimming and the one-line preview used in import reports.
//
// Invariants: every function takes any bytes; a byte that does not start a valid UTF-8
// sequence counts as one character of no class, so malformed input is scanned in one pass
// and never read past its end. Returned views point into the argument.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qm::migrate {

// One character: its scalar value (U+FFFD for a malformed byte) and its length in bytes.
struct Char {
  char32_t cp;
  size_t len;
};
// The character at s[pos]; pos < s.size().
Char char_at(std::string_view s, size_t pos);

bool is_white_space(char32_t c);
// Alphabetic or "_": what may start a word or an unquoted identifier.
bool is_word_start(char32_t c);
// Alphabetic, numeric or "_".
bool is_word_continue(char32_t c);

// The closing character of a quote opened by c (' " ` [), or 0 when c opens none.
inline char quote_closer(char c) {
  switch (c) {
    case '\'': return '\'';
    case '"': return '"';
    case '`': return '`';
    case '[': return ']';
    default: return 0;
  }
}
// The offset just past the quoted run whose opening character is at s[open], where a
// doubled closing character stands for itself; npos when the run never closes.
size_t skip_quoted(std::string_view s, size_t open);

std::string_view trim_start(std::string_view s);
std::string_view trim(std::string_view s);

// After leading white space, the keyword (ASCII case-insensitive) not followed by a word
// character: the rest of the text right after it, leading white space kept. None otherwise.
std::optional<std::string_view> strip_keyword(std::string_view text, std::string_view keyword);

// CREATE, an optional TEMP or TEMPORARY, then TRIGGER, each by strip_keyword.
bool starts_create_trigger(std::string_view text);

// An identifier at the start of the text (after white space).
struct Identifier {
  std::string_view text;  // as written: a quoted name keeps its quotes and doubled closers
  bool quoted = false;
  size_t end = 0;  // offset in the given text just past the identifier
};
// A quoted name (not empty, closed) or a word; none otherwise (a digit starts no word).
std::optional<Identifier> first_identifier(std::string_view text);

// The statement's white-space runs collapsed to single spaces (none at either end), cut to
// 60 characters followed by "..." when longer.
std::string preview(std::string_view statement);

}  // namespace qm::migrate
