// CREATE TABLE, CREATE [UNIQUE] INDEX ON and the hand-over of named (retrieval) indexes.
// Declared column types are read and discarded. A CREATE TABLE whose elements are all bare
// column names is CreateTable / CreateTableIfNotExists; anything richer (a type, a column
// constraint, a CHECK) is CreateTableWithConstraints. A CHECK is bounded in nesting so
// that the stored manifest always reads back.
#include "sql/parse_internal.h"

namespace qm::sql {
namespace {

Result<Predicate> parse_check_constraint(Cursor& c) {
  QM_TRY(c.keyword("check"));
  QM_TRY(c.expect(Tok::LParen));
  QM_ASSIGN(Predicate p, parse_predicate(c));
  QM_TRY(c.expect(Tok::RParen));
  return p;
}

// Reads an optional declared type (one word, a few fixed two-word forms, an optional
// size and scale) and reports whether one was there.
Result<bool> consume_declared_type(Cursor& c) {
  const Token* t = c.peek();
  if (!t || t->kind != Tok::Word) return false;
  for (std::string_view stop : {"not", "check", "unique", "primary", "default"})
    if (keyword_equals(t->raw, stop)) return false;
  QM_ASSIGN(std::string type, c.ident());
  if (keyword_equals(type, "double")) {
    (void)c.take_kw("precision");
  } else if (keyword_equals(type, "national")) {
    if (c.take_kw("character")) (void)c.take_kw("varying");
  } else if (keyword_equals(type, "character")) {
    (void)c.take_kw("varying");
  }
  if (c.peek_is(Tok::LParen)) {
    (void)c.next();
    QM_ASSIGN(const Token* size, c.next());
    if (size->kind != Tok::Int || size->int_value() <= 0)
      return fail(c.err_at(size->pos, "type size expects a positive integer, found " + token_debug(*size)));
    if (c.peek_is(Tok::Comma)) {
      (void)c.next();
      QM_ASSIGN(const Token* scale, c.next());
      if (scale->kind != Tok::Int || scale->int_value() < 0)
        return fail(c.err_at(scale->pos, "type scale expects a non-negative integer, found " + token_debug(*scale)));
    }
    QM_TRY(c.expect(Tok::RParen));
  }
  return true;
}

Result<Value> parse_default_literal(Cursor& c) {
  bool parenthesised = c.peek_is(Tok::LParen);
  if (parenthesised) (void)c.next();
  if (!is_literal_start(c.peek())) return fail(c.err("DEFAULT supports only NULL, integer, decimal, and text literals"));
  QM_ASSIGN(Value v, c.value());
  if (parenthesised) QM_TRY(c.expect(Tok::RParen));
  return v;
}

// One column definition; CHECKs written on it go to the statement's list. Sets rich when
// the column has a type or any constraint.
Result<ColumnDefinition> parse_column_definition(Cursor& c, const std::vector<ColumnDefinition>& earlier,
                                                 std::unordered_set<std::string>& hashed,
                                                 std::vector<Predicate>& checks, bool& rich) {
  ColumnDefinition col;
  size_t name_pos = c.position();
  QM_ASSIGN(col.name, c.ident());
  if (repeats(earlier, col.name, hashed, [](const ColumnDefinition& e) -> const std::string& { return e.name; }))
    return fail(c.err_at(name_pos, "duplicate column declaration `" + col.name + "`"));
  QM_ASSIGN(bool typed, consume_declared_type(c));
  rich = rich || typed;
  bool primary_key = false;
  while (true) {
    size_t pos = c.position();
    if (c.take_kw("primary")) {
      QM_TRY(c.keyword("key"));
      if (primary_key) return fail(c.err_at(pos, "duplicate PRIMARY KEY constraint"));
      primary_key = true;
      col.unique = col.not_null = true;
    } else if (c.take_kw("unique")) {
      col.unique = true;
    } else if (c.take_kw("not")) {
      QM_TRY(c.keyword("null"));
      col.not_null = true;
    } else if (c.take_kw("default")) {
      if (col.default_value) return fail(c.err_at(pos, "duplicate DEFAULT constraint"));
      QM_ASSIGN(col.default_value, parse_default_literal(c));
    } else if (c.peek_kw("check")) {
      QM_ASSIGN(Predicate p, parse_check_constraint(c));
      checks.push_back(std::move(p));
    } else {
      break;
    }
    rich = true;
  }
  if (const Token* t = c.peek(); t && t->kind == Tok::Word)
    return fail(c.err_at(t->pos, "unsupported column constraint or type modifier `" + ascii_upper(t->raw) + "`"));
  return col;
}

Result<Statement> parse_create_table(Cursor& c) {
  bool if_not_exists = false;
  if (c.take_kw("if")) {
    QM_TRY(c.keyword("not"));
    QM_TRY(c.keyword("exists"));
    if_not_exists = true;
  }
  QM_ASSIGN(std::string table, c.ident());
  QM_TRY(c.expect(Tok::LParen));
  std::vector<ColumnDefinition> columns;
  std::unordered_set<std::string> hashed_names;
  std::vector<Predicate> checks;
  bool rich = false;
  while (true) {
    const Token* t = c.peek();
    if (t && t->kind == Tok::Word) {
      for (std::string_view table_constraint : {"foreign", "constraint", "unique", "primary"})
        if (keyword_equals(t->raw, table_constraint))
          return fail(c.err_at(t->pos, "unsupported table constraint `" + ascii_upper(t->raw) + "`"));
    }
    if (c.peek_kw("check")) {
      QM_ASSIGN(Predicate p, parse_check_constraint(c));
      checks.push_back(std::move(p));
      rich = true;
    } else {
      QM_ASSIGN(ColumnDefinition col, parse_column_definition(c, columns, hashed_names, checks, rich));
      columns.push_back(std::move(col));
    }
    QM_ASSIGN(const Token* sep, c.next());
    if (sep->kind == Tok::Comma) continue;
    if (sep->kind == Tok::RParen) break;
    return fail(c.err_at(sep->pos, "expected `,` or `)`, found " + token_debug(*sep)));
  }
  if (rich) return Statement{CreateTableWithConstraintsStmt{std::move(table), std::move(columns), std::move(checks), if_not_exists}};
  std::vector<std::string> names;
  names.reserve(columns.size());
  for (auto& col : columns) names.push_back(std::move(col.name));
  if (if_not_exists) return Statement{CreateTableIfNotExistsStmt{std::move(table), std::move(names), {}, {}}};
  return Statement{CreateTableStmt{std::move(table), std::move(names), {}, {}}};
}

Result<Statement> parse_create_index(Cursor& c, bool unique) {
  QM_TRY(c.keyword("on"));
  CreateIndexStmt out;
  out.unique = unique;
  QM_ASSIGN(out.table, c.ident());
  QM_TRY(c.expect(Tok::LParen));
  QM_ASSIGN(out.column, c.ident());
  QM_TRY(c.expect(Tok::RParen));
  return Statement{std::move(out)};
}

}  // namespace

Result<Statement> parse_create(Cursor& c) {
  QM_ASSIGN(const Token* t, c.next());
  if (t->kind == Tok::Word) {
    if (keyword_equals(t->raw, "table")) return parse_create_table(c);
    if (keyword_equals(t->raw, "index")) {
      if (c.peek_kw("on")) return parse_create_index(c, false);
      return parse_retrieval_index(c);
    }
    if (keyword_equals(t->raw, "unique")) {
      QM_TRY(c.keyword("index"));
      return parse_create_index(c, true);
    }
  }
  return fail(c.err_at(t->pos, "expected TABLE or INDEX after CREATE, found " + token_debug(*t)));
}

}  // namespace qm::sql
