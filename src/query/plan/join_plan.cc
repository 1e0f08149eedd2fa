#include "query/plan/join_plan.h"

#include <algorithm>
#include <type_traits>

#include "query/eval/columns.h"
#include "query/eval/predicate.h"

namespace qm::db {

std::vector<std::string> qualified_names(std::string_view qualifier, std::span<const std::string> columns) {
  std::vector<std::string> out;
  out.reserve(columns.size());
  for (const std::string& c : columns) {
    std::string name;
    name.reserve(qualifier.size() + 1 + c.size());
    name.append(qualifier).push_back('.');
    name.append(c);
    out.push_back(std::move(name));
  }
  return out;
}

std::optional<sql::Predicate> source_predicate(const sql::Predicate& predicate, std::string_view qualifier) {
  auto strip = [&](const std::string& column) -> std::optional<std::string> {
    if (column.size() > qualifier.size() + 1 && column.starts_with(qualifier) && column[qualifier.size()] == '.')
      return column.substr(qualifier.size() + 1);
    return std::nullopt;
  };
  return std::visit(
      [&](const auto& node) -> std::optional<sql::Predicate> {
        using T = std::decay_t<decltype(node)>;
        if constexpr (std::is_same_v<T, sql::AndPred>) {
          auto l = source_predicate(*node.left, qualifier);
          auto r = source_predicate(*node.right, qualifier);
          if (!l) return r;
          if (!r) return l;
          return sql::Predicate{sql::AndPred{std::move(*l), std::move(*r)}};
        } else if constexpr (std::is_same_v<T, sql::OrPred>) {
          auto l = source_predicate(*node.left, qualifier);
          if (!l) return std::nullopt;
          auto r = source_predicate(*node.right, qualifier);
          if (!r) return std::nullopt;
          return sql::Predicate{sql::OrPred{std::move(*l), std::move(*r)}};
        } else {
          auto bare = strip(node.column);
          if (!bare) return std::nullopt;
          T copy = node;
          copy.column = std::move(*bare);
          return sql::Predicate{std::move(copy)};
        }
      },
      predicate.node);
}

Result<std::pair<size_t, size_t>> resolve_join_keys(std::span<const std::string> earlier,
                                                    std::span<const std::string> joined, std::string_view left,
                                                    std::string_view right) {
  const auto left_earlier = column_matches(earlier, left);
  const auto left_joined = column_matches(joined, left);
  const auto right_earlier = column_matches(earlier, right);
  const auto right_joined = column_matches(joined, right);
  // Written order first: `earlier = joined`; then the reverse.
  if (left_earlier.size() == 1 && right_joined.size() == 1) return std::pair{left_earlier[0], right_joined[0]};
  if (right_earlier.size() == 1 && left_joined.size() == 1) return std::pair{right_earlier[0], left_joined[0]};
  auto ambiguous = [](std::string_view name) {
    std::string msg = "ambiguous join column `";
    msg.append(name).push_back('`');
    return QmError::schema(std::move(msg));
  };
  if (left_earlier.size() > 1 || left_joined.size() > 1) return fail(ambiguous(left));
  if (right_earlier.size() > 1 || right_joined.size() > 1) return fail(ambiguous(right));
  std::string msg =
      "JOIN ON must compare one column from the joined relation with one earlier column; could not resolve `";
  msg.append(left).append(" = ").append(right).push_back('`');
  return fail(QmError::schema(std::move(msg)));
}

bool is_grouped(const sql::SelectBody& body) {
  if (!body.group_by.empty() || body.having) return true;
  const auto* items = std::get_if<sql::ProjectItems>(&body.projection);
  return items && std::any_of(items->items.begin(), items->items.end(), [](const sql::SelectItem& item) {
           return std::holds_alternative<sql::SelectAggregate>(item.expr);
         });
}

Result<JoinPlan> plan_join(const TableMap& tables, const sql::SelectStmt& stmt) {
  JoinPlan plan;
  auto from = tables.find(stmt.from.name);
  if (from == tables.end()) return fail(QmError::table_not_found(stmt.from.name));
  plan.driving = &from->second;
  plan.names = qualified_names(stmt.from.qualifier(), plan.driving->columns);
  plan.joins.reserve(stmt.joins.size());
  for (const sql::JoinClause& clause : stmt.joins) {
    auto it = tables.find(clause.table);
    if (it == tables.end()) return fail(QmError::table_not_found(clause.table));
    const Table& right = it->second;
    std::vector<std::string> right_names = qualified_names(clause.qualifier(), right.columns);
    QM_ASSIGN(auto keys, resolve_join_keys(plan.names, right_names, clause.left_column, clause.right_column));
    if (keys.second >= right.columns.size())
      return fail(QmError::corruption("join key is outside the right table schema"));
    JoinStep step;
    step.clause = &clause;
    step.table = &right;
    step.left_pos = keys.first;
    step.right_pos = keys.second;
    step.indexed = right.indexes.contains(right.columns[keys.second]);
    plan.joins.push_back(step);
    plan.names.insert(plan.names.end(), std::make_move_iterator(right_names.begin()),
                      std::make_move_iterator(right_names.end()));
  }
  if (stmt.body.where) {
    QM_TRY(check_predicate_columns(plan.names, *stmt.body.where));
    plan.source = source_predicate(*stmt.body.where, stmt.from.qualifier());
  }
  return plan;
}

}  // namespace qm::db
