// Statement entry: lex the text (a long one a window of tokens at a time), dispatch on the
// first word, then accept only semicolons until the end. Two statements in one text fail at
// the second.
#include "sql/parser.h"

#include <vector>

#include "sql/parse_internal.h"

namespace qm::sql {
namespace {

Result<Statement> parse_statement(Cursor& c) {
  const Token* first = c.peek();
  // No token at all: the text is empty or only white space.
  if (!first) return fail(c.err_at(0, "unexpected end of statement"));
  if (first->kind != Tok::Word) return fail(c.err_at(first->pos, "unsupported statement token " + token_debug(*first)));
  std::string_view word = first->raw;
  (void)c.next();
  if (keyword_equals(word, "select")) return parse_select(c);
  if (keyword_equals(word, "insert")) return parse_insert(c);
  if (keyword_equals(word, "update")) return parse_update(c);
  if (keyword_equals(word, "delete")) return parse_delete(c);
  if (keyword_equals(word, "create")) return parse_create(c);
  if (keyword_equals(word, "drop")) return parse_drop(c);
  if (keyword_equals(word, "begin")) {
    (void)c.take_kw("transaction");
    return Statement{BeginStmt{}};
  }
  if (keyword_equals(word, "commit")) {
    (void)c.take_kw("transaction");
    return Statement{CommitStmt{}};
  }
  if (keyword_equals(word, "rollback")) {
    (void)c.take_kw("transaction");
    return Statement{RollbackStmt{}};
  }
  if (keyword_equals(word, "explain")) {
    if (!c.take_kw("select")) {
      QM_ASSIGN(const Token* t, c.next());
      return fail(c.err_at(t->pos, "EXPLAIN requires SELECT, found " + token_debug(*t)));
    }
    QM_ASSIGN(Statement select, parse_select(c));
    return Statement{ExplainStmt{std::move(select)}};
  }
  return fail(c.err_at(first->pos, "unsupported statement `" + ascii_upper(word) + "`"));
}

// A text of more tokens than this is parsed through a window of them (TokenWindow).
constexpr size_t kTokenWindow = 1 << 16;

Result<Statement> parse_tokens(Cursor& c) {
  Result<Statement> statement = parse_statement(c);
  if (!statement) return statement;
  while (c.peek_is(Tok::Semicolon)) (void)c.next();
  if (const Token* t = c.peek()) {
    if (t->kind == Tok::Word)
      return fail(c.err_at(t->pos, "unsupported or misplaced SQL construct `" + ascii_upper(t->raw) + "`"));
    return fail(c.err_at(t->pos, "unexpected token " + token_debug(*t) + " after the statement"));
  }
  return statement;
}

}  // namespace

Result<Statement> parse(std::string_view sql) {
  // The token buffer's storage is reused across calls on a thread (parsing is on every
  // query's road); its tokens, which view the caller's text, are dropped when the call
  // ends, and an unusually large buffer is released.
  thread_local std::vector<Token> tokens;
  struct Release {
    ~Release() {
      tokens.clear();
      if (tokens.capacity() > 4096) std::vector<Token>().swap(tokens);
    }
  } release;
  tokens.clear();
  TokenStream stream(sql);
  QM_TRY(stream.fill(tokens, kTokenWindow));
  if (stream.done()) {
    Cursor c(sql, tokens, stream.end_position());
    return parse_tokens(c);
  }
  // A long text (a multi-row INSERT of many tuples): its tokens are not held all at once.
  // The rest is lexed first without keeping the tokens, so a lexical error anywhere wins
  // over a grammar error as it does for a short text, and the end position is known.
  TokenStream rest = stream;
  {
    std::vector<Token> scratch;
    scratch.reserve(kTokenWindow);
    while (!rest.done()) {
      scratch.clear();
      QM_TRY(rest.fill(scratch, kTokenWindow));
    }
  }
  TokenWindow window{stream, &tokens, kTokenWindow};
  {
    Cursor c(sql, window, rest.end_position());
    Result<Statement> statement = parse_tokens(c);
    if (!window.overrun) return statement;
  }
  // The grammar needed more than the window at a place where it could not move on: parse
  // again over all the tokens.
  QM_ASSIGN(size_t end, lex(sql, tokens));
  Cursor c(sql, tokens, end);
  return parse_tokens(c);
}

}  // namespace qm::sql
