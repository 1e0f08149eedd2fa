#include "query/eval/streaming_aggregate.h"

#include "query/eval/columns.h"
#include "query/eval/grouping.h"

namespace qm::db::aggregate {

Result<StreamingGroups> StreamingGroups::prepare(std::span<const std::string> names,
                                                 std::vector<sql::SelectItem> items,
                                                 std::span<const std::string> group_by,
                                                 std::span<const sql::OrderBy> order_by, QueryBudget* budget) {
  QM_ASSIGN(GroupedShape shape, grouped_shape(names, items, group_by));
  StreamingGroups out;
  auto resolve_aggregates = [&]() -> Result<void> {
    out.source_pos_.resize(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      const auto* agg = std::get_if<sql::SelectAggregate>(&items[i].expr);
      if (!agg) continue;
      if (agg->column) {
        QM_ASSIGN(size_t p, projection_col_pos(names, *agg->column));
        out.source_pos_[i] = p;
      } else if (agg->function != sql::AggregateFunction::Count) {
        return fail(QmError::query("non-COUNT aggregates require a column"));
      }
    }
    return {};
  };
  // The errors come in the order the collected-rows path over no rows gives them: without
  // GROUP BY it computes the one (empty) group's aggregates before ordering.
  if (group_by.empty()) QM_TRY(resolve_aggregates());
  std::vector<Row> none;
  QM_TRY(grouped_tail(none, shape.columns, order_by, false, std::nullopt, 0));
  if (!group_by.empty()) QM_TRY(resolve_aggregates());
  out.width_ = names.size();
  out.items_ = std::move(items);
  out.group_pos_ = std::move(shape.group_pos);
  out.key_index_ = std::move(shape.key_index);
  out.columns_ = std::move(shape.columns);
  if (out.group_pos_.empty()) QM_TRY(out.new_group(budget, Row{}));
  return out;
}

Result<std::vector<Accumulator>*> StreamingGroups::new_group(QueryBudget* budget, Row key) {
  QM_TRY(charge_group(budget, key, items_.size()));
  auto [it, inserted] = groups_.emplace(std::move(key), std::vector<Accumulator>(items_.size()));
  return &it->second;
}

Result<void> StreamingGroups::step(QueryBudget* budget, uint64_t snapshot, uint64_t created, uint64_t deleted,
                                   std::span<const Value> row) {
  if (budget) QM_TRY(budget->scan_row());
  if (!visible_at(snapshot, created, deleted)) return {};
  if (row.size() < width_) return fail(short_row());

  std::vector<Accumulator>* accs;
  if (group_pos_.empty()) {
    accs = &groups_.begin()->second;
  } else {
    auto it = groups_.find(GroupKeyView{row, group_pos_});
    if (it != groups_.end()) {
      accs = &it->second;
    } else {
      Row key;
      key.reserve(group_pos_.size());
      for (size_t p : group_pos_) key.push_back(row[p]);
      QM_ASSIGN(accs, new_group(budget, std::move(key)));
    }
  }

  for (size_t i = 0; i < items_.size(); ++i) {
    const auto* agg = std::get_if<sql::SelectAggregate>(&items_[i].expr);
    if (!agg) continue;
    const Value* input = source_pos_[i] ? &row[*source_pos_[i]] : nullptr;
    bool extreme = agg->function == sql::AggregateFunction::Min || agg->function == sql::AggregateFunction::Max;
    if (budget && extreme && input && (input->is_text() || input->is_blob())) {
      QM_TRY(budget->materialize_value("aggregate extreme", *input));
    }
    QM_TRY((*accs)[i].add(agg->function, input));
  }
  return {};
}

Result<RowsResult> StreamingGroups::finish(QueryBudget* budget, std::span<const sql::OrderBy> order_by,
                                           bool distinct, std::optional<uint64_t> limit, uint64_t offset) && {
  std::vector<Row> rows;
  rows.reserve(groups_.size());
  for (auto& [key, accs] : groups_) {
    Row out;
    out.reserve(items_.size());
    for (size_t i = 0; i < items_.size(); ++i) {
      if (key_index_[i]) {
        out.push_back(key[*key_index_[i]]);
      } else {
        QM_ASSIGN(Value v, accs[i].finish(std::get<sql::SelectAggregate>(items_[i].expr).function));
        out.push_back(std::move(v));
      }
    }
    if (budget) QM_TRY(budget->materialize(out));
    rows.push_back(std::move(out));
  }
  groups_.clear();
  QM_TRY(grouped_tail(rows, columns_, order_by, distinct, limit, offset));
  return RowsResult{std::move(columns_), std::move(rows)};
}

}  // namespace qm::db::aggregate
