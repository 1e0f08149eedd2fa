// SELECT: the clauses in their one fixed order, each recognised only at its place, so a
// clause written out of order is left unread and the statement entry refuses it. The
// variant is SelectSingle when the FROM table has no alias and there is no join, else
// Select; the projection is Columns when every item is a bare column without alias.
#include "sql/parse_internal.h"

namespace qm::sql {
namespace {

Result<void> parse_select_item(Cursor& c, SelectItem& item) {
  const Token* t = c.peek();
  bool word = t && t->kind == Tok::Word;
  bool call = word && c.peek_is(Tok::LParen, 1);
  if (call && agg_func(t->raw)) {
    QM_ASSIGN(AggregateCall agg, parse_aggregate(c));
    item.expr = SelectAggregate{agg.function, std::move(agg.column)};
  } else if (call || is_literal_start(t) || (word && keyword_equals(t->raw, "case"))) {
    QM_ASSIGN(ScalarExpr expr, parse_scalar_expr_at_depth(c, 0));
    item.expr = SelectScalar{std::move(expr)};
  } else {
    QM_TRY(c.column_ref(item.expr.emplace<SelectColumn>().column));
  }
  if (c.take_kw("as")) {
    const Token* alias = c.peek();
    if (alias && alias->kind == Tok::Word && is_reserved_word(alias->raw))
      return fail(c.err_at(alias->pos, "expected an alias name after AS, found keyword `" + std::string(alias->raw) + "`"));
    QM_TRY(c.ident(item.alias.emplace()));
  }
  return {};
}

Result<TableRef> parse_table_ref(Cursor& c) {
  TableRef ref;
  QM_TRY(c.ident(ref.name));
  if (c.take_kw("as")) {
    const Token* alias = c.peek();
    if (alias && alias->kind == Tok::Word && is_reserved_word(alias->raw))
      return fail(c.err_at(alias->pos, "expected a table alias after AS, found keyword `" + std::string(alias->raw) + "`"));
    QM_TRY(c.ident(ref.alias.emplace()));
  } else if (const Token* t = c.peek();
             t && (t->kind == Tok::Ident || (t->kind == Tok::Word && !is_reserved_word(t->raw)))) {
    QM_TRY(c.ident(ref.alias.emplace()));
  }
  return ref;
}

// LIMIT, OFFSET and BEFORE take a non-negative integer literal.
Result<uint64_t> parse_row_count(Cursor& c, std::string_view clause) {
  QM_ASSIGN(const Token* t, c.next());
  if (t->kind == Tok::Int && t->int_value() >= 0) return static_cast<uint64_t>(t->int_value());
  return fail(c.err_at(t->pos, std::string(clause) + " expects a non-negative integer, found " + token_debug(*t)));
}

// WHERE to OFFSET, into the body of the statement being built.
Result<void> parse_select_tail(Cursor& c, SelectBody& body) {
  if (c.take_kw("where")) {
    QM_ASSIGN(body.where, parse_predicate(c));
  }
  if (c.take_kw("group")) {
    QM_TRY(c.keyword("by"));
    while (true) {
      QM_TRY(c.column_ref(body.group_by.emplace_back()));
      if (!c.peek_is(Tok::Comma)) break;
      (void)c.next();
    }
  }
  if (c.take_kw("having")) {
    QM_ASSIGN(body.having, parse_having(c));
  }
  if (c.take_kw("before")) {
    QM_ASSIGN(body.before, parse_row_count(c, "BEFORE"));
  }
  if (c.take_kw("order")) {
    QM_TRY(c.keyword("by"));
    while (true) {
      OrderBy& key = body.order_by.emplace_back();
      QM_TRY(c.column_ref(key.column));
      if (c.take_kw("desc")) {
        key.descending = true;
      } else {
        (void)c.take_kw("asc");
      }
      if (!c.peek_is(Tok::Comma)) break;
      (void)c.next();
    }
  }
  if (c.take_kw("limit")) {
    QM_ASSIGN(body.limit, parse_row_count(c, "LIMIT"));
  }
  if (c.take_kw("offset")) {
    QM_ASSIGN(body.offset, parse_row_count(c, "OFFSET"));
  }

  return {};
}

}  // namespace

Result<Statement> parse_select(Cursor& c) {
  SelectBody body;
  if (c.peek_kw("distinct") && !c.peek_is(Tok::Comma, 1) && !c.peek_kw("from", 1)) {
    (void)c.next();
    body.distinct = true;
  }

  if (c.peek_is(Tok::Star)) {
    (void)c.next();
    body.projection = ProjectAll{};
  } else {
    std::vector<SelectItem> items;
    bool plain = true;
    while (true) {
      SelectItem& item = items.emplace_back();
      QM_TRY(parse_select_item(c, item));
      plain = plain && !item.alias && std::holds_alternative<SelectColumn>(item.expr);
      if (!c.peek_is(Tok::Comma)) break;
      (void)c.next();
    }
    if (plain) {
      ProjectColumns columns;
      columns.columns.reserve(items.size());
      for (auto& item : items) columns.columns.push_back(std::move(std::get<SelectColumn>(item.expr).column));
      body.projection = std::move(columns);
    } else {
      body.projection = ProjectItems{std::move(items)};
    }
  }

  QM_TRY(c.keyword("from"));
  QM_ASSIGN(TableRef from, parse_table_ref(c));

  std::vector<JoinClause> joins;
  std::unordered_set<std::string> hashed_qualifiers;
  while (true) {
    JoinKind kind;
    if (c.take_kw("join")) {
      kind = JoinKind::Inner;
    } else if (c.take_kw("inner")) {
      QM_TRY(c.keyword("join"));
      kind = JoinKind::Inner;
    } else if (c.take_kw("left")) {
      (void)c.take_kw("outer");
      QM_TRY(c.keyword("join"));
      kind = JoinKind::Left;
    } else {
      break;
    }
    size_t ref_pos = c.position();
    QM_ASSIGN(TableRef ref, parse_table_ref(c));
    const std::string& qualifier = ref.qualifier();
    bool duplicate = qualifier == from.qualifier() ||
                     repeats(joins, qualifier, hashed_qualifiers,
                             [](const JoinClause& j) -> const std::string& { return j.qualifier(); });
    if (duplicate) return fail(c.err_at(ref_pos, "duplicate table qualifier `" + qualifier + "`"));
    QM_TRY(c.keyword("on"));
    JoinClause join{kind, std::move(ref.name), std::move(ref.alias), {}, {}};
    QM_TRY(c.column_ref(join.left_column));
    QM_TRY(c.expect(Tok::Eq));
    QM_TRY(c.column_ref(join.right_column));
    joins.push_back(std::move(join));
  }
  for (std::string_view unsupported : {"right", "full", "cross", "natural"}) {
    if (c.peek_kw(unsupported))
      return fail(c.err("unsupported join type `" + ascii_upper(c.peek()->raw) + "`"));
  }

  // The variant is known now; the remaining clauses are parsed in place.
  bool single = !from.alias && joins.empty();
  Statement out = single ? Statement{SelectSingleStmt{std::move(from.name), std::move(body)}}
                         : Statement{SelectStmt{std::move(from), std::move(joins), std::move(body)}};
  SelectBody& tail = single ? std::get<SelectSingleStmt>(out.node).body : std::get<SelectStmt>(out.node).body;
  QM_TRY(parse_select_tail(c, tail));
  return out;
}

}  // namespace qm::sql
