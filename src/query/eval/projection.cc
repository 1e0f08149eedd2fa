#include "query/eval/projection.h"

#include <type_traits>

#include "query/eval/columns.h"
#include "query/eval/ordering.h"
#include "query/eval/scalar.h"

namespace qm::db {
namespace {

// Plain column list: resolved once, before any row (so a misspelling fails on no rows).
Result<void> project_columns(std::span<const std::string> names, std::vector<Row>& rows,
                             const std::vector<std::string>& columns) {
  std::vector<size_t> pos;
  pos.reserve(columns.size());
  for (const std::string& c : columns) {
    QM_ASSIGN(size_t p, projection_col_pos(names, c));
    pos.push_back(p);
  }
  // The last use of a source position may take the value instead of copying it.
  std::vector<bool> last_use(pos.size(), false);
  std::vector<bool> taken(names.size(), false);
  for (size_t i = pos.size(); i-- > 0;) {
    if (!taken[pos[i]]) last_use[i] = taken[pos[i]] = true;
  }
  for (Row& row : rows) {
    Row out;
    out.reserve(pos.size());
    for (size_t i = 0; i < pos.size(); ++i) {
      out.push_back(last_use[i] ? std::move(row[pos[i]]) : row[pos[i]]);
    }
    row = std::move(out);
  }
  return {};
}

// Select items: names are resolved only as rows are produced (so over no rows nothing
// is resolved), each column item once, at its first row.
Result<void> project_items(std::span<const std::string> names, std::vector<Row>& rows,
                           const std::vector<sql::SelectItem>& items) {
  std::vector<std::optional<size_t>> resolved(items.size());
  for (Row& row : rows) {
    Row out;
    out.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
      if (const auto* col = std::get_if<sql::SelectColumn>(&items[i].expr)) {
        if (!resolved[i]) {
          QM_ASSIGN(size_t p, projection_col_pos(names, col->column));
          resolved[i] = p;
        }
        out.push_back(row[*resolved[i]]);
      } else {
        const auto& scalar = std::get<sql::SelectScalar>(items[i].expr);
        QM_ASSIGN(Value v, eval_scalar(scalar.expr, names, row));
        out.push_back(std::move(v));
      }
    }
    row = std::move(out);
  }
  return {};
}

}  // namespace

Result<RowsResult> project_select(std::vector<std::string> names, std::vector<Row> rows,
                                  const sql::Projection& projection, std::span<const sql::OrderBy> order_by,
                                  bool distinct, std::optional<uint64_t> limit, uint64_t offset) {
  if (!order_by.empty()) {
    uint64_t k = UINT64_MAX;
    if (!distinct && limit) k = offset + *limit < offset ? UINT64_MAX : offset + *limit;
    if (k < rows.size()) {
      QM_TRY(take_top_n(rows, names, order_by, k));
    } else {
      QM_TRY(sort_rows(rows, names, order_by));
    }
  }

  RowsResult out;
  if (std::holds_alternative<sql::ProjectAll>(projection)) {
    out.columns = std::move(names);
  } else if (const auto* cols = std::get_if<sql::ProjectColumns>(&projection)) {
    QM_TRY(project_columns(names, rows, cols->columns));
    out.columns = cols->columns;
  } else {
    const auto& items = std::get<sql::ProjectItems>(projection).items;
    for (const sql::SelectItem& item : items) {
      if (std::holds_alternative<sql::SelectAggregate>(item.expr)) {
        return fail(QmError::query("aggregate projection requires the grouped execution path"));
      }
    }
    out.columns.reserve(items.size());
    for (const sql::SelectItem& item : items) {
      if (item.alias) {
        out.columns.push_back(*item.alias);
      } else if (const auto* col = std::get_if<sql::SelectColumn>(&item.expr)) {
        out.columns.push_back(col->column);
      } else {
        out.columns.push_back(scalar_label(std::get<sql::SelectScalar>(item.expr).expr));
      }
    }
    QM_TRY(project_items(names, rows, items));
  }

  if (distinct) dedup_rows(rows);
  apply_offset_limit(rows, limit, offset);
  out.rows = std::move(rows);
  return out;
}

Result<std::vector<sql::SelectItem>> projection_to_items(const sql::Projection& projection) {
  if (std::holds_alternative<sql::ProjectAll>(projection)) {
    return fail(QmError::query("SELECT * cannot be combined with GROUP BY or aggregates"));
  }
  if (const auto* cols = std::get_if<sql::ProjectColumns>(&projection)) {
    std::vector<sql::SelectItem> items;
    items.reserve(cols->columns.size());
    for (const std::string& c : cols->columns) items.push_back({sql::SelectColumn{c}, std::nullopt});
    return items;
  }
  return std::get<sql::ProjectItems>(projection).items;
}

std::optional<CountStarOnly> count_star_only(const sql::Projection& projection) {
  const auto* items = std::get_if<sql::ProjectItems>(&projection);
  if (!items || items->items.size() != 1) return std::nullopt;
  const auto* agg = std::get_if<sql::SelectAggregate>(&items->items[0].expr);
  if (!agg || agg->function != sql::AggregateFunction::Count || agg->column) return std::nullopt;
  return CountStarOnly{items->items[0].alias};
}

}  // namespace qm::db
