// INSERT, UPDATE, DELETE and DROP. Table and column names are plain identifiers, never
// qualified; values are literals only. UPDATE and DELETE require WHERE. The INSERT
// variant follows the text: InsertWithTargets with a target list or any DEFAULT,
// otherwise InsertRow for one row and InsertRows for several; row lengths are checked by
// execution, not here.
#include "sql/parse_internal.h"

namespace qm::sql {
namespace {

std::string expected_comma_or_paren(const Token& t) { return "expected `,` or `)`, found " + token_debug(t); }

}  // namespace

Result<Statement> parse_insert(Cursor& c) {
  QM_TRY(c.keyword("into"));
  QM_ASSIGN(std::string table, c.ident());

  std::optional<std::vector<std::string>> targets;
  if (c.peek_is(Tok::LParen)) {
    (void)c.next();
    targets.emplace();
    std::unordered_set<std::string> hashed;
    while (true) {
      size_t pos = c.position();
      QM_ASSIGN(std::string name, c.ident());
      if (repeats(*targets, name, hashed, [](const std::string& t) -> const std::string& { return t; }))
        return fail(c.err_at(pos, "duplicate INSERT target column `" + name + "`"));
      targets->push_back(std::move(name));
      QM_ASSIGN(const Token* t, c.next());
      if (t->kind == Tok::Comma) continue;
      if (t->kind == Tok::RParen) break;
      return fail(c.err_at(t->pos, expected_comma_or_paren(*t)));
    }
  }

  if (c.peek_kw("default")) {
    size_t pos = c.position();
    (void)c.next();
    QM_TRY(c.keyword("values"));
    if (targets) return fail(c.err_at(pos, "DEFAULT VALUES cannot include a target-column list"));
    return Statement{InsertWithTargetsStmt{std::move(table), std::nullopt, {std::vector<InsertValue>{}}}};
  }

  QM_TRY(c.keyword("values"));
  // Rows of plain values are packed as they are read, so a long VALUES list holds neither all
  // its tokens (the cursor moves on at each row) nor a vector per row. A target list or the
  // first DEFAULT turns the statement into InsertWithTargets, whose rows stay as read.
  std::vector<std::vector<InsertValue>> rows;
  PackedRows packed;
  bool with_targets_form = targets.has_value();
  std::vector<InsertValue> row;
  std::vector<Value> plain;
  while (true) {
    QM_TRY(c.release_read());
    QM_TRY(c.expect(Tok::LParen));
    row.clear();
    bool uses_default = false;
    while (true) {
      if (c.take_kw("default")) {
        row.emplace_back(InsertDefault{});
        uses_default = true;
      } else {
        QM_ASSIGN(Value v, c.value());
        row.emplace_back(std::move(v));
      }
      QM_ASSIGN(const Token* t, c.next());
      if (t->kind == Tok::Comma) continue;
      if (t->kind == Tok::RParen) break;
      return fail(c.err_at(t->pos, expected_comma_or_paren(*t)));
    }
    if (uses_default && !with_targets_form) {
      with_targets_form = true;
      for (auto& earlier : packed.unpack()) rows.emplace_back(std::make_move_iterator(earlier.begin()),
                                                               std::make_move_iterator(earlier.end()));
      packed = PackedRows();
    }
    if (with_targets_form) {
      rows.push_back(row);
    } else {
      plain.clear();
      for (auto& v : row) plain.push_back(std::move(std::get<Value>(v)));
      packed.append(plain);
    }
    if (!c.peek_is(Tok::Comma)) break;
    (void)c.next();
  }

  if (with_targets_form)
    return Statement{InsertWithTargetsStmt{std::move(table), std::move(targets), std::move(rows)}};
  if (packed.size() == 1) {
    (void)packed.reader().next(plain);
    return Statement{InsertRowStmt{std::move(table), std::move(plain)}};
  }
  return Statement{InsertRowsStmt{std::move(table), std::move(packed)}};
}

Result<Statement> parse_update(Cursor& c) {
  QM_ASSIGN(std::string table, c.ident());
  QM_TRY(c.keyword("set"));
  QM_ASSIGN(std::string column, c.ident());
  QM_TRY(c.expect(Tok::Eq));
  std::optional<Value> value;
  if (!c.take_kw("default")) {
    QM_ASSIGN(value, c.value());
  }
  QM_TRY(c.keyword("where"));
  QM_ASSIGN(Predicate predicate, parse_predicate(c));
  if (!value) return Statement{UpdateSetDefaultStmt{std::move(table), std::move(column), std::move(predicate)}};
  return Statement{UpdateSetStmt{std::move(table), std::move(column), std::move(*value), std::move(predicate)}};
}

Result<Statement> parse_delete(Cursor& c) {
  QM_TRY(c.keyword("from"));
  QM_ASSIGN(std::string table, c.ident());
  QM_TRY(c.keyword("where"));
  QM_ASSIGN(Predicate predicate, parse_predicate(c));
  return Statement{DeleteStmt{std::move(table), std::move(predicate)}};
}

Result<Statement> parse_drop(Cursor& c) {
  bool index = c.take_kw("index");
  if (!index) QM_TRY(c.keyword("table"));
  bool if_exists = false;
  if (c.take_kw("if")) {
    QM_TRY(c.keyword("exists"));
    if_exists = true;
  }
  QM_ASSIGN(std::string name, c.ident());
  if (index) return Statement{DropRetrievalIndexStmt{std::move(name), if_exists}};
  if (if_exists) return Statement{DropTableIfExistsStmt{std::move(name)}};
  return Statement{DropTableStmt{std::move(name)}};
}

}  // namespace qm::sql
