// The shared grammars: conditions (Predicate), HAVING conditions (HavingPred), scalar
// expressions of select items (ScalarExpr) and aggregate calls. OR is left-associative
// and binds looser than AND. Every comparison, AND and OR draws one node from the
// statement's budget; parentheses and IN-list values draw none. Recursion is bounded:
// parentheses by the lexer's nesting limit, scalar nesting by kMaxScalarDepth.
#include <array>

#include "sql/parse_internal.h"

namespace qm::sql {
namespace {

std::string expected_comma_or_paren(const Token& t) { return "expected `,` or `)`, found " + token_debug(t); }

Result<std::vector<Value>> parse_in_list(Cursor& c) {
  QM_TRY(c.expect(Tok::LParen));
  std::vector<Value> values;
  while (true) {
    QM_ASSIGN(Value v, c.value());
    values.push_back(std::move(v));
    QM_ASSIGN(const Token* t, c.next());
    if (t->kind == Tok::Comma) continue;
    if (t->kind == Tok::RParen) return values;
    return fail(c.err_at(t->pos, expected_comma_or_paren(*t)));
  }
}

// The comparison operators shared by WHERE and HAVING (LIKE is WHERE's alone).
std::optional<CompareOp> symbol_op(Tok kind) {
  switch (kind) {
    case Tok::Eq: return CompareOp::Eq;
    case Tok::Ne: return CompareOp::Ne;
    case Tok::Lt: return CompareOp::Lt;
    case Tok::Le: return CompareOp::Le;
    case Tok::Gt: return CompareOp::Gt;
    case Tok::Ge: return CompareOp::Ge;
    default: return std::nullopt;
  }
}

Result<Predicate> parse_comparison(Cursor& c) {
  if (c.peek_is(Tok::LParen)) {
    (void)c.next();
    QM_ASSIGN(Predicate inner, parse_predicate(c));
    QM_TRY(c.expect(Tok::RParen));
    return inner;
  }
  QM_TRY(c.count_predicate_node(c.position()));
  std::string column;
  QM_TRY(c.column_ref(column));
  if (c.take_kw("between")) {
    QM_ASSIGN(Value low, c.value());
    QM_TRY(c.keyword("and"));
    QM_ASSIGN(Value high, c.value());
    return Predicate{BetweenPred{std::move(column), std::move(low), std::move(high), false}};
  }
  if (c.take_kw("in")) {
    QM_ASSIGN(auto values, parse_in_list(c));
    return Predicate{InPred{std::move(column), std::move(values), false}};
  }
  if (c.take_kw("is")) {
    bool negated = c.take_kw("not");
    QM_TRY(c.keyword("null"));
    return Predicate{IsNullPred{std::move(column), negated}};
  }
  if (c.take_kw("not")) {
    if (c.take_kw("in")) {
      QM_ASSIGN(auto values, parse_in_list(c));
      return Predicate{InPred{std::move(column), std::move(values), true}};
    }
    if (c.take_kw("between")) {
      QM_ASSIGN(Value low, c.value());
      QM_TRY(c.keyword("and"));
      QM_ASSIGN(Value high, c.value());
      return Predicate{BetweenPred{std::move(column), std::move(low), std::move(high), true}};
    }
    if (c.take_kw("like")) {
      QM_ASSIGN(Value pattern, c.value());
      return Predicate{ComparePred{std::move(column), CompareOp::NotLike, std::move(pattern)}};
    }
    return fail(c.err("expected IN, BETWEEN, or LIKE after NOT"));
  }
  QM_ASSIGN(const Token* t, c.next());
  std::optional<CompareOp> op = symbol_op(t->kind);
  if (!op && t->kind == Tok::Word && keyword_equals(t->raw, "like")) op = CompareOp::Like;
  if (!op) return fail(c.err_at(t->pos, "expected a comparison operator, found " + token_debug(*t)));
  QM_ASSIGN(Value v, c.value());
  return Predicate{ComparePred{std::move(column), *op, std::move(v)}};
}

Result<Predicate> parse_and(Cursor& c) {
  QM_ASSIGN(Predicate left, parse_comparison(c));
  while (c.peek_kw("and")) {
    QM_TRY(c.count_predicate_node(c.position()));
    (void)c.next();
    QM_ASSIGN(Predicate right, parse_comparison(c));
    left = Predicate{AndPred{std::move(left), std::move(right)}};
  }
  return left;
}

Result<HavingPred> parse_having_comparison(Cursor& c) {
  if (c.peek_is(Tok::LParen)) {
    (void)c.next();
    QM_ASSIGN(HavingPred inner, parse_having(c));
    QM_TRY(c.expect(Tok::RParen));
    return inner;
  }
  QM_TRY(c.count_predicate_node(c.position()));
  HavingTerm term;
  const Token* t = c.peek();
  if (t && t->kind == Tok::Word && agg_func(t->raw) && c.peek_is(Tok::LParen, 1)) {
    QM_ASSIGN(AggregateCall call, parse_aggregate(c));
    term = HavingAggregate{call.function, std::move(call.column)};
  } else {
    HavingColumn column;
    QM_TRY(c.column_ref(column.column));
    term = std::move(column);
  }
  QM_ASSIGN(const Token* op_tok, c.next());
  std::optional<CompareOp> op = symbol_op(op_tok->kind);
  if (!op) return fail(c.err_at(op_tok->pos, "expected a comparison operator, found " + token_debug(*op_tok)));
  QM_ASSIGN(Value v, c.value());
  return HavingPred{HavingCompare{std::move(term), *op, std::move(v)}};
}

Result<HavingPred> parse_having_and(Cursor& c) {
  QM_ASSIGN(HavingPred left, parse_having_comparison(c));
  while (c.peek_kw("and")) {
    QM_TRY(c.count_predicate_node(c.position()));
    (void)c.next();
    QM_ASSIGN(HavingPred right, parse_having_comparison(c));
    left = HavingPred{HavingAnd{std::move(left), std::move(right)}};
  }
  return left;
}

Result<ScalarExpr> parse_case(Cursor& c, size_t depth) {
  size_t case_pos = c.position();
  QM_TRY(c.keyword("case"));
  ScalarCase out;
  while (c.take_kw("when")) {
    QM_ASSIGN(Predicate condition, parse_predicate(c));
    QM_TRY(c.keyword("then"));
    QM_ASSIGN(ScalarExpr result, parse_scalar_expr_at_depth(c, depth + 1));
    out.branches.push_back(CaseBranch{std::move(condition), std::move(result)});
  }
  if (out.branches.empty()) return fail(c.err_at(case_pos, "CASE requires at least one WHEN branch"));
  if (c.take_kw("else")) {
    QM_ASSIGN(ScalarExpr else_result, parse_scalar_expr_at_depth(c, depth + 1));
    out.else_result = Box<ScalarExpr>(std::move(else_result));
  }
  QM_TRY(c.keyword("end"));
  return ScalarExpr{std::move(out)};
}

struct FunctionSpec {
  std::string_view name;  // upper case
  ScalarFunction function;
  size_t min_args;
  size_t max_args;  // SIZE_MAX: no upper bound
  const char* arity;
};

constexpr std::array<FunctionSpec, 7> kFunctions = {{
    {"ABS", ScalarFunction::Abs, 1, 1, "exactly one argument"},
    {"TRIM", ScalarFunction::Trim, 1, 1, "exactly one argument"},
    {"LOWER", ScalarFunction::Lower, 1, 1, "exactly one argument"},
    {"UPPER", ScalarFunction::Upper, 1, 1, "exactly one argument"},
    {"LENGTH", ScalarFunction::Length, 1, 1, "exactly one argument"},
    {"NULLIF", ScalarFunction::Nullif, 2, 2, "exactly two arguments"},
    {"COALESCE", ScalarFunction::Coalesce, 1, SIZE_MAX, "at least one argument"},
}};

}  // namespace

std::string ascii_upper(std::string_view word) {
  std::string out(word);
  for (char& ch : out)
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  return out;
}

std::optional<AggregateFunction> agg_func(std::string_view word) {
  if (keyword_equals(word, "count")) return AggregateFunction::Count;
  if (keyword_equals(word, "sum")) return AggregateFunction::Sum;
  if (keyword_equals(word, "min")) return AggregateFunction::Min;
  if (keyword_equals(word, "max")) return AggregateFunction::Max;
  if (keyword_equals(word, "avg")) return AggregateFunction::Avg;
  return std::nullopt;
}

Result<Predicate> parse_predicate(Cursor& c) {
  QM_ASSIGN(Predicate left, parse_and(c));
  while (c.peek_kw("or")) {
    QM_TRY(c.count_predicate_node(c.position()));
    (void)c.next();
    QM_ASSIGN(Predicate right, parse_and(c));
    left = Predicate{OrPred{std::move(left), std::move(right)}};
  }
  return left;
}

Result<HavingPred> parse_having(Cursor& c) {
  QM_ASSIGN(HavingPred left, parse_having_and(c));
  while (c.peek_kw("or")) {
    QM_TRY(c.count_predicate_node(c.position()));
    (void)c.next();
    QM_ASSIGN(HavingPred right, parse_having_and(c));
    left = HavingPred{HavingOr{std::move(left), std::move(right)}};
  }
  return left;
}

Result<AggregateCall> parse_aggregate(Cursor& c) {
  size_t name_pos = c.position();
  std::string name;
  QM_TRY(c.ident(name));
  std::optional<AggregateFunction> function = agg_func(name);
  if (!function) return fail(c.err_at(name_pos, "unknown aggregate `" + name + "`"));
  QM_TRY(c.expect(Tok::LParen));
  AggregateCall call{*function, std::nullopt};
  if (c.peek_is(Tok::Star)) {
    (void)c.next();
  } else {
    QM_TRY(c.column_ref(call.column.emplace()));
  }
  QM_TRY(c.expect(Tok::RParen));
  if (!call.column && call.function != AggregateFunction::Count)
    return fail(c.err_at(name_pos, "only COUNT(*) may use `*`; SUM/MIN/MAX need a column"));
  return call;
}

Result<ScalarExpr> parse_scalar_expr_at_depth(Cursor& c, size_t depth) {
  if (depth > kMaxScalarDepth)
    return fail(c.err("scalar expression nesting exceeds the " + std::to_string(kMaxScalarDepth) + "-level limit"));
  if (is_literal_start(c.peek())) {
    QM_ASSIGN(Value v, c.value());
    return ScalarExpr{ScalarLiteral{std::move(v)}};
  }
  if (c.peek_kw("case")) return parse_case(c, depth);
  size_t name_pos = c.position();
  std::string name;
  QM_TRY(c.column_ref(name));
  if (!c.peek_is(Tok::LParen)) return ScalarExpr{ScalarColumn{std::move(name)}};

  const FunctionSpec* spec = nullptr;
  std::string upper = ascii_upper(name);
  for (const auto& f : kFunctions)
    if (upper == f.name) spec = &f;
  if (!spec) return fail(c.err_at(name_pos, "unsupported scalar function `" + name + "`"));
  (void)c.next();  // the "("
  ScalarCall call{spec->function, {}};
  if (!c.peek_is(Tok::RParen)) {
    while (true) {
      QM_ASSIGN(ScalarExpr arg, parse_scalar_expr_at_depth(c, depth + 1));
      call.args.push_back(std::move(arg));
      if (!c.peek_is(Tok::Comma)) break;
      (void)c.next();
    }
  }
  QM_TRY(c.expect(Tok::RParen));
  if (call.args.size() < spec->min_args || call.args.size() > spec->max_args)
    return fail(c.err_at(name_pos, name + " expects " + spec->arity));
  return ScalarExpr{std::move(call)};
}

}  // namespace qm::sql
