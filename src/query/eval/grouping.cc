#include "query/eval/grouping.h"

#include <algorithm>
#include <map>
#include <numeric>
#include <type_traits>

#include "query/eval/aggregate.h"
#include "query/eval/columns.h"
#include "query/eval/ordering.h"
#include "query/eval/value_compare.h"

namespace qm::db {

Result<Value> compute_one_aggregate(const sql::SelectAggregate& aggregate, std::span<const std::string> names,
                                    std::span<const Row> rows) {
  if (!aggregate.column) {
    if (aggregate.function != sql::AggregateFunction::Count) {
      return fail(QmError::query("non-COUNT aggregates require a column"));
    }
    return Value::integer(static_cast<int64_t>(rows.size()));
  }
  QM_ASSIGN(size_t pos, projection_col_pos(names, *aggregate.column));
  aggregate::Accumulator acc;
  for (const Row& row : rows) QM_TRY(acc.add(aggregate.function, &row[pos]));
  return acc.finish(aggregate.function);
}

Result<bool> eval_having(const sql::HavingPred& having, std::span<const std::string> out_names,
                         std::span<const Value> out_row, std::span<const std::string> names,
                         std::span<const Row> rows) {
  return std::visit(
      [&](const auto& n) -> Result<bool> {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, sql::HavingAnd>) {
          QM_ASSIGN(bool l, eval_having(*n.left, out_names, out_row, names, rows));
          if (!l) return false;
          return eval_having(*n.right, out_names, out_row, names, rows);
        } else if constexpr (std::is_same_v<T, sql::HavingOr>) {
          QM_ASSIGN(bool l, eval_having(*n.left, out_names, out_row, names, rows));
          if (l) return true;
          return eval_having(*n.right, out_names, out_row, names, rows);
        } else {
          if (const auto* agg = std::get_if<sql::HavingAggregate>(&n.term)) {
            QM_ASSIGN(Value v, compute_one_aggregate({agg->function, agg->column}, names, rows));
            return eval_compare(v, n.op, n.value);
          }
          QM_ASSIGN(size_t pos, projection_col_pos(out_names, std::get<sql::HavingColumn>(n.term).column));
          return eval_compare(out_row[pos], n.op, n.value);
        }
      },
      having.node);
}

Result<GroupedShape> grouped_shape(std::span<const std::string> names, std::span<const sql::SelectItem> items,
                                   std::span<const std::string> group_by) {
  GroupedShape shape;
  shape.group_pos.reserve(group_by.size());
  for (const std::string& g : group_by) {
    QM_ASSIGN(size_t p, projection_col_pos(names, g));
    shape.group_pos.push_back(p);
  }
  shape.key_index.resize(items.size());
  shape.columns.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    const sql::SelectItem& item = items[i];
    if (const auto* col = std::get_if<sql::SelectColumn>(&item.expr)) {
      QM_ASSIGN(size_t p, projection_col_pos(names, col->column));
      auto it = std::find(shape.group_pos.begin(), shape.group_pos.end(), p);
      if (it == shape.group_pos.end()) {
        return fail(QmError::schema("column `" + col->column + "` must appear in GROUP BY or inside an aggregate"));
      }
      shape.key_index[i] = static_cast<size_t>(it - shape.group_pos.begin());
    } else if (std::holds_alternative<sql::SelectScalar>(item.expr)) {
      return fail(QmError::query("scalar expressions cannot yet be mixed with GROUP BY or aggregates"));
    }
  }
  for (const sql::SelectItem& item : items) {
    if (item.alias) {
      shape.columns.push_back(*item.alias);
    } else if (const auto* col = std::get_if<sql::SelectColumn>(&item.expr)) {
      shape.columns.push_back(col->column);
    } else {
      const auto& agg = std::get<sql::SelectAggregate>(item.expr);
      shape.columns.push_back(sql::agg_label(agg.function, agg.column));
    }
  }
  return shape;
}

Result<void> grouped_tail(std::vector<Row>& rows, std::span<const std::string> out_names,
                          std::span<const sql::OrderBy> order_by, bool distinct, std::optional<uint64_t> limit,
                          uint64_t offset) {
  QM_TRY(sort_rows(rows, out_names, order_by));
  if (distinct) dedup_rows(rows);
  apply_offset_limit(rows, limit, offset);
  return {};
}

Result<RowsResult> project_grouped(std::span<const std::string> names, std::vector<Row> rows,
                                   std::span<const sql::SelectItem> items, std::span<const std::string> group_by,
                                   const sql::HavingPred* having, std::span<const sql::OrderBy> order_by,
                                   bool distinct, std::optional<uint64_t> limit, uint64_t offset) {
  QM_ASSIGN(GroupedShape shape, grouped_shape(names, items, group_by));

  // Each row's group, found through an ordered map of the distinct keys (only a new key
  // is copied); then the rows are moved group by group in ascending key order, each group
  // keeping its rows in input order.
  std::vector<std::pair<size_t, size_t>> groups;
  if (shape.group_pos.empty()) {
    groups.emplace_back(0, rows.size());
  } else if (!rows.empty()) {
    std::map<Row, uint32_t, GroupKeyLess> ids;
    std::vector<uint32_t> group_of(rows.size());
    std::vector<size_t> sizes;
    for (size_t i = 0; i < rows.size(); ++i) {
      auto it = ids.find(GroupKeyView{rows[i], shape.group_pos});
      if (it == ids.end()) {
        Row key;
        key.reserve(shape.group_pos.size());
        for (size_t p : shape.group_pos) key.push_back(rows[i][p]);
        it = ids.emplace(std::move(key), static_cast<uint32_t>(sizes.size())).first;
        sizes.push_back(0);
      }
      group_of[i] = it->second;
      ++sizes[it->second];
    }
    std::vector<size_t> start(sizes.size());
    size_t at = 0;
    for (const auto& entry : ids) {
      start[entry.second] = at;
      groups.emplace_back(at, at + sizes[entry.second]);
      at += sizes[entry.second];
    }
    std::vector<Row> ordered(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) ordered[start[group_of[i]]++] = std::move(rows[i]);
    rows = std::move(ordered);
  }

  std::vector<Row> out;
  out.reserve(groups.size());
  for (auto [begin, end] : groups) {
    std::span<const Row> group(rows.data() + begin, end - begin);
    Row out_row;
    out_row.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      if (shape.key_index[i]) {
        out_row.push_back(group.front()[shape.group_pos[*shape.key_index[i]]]);
      } else {
        QM_ASSIGN(Value v, compute_one_aggregate(std::get<sql::SelectAggregate>(items[i].expr), names, group));
        out_row.push_back(std::move(v));
      }
    }
    if (having) {
      QM_ASSIGN(bool keep, eval_having(*having, shape.columns, out_row, names, group));
      if (!keep) continue;
    }
    out.push_back(std::move(out_row));
  }
  rows.clear();

  QM_TRY(grouped_tail(out, shape.columns, order_by, distinct, limit, offset));
  return RowsResult{std::move(shape.columns), std::move(out)};
}

}  // namespace qm::db
