// Cursor: the parser's one way of reading tokens. It hands out tokens one at a time,
// offers the typed reads the grammar is built from (keyword, identifier, column
// reference, literal, exact token), turns every failure into a positioned
// QmError::Query, and carries the statement's predicate-node budget. A failing read
// reports the position of the token it read, or the end of the text when none is left.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "sql/error_position.h"
#include "sql/lexer.h"

namespace qm::sql {

// Predicate nodes (comparisons, ANDs, ORs) one statement may build.
inline constexpr size_t kMaxPredicateNodes = 256;

// Debug form printed by messages: Word("x"), Ident("x"), Str("x"), Int(5), Dec(1500000),
// or the bare kind name (LParen, Comma, ...).
std::string token_debug(const Token& t);
const char* tok_name(Tok kind);

// One of the 72 reserved words, compared after folding ASCII case.
bool is_reserved_word(std::string_view word);

// ASCII case-insensitive equality against a lower-case keyword.
bool keyword_equals(std::string_view word, std::string_view lower_kw);

// The tokens of a text too long to lex whole, held a window at a time (parser.cc): the
// window moves on only where the grammar allows it (release_read), and a read past its end
// while the text goes on marks the parse as overrun, to be redone over all the tokens.
struct TokenWindow {
  TokenStream stream;
  std::vector<Token>* tokens;
  size_t size;  // the window's length in tokens
  bool overrun = false;
};

class Cursor {
 public:
  Cursor(std::string_view sql, std::span<const Token> tokens, size_t end_position)
      : sql_(sql), tokens_(tokens), end_(end_position) {}
  Cursor(std::string_view sql, TokenWindow& window, size_t end_position)
      : sql_(sql), tokens_(*window.tokens), end_(end_position), window_(&window) {}

  // The next token (or the one `ahead` after it) without consuming; nullptr when none.
  const Token* peek(size_t ahead = 0) const {
    if (index_ + ahead < tokens_.size()) return &tokens_[index_ + ahead];
    note_window_end();
    return nullptr;
  }
  bool at_end() const {
    if (index_ < tokens_.size()) return false;
    note_window_end();
    return true;
  }
  // Called by the grammar where no token read so far is referenced any more (the start of
  // each INSERT row): a windowed cursor may drop the tokens read and lex the next ones.
  Result<void> release_read() {
    if (window_ && index_ >= window_->size / 2) return slide();
    return {};
  }
  bool peek_is(Tok kind, size_t ahead = 0) const {
    const Token* t = peek(ahead);
    return t && t->kind == kind;
  }
  // True when the next token is a bare word equal to kw (lower case) ignoring ASCII case.
  bool peek_kw(std::string_view kw, size_t ahead = 0) const {
    const Token* t = peek(ahead);
    return t && t->kind == Tok::Word && keyword_equals(t->raw, kw);
  }
  // Consumes the next token when it is the keyword; reports whether it did.
  bool take_kw(std::string_view kw) {
    if (!peek_kw(kw)) return false;
    ++index_;
    return true;
  }

  Result<const Token*> next();
  Result<void> keyword(std::string_view kw);
  Result<void> expect(Tok kind);
  Result<std::string> ident();
  Result<std::string> column_ref();
  // The same reads writing straight into their destination (no intermediate strings).
  Result<void> ident(std::string& out);
  Result<void> column_ref(std::string& out);
  Result<Value> value();

  // Position of the next token, or the end position when none is left.
  size_t position() const { return at_end() ? end_ : tokens_[index_].pos; }
  QmError err(std::string_view message) const { return err_at(position(), message); }
  QmError err_at(size_t pos, std::string_view message) const { return parse_error(sql_, pos, message); }

  // Counts one predicate node, failing at pos once the statement exceeds the budget.
  Result<void> count_predicate_node(size_t pos);

 private:
  std::string_view sql_;
  void note_window_end() const {
    if (window_ && !window_->stream.done()) window_->overrun = true;
  }
  Result<void> slide();

  std::span<const Token> tokens_;
  size_t index_ = 0;
  size_t end_;
  size_t predicate_nodes_ = 0;
  TokenWindow* window_ = nullptr;
};

// Literal tokens Cursor::value accepts: NULL, a string, an integer or a decimal.
bool is_literal_start(const Token* t);

}  // namespace qm::sql
