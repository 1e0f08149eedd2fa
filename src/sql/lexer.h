// The SQL lexer: one pass over the text, one character of lookahead, stopping at the first
// error. Tokens are views into the text (no per-token allocation); quoted names and string
// literals keep their raw text between the quotes and are unescaped only when read.
// Positions are character positions (Unicode scalar values from 0), not byte offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/int128.h"

namespace qm::sql {

enum class Tok : uint8_t {
  Word,
  Ident,
  Str,
  Int,
  Dec,
  LParen,
  RParen,
  Comma,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  Star,
  Dot,
  Semicolon,
};

struct Token {
  Tok kind = Tok::Word;
  // Ident and Str: the raw text holds doubled closing characters (`''`, `""`, "]]"...).
  bool escaped = false;
  char close = 0;          // Ident and Str: the closing character
  size_t pos = 0;          // character position of the token's first character
  std::string_view raw;    // Word: as written; Ident, Str: between the quotes
  i128 number = 0;         // Int: the value; Dec: millionths

  // The payload text of Word, Ident and Str, with doubled closing characters undone.
  std::string text() const;
  int64_t int_value() const { return static_cast<int64_t>(number); }
};

// Nesting of "(" allowed by the lexer; the next one is refused.
inline constexpr size_t kMaxParenDepth = 64;

// Fills out (cleared first) with the tokens of sql and returns the text's character count
// (the end position). On failure the error is a positioned QmError::Query.
Result<size_t> lex(std::string_view sql, std::vector<Token>& out);

// The same tokens and the same first error as lex(), a piece at a time, for a text too long
// to hold all its tokens at once. Copying a stream copies its position.
class TokenStream {
 public:
  explicit TokenStream(std::string_view sql) : sql_(sql) {}
  // Appends tokens to out until it holds `limit` tokens or the text ends.
  Result<void> fill(std::vector<Token>& out, size_t limit);
  bool done() const { return checked_ && byte_ >= sql_.size(); }
  // The text's character count, once done.
  size_t end_position() const { return character_; }

 private:
  std::string_view sql_;
  bool checked_ = false;  // the text's UTF-8 was checked (by the first fill)
  size_t byte_ = 0;
  size_t character_ = 0;
  size_t depth_ = 0;
};

// Character classes shared with parameter binding.
bool is_sql_white_space(char32_t c);
bool is_word_start(char32_t c);
bool is_word_continue(char32_t c);

}  // namespace qm::sql
