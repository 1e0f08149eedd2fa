#include "sql/cursor.h"

#include "core/debug_text.h"

#include <array>

namespace qm::sql {
namespace {

constexpr std::array<const char*, 17> kTokNames = {"Word",  "Ident", "Str", "Int", "Dec", "LParen",
                                                   "RParen", "Comma", "Eq",  "Ne",  "Lt",  "Le",
                                                   "Gt",    "Ge",    "Star", "Dot", "Semicolon"};

// The reserved words grouped by length, so a lookup compares only same-length words.
constexpr std::array<std::string_view, 7> kReserved2 = {"if", "is", "in", "by", "as", "or", "on"};
constexpr std::array<std::string_view, 7> kReserved3 = {"set", "key", "not", "asc", "and", "end", "for"};
constexpr std::array<std::string_view, 15> kReserved4 = {"into", "drop", "null", "like", "desc",
                                                         "from", "join", "left", "full", "case",
                                                         "when", "then", "else", "with", "over"};
constexpr std::array<std::string_view, 15> kReserved5 = {"begin", "table", "index", "where", "group",
                                                         "order", "limit", "inner", "right", "cross",
                                                         "outer", "check", "union", "using", "fetch"};
constexpr std::array<std::string_view, 14> kReserved6 = {"commit", "create", "insert", "update", "delete",
                                                         "exists", "unique", "having", "before", "offset",
                                                         "select", "values", "except", "window"};
constexpr std::array<std::string_view, 6> kReserved7 = {"primary", "foreign", "between",
                                                        "natural", "default", "qualify"};
constexpr std::array<std::string_view, 2> kReserved8 = {"rollback", "distinct"};
constexpr std::array<std::string_view, 3> kReserved9 = {"intersect", "returning", "recursive"};
constexpr std::array<std::string_view, 2> kReserved10 = {"constraint", "references"};
constexpr std::array<std::string_view, 1> kReserved11 = {"transaction"};

template <size_t N>
bool in_list(std::string_view word, const std::array<std::string_view, N>& list) {
  for (auto w : list)
    if (keyword_equals(word, w)) return true;
  return false;
}

}  // namespace

const char* tok_name(Tok kind) { return kTokNames[static_cast<size_t>(kind)]; }

std::string token_debug(const Token& t) {
  std::string out = tok_name(t.kind);
  switch (t.kind) {
    case Tok::Word:
    case Tok::Ident:
    case Tok::Str:
      out += '(';
      append_debug_quoted(out, t.kind == Tok::Word ? std::string(t.raw) : t.text());
      out += ')';
      break;
    case Tok::Int:
    case Tok::Dec:
      out += '(';
      append_i128(out, t.number);
      out += ')';
      break;
    default: break;
  }
  return out;
}

bool keyword_equals(std::string_view word, std::string_view lower_kw) {
  if (word.size() != lower_kw.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c | 0x20);
    if (c != lower_kw[i]) return false;
  }
  return true;
}

bool is_reserved_word(std::string_view word) {
  switch (word.size()) {
    case 2: return in_list(word, kReserved2);
    case 3: return in_list(word, kReserved3);
    case 4: return in_list(word, kReserved4);
    case 5: return in_list(word, kReserved5);
    case 6: return in_list(word, kReserved6);
    case 7: return in_list(word, kReserved7);
    case 8: return in_list(word, kReserved8);
    case 9: return in_list(word, kReserved9);
    case 10: return in_list(word, kReserved10);
    case 11: return in_list(word, kReserved11);
    default: return false;
  }
}

bool is_literal_start(const Token* t) {
  if (!t) return false;
  return t->kind == Tok::Str || t->kind == Tok::Int || t->kind == Tok::Dec ||
         (t->kind == Tok::Word && keyword_equals(t->raw, "null"));
}

Result<void> Cursor::slide() {
  std::vector<Token>& tokens = *window_->tokens;
  tokens.erase(tokens.begin(), tokens.begin() + static_cast<std::ptrdiff_t>(index_));
  index_ = 0;
  auto filled = window_->stream.fill(tokens, window_->size);
  tokens_ = tokens;
  return filled;
}

Result<const Token*> Cursor::next() {
  if (at_end()) return fail(err_at(end_, "unexpected end of statement"));
  return &tokens_[index_++];
}

Result<void> Cursor::keyword(std::string_view kw) {
  QM_ASSIGN(const Token* t, next());
  if (t->kind == Tok::Word && keyword_equals(t->raw, kw)) return {};
  std::string msg = "expected `";
  msg += kw;
  msg += "`, found ";
  msg += token_debug(*t);
  return fail(err_at(t->pos, msg));
}

Result<void> Cursor::expect(Tok kind) {
  QM_ASSIGN(const Token* t, next());
  if (t->kind == kind) return {};
  return fail(err_at(t->pos, std::string("expected ") + tok_name(kind) + ", found " + token_debug(*t)));
}

Result<void> Cursor::ident(std::string& out) {
  QM_ASSIGN(const Token* t, next());
  if (t->kind == Tok::Word) {
    out.assign(t->raw);
    return {};
  }
  if (t->kind == Tok::Ident) {
    out = t->text();
    return {};
  }
  return fail(err_at(t->pos, "expected identifier, found " + token_debug(*t)));
}

Result<void> Cursor::column_ref(std::string& out) {
  QM_TRY(ident(out));
  if (!peek_is(Tok::Dot)) return {};
  ++index_;
  QM_ASSIGN(const Token* t, next());
  if (t->kind != Tok::Word && t->kind != Tok::Ident)
    return fail(err_at(t->pos, "expected identifier, found " + token_debug(*t)));
  out += '.';
  if (t->kind == Tok::Word) {
    out.append(t->raw);
  } else {
    out += t->text();
  }
  return {};
}

Result<std::string> Cursor::ident() {
  std::string out;
  QM_TRY(ident(out));
  return out;
}

Result<std::string> Cursor::column_ref() {
  std::string out;
  QM_TRY(column_ref(out));
  return out;
}

Result<Value> Cursor::value() {
  QM_ASSIGN(const Token* t, next());
  switch (t->kind) {
    case Tok::Str: return Value::text(t->text());
    case Tok::Int: return Value::integer(t->int_value());
    case Tok::Dec: return Value::decimal(t->number);
    case Tok::Word:
      if (keyword_equals(t->raw, "null")) return Value::null();
      break;
    default: break;
  }
  return fail(err_at(t->pos, "expected a value, found " + token_debug(*t)));
}

Result<void> Cursor::count_predicate_node(size_t pos) {
  if (predicate_nodes_ < SIZE_MAX) ++predicate_nodes_;
  if (predicate_nodes_ > kMaxPredicateNodes)
    return fail(err_at(pos, "predicate complexity exceeds the " + std::to_string(kMaxPredicateNodes) + "-node limit"));
  return {};
}

}  // namespace qm::sql
