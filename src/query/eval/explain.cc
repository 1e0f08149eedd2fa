#include "query/eval/explain.h"

#include <type_traits>

#include "query/eval/columns.h"
#include "query/eval/predicate.h"

namespace qm::db::explain {

RowsResult plan_result(std::vector<PlanStep> steps) {
  RowsResult out;
  out.columns = {"step", "operation", "detail"};
  out.rows.reserve(steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    out.rows.push_back(Row{Value::integer(static_cast<int64_t>(i)), Value::text(std::move(steps[i].operation)),
                           Value::text(std::move(steps[i].detail))});
  }
  return out;
}

void append_limit(std::vector<PlanStep>& steps, std::optional<uint64_t> limit, uint64_t offset) {
  if (offset != 0) steps.push_back({"offset", std::to_string(offset)});
  if (limit) steps.push_back({"limit", std::to_string(*limit)});
}

std::optional<IndexAccess> index_access(const sql::Predicate& predicate,
                                        const std::function<bool(const std::string&)>& has_index) {
  using sql::CompareOp;
  if (const auto* c = std::get_if<sql::ComparePred>(&predicate.node)) {
    if (!has_index(c->column)) return std::nullopt;
    switch (c->op) {
      case CompareOp::Eq: return IndexAccess{"index lookup", c->column};
      case CompareOp::Lt:
      case CompareOp::Le:
      case CompareOp::Gt:
      case CompareOp::Ge: return IndexAccess{"index range scan", c->column};
      default: return std::nullopt;
    }
  }
  if (const auto* b = std::get_if<sql::BetweenPred>(&predicate.node)) {
    if (b->negated || !has_index(b->column)) return std::nullopt;
    return IndexAccess{"index range scan", b->column};
  }
  if (const auto* a = std::get_if<sql::AndPred>(&predicate.node)) {
    if (auto left = index_access(*a->left, has_index)) return left;
    return index_access(*a->right, has_index);
  }
  return std::nullopt;
}

std::string sort_detail(std::span<const sql::OrderBy> order_by) {
  std::string out;
  for (size_t i = 0; i < order_by.size(); ++i) {
    if (i) out += ", ";
    out += order_by[i].column;
    out += order_by[i].descending ? " DESC" : " ASC";
  }
  return out;
}

Result<void> check_scalar(std::span<const std::string> names, const sql::ScalarExpr& expr) {
  return std::visit(
      [&](const auto& n) -> Result<void> {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, sql::ScalarColumn>) {
          QM_TRY(projection_col_pos(names, n.column));
        } else if constexpr (std::is_same_v<T, sql::ScalarCall>) {
          for (const sql::ScalarExpr& arg : n.args) QM_TRY(check_scalar(names, arg));
        } else if constexpr (std::is_same_v<T, sql::ScalarCase>) {
          for (const sql::CaseBranch& branch : n.branches) {
            QM_TRY(check_predicate_columns(names, branch.condition));
            QM_TRY(check_scalar(names, branch.result));
          }
          if (n.else_result) QM_TRY(check_scalar(names, **n.else_result));
        }
        return {};
      },
      expr.node);
}

Result<void> check_projection(std::span<const std::string> names, const sql::Projection& projection) {
  if (const auto* cols = std::get_if<sql::ProjectColumns>(&projection)) {
    for (const std::string& c : cols->columns) QM_TRY(projection_col_pos(names, c));
  } else if (const auto* items = std::get_if<sql::ProjectItems>(&projection)) {
    for (const sql::SelectItem& item : items->items) {
      if (const auto* col = std::get_if<sql::SelectColumn>(&item.expr)) {
        QM_TRY(projection_col_pos(names, col->column));
      } else if (const auto* agg = std::get_if<sql::SelectAggregate>(&item.expr)) {
        if (agg->column) QM_TRY(projection_col_pos(names, *agg->column));
      } else {
        QM_TRY(check_scalar(names, std::get<sql::SelectScalar>(item.expr).expr));
      }
    }
  }
  return {};
}

}  // namespace qm::db::explain
