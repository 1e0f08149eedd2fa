// SELECT over one table: the choice of row path, in a fixed order (COUNT(*) over envelopes,
// an ordered index read, the grouped paths, the filtered read) and the projection tail.
// Every path reads at the statement's snapshot: BEFORE n when given, else the clock.
#include <algorithm>

#include "query/exec/executor.h"
#include "query/eval/grouping.h"
#include "query/eval/projection.h"
#include "query/statements/dispatch_internal.h"
#include "query/plan/explain_plan.h"

namespace qm::db::dispatch {
namespace {

bool has_aggregate_item(const query::Projection& projection) {
  auto* items = std::get_if<query::ProjectItems>(&projection);
  if (!items) return false;
  return std::any_of(items->items.begin(), items->items.end(), [](const query::SelectItem& item) {
    return std::holds_alternative<query::SelectAggregate>(item.expr);
  });
}

bool is_grouped(const query::SelectBody& body) {
  return !body.group_by.empty() || body.having.has_value() || has_aggregate_item(body.projection);
}



}  // namespace

Result<QueryResult> select_single(Database& db, const query::SelectSingleStmt& stmt, QueryBudget* budget) {
  const query::SelectBody& body = stmt.body;
  const bool grouped = is_grouped(body);

  if (auto count = count_star_only(body.projection); count && !body.where && body.group_by.empty() && !body.having &&
                                                     body.order_by.empty() && !body.limit && body.offset == 0 &&
                                                     !body.distinct) {
    QM_ASSIGN(uint64_t n, count_visible(db, stmt.table, body.before, budget));
    RowsResult out;
    out.columns.push_back(count->alias.value_or("count"));
    out.rows.push_back(Row{Value::integer(n > INT64_MAX ? INT64_MAX : static_cast<int64_t>(n))});
    return out;
  }

  if (!grouped && !body.where && !body.distinct && body.order_by.size() == 1) {
    const query::OrderBy& key = body.order_by.front();
    if (db.catalog().has_index(stmt.table, key.column)) {
      std::optional<uint64_t> stop;
      if (body.limit) stop = saturating_add(body.offset, *body.limit);
      QM_ASSIGN(RowsResult source,
                select_ordered_by_index(db, stmt.table, key.column, key.descending, body.before, stop, budget));
      QM_ASSIGN(RowsResult out, project_select(std::move(source.columns), std::move(source.rows), body.projection,
                                               body.order_by, body.distinct, body.limit, body.offset));
      return out;
    }
  }

  if (grouped) {
    if (body.where || body.having) {
      QM_ASSIGN(RowsResult source,
                select_filtered_bounded(db, stmt.table, body.where ? &*body.where : nullptr, body.before, budget));
      QM_ASSIGN(auto items, projection_to_items(body.projection));
      QM_ASSIGN(RowsResult out, project_grouped(source.columns, std::move(source.rows), items, body.group_by,
                                                body.having ? &*body.having : nullptr, body.order_by, body.distinct,
                                                body.limit, body.offset));
      return out;
    }
    QM_ASSIGN(auto items, projection_to_items(body.projection));
    QM_ASSIGN(RowsResult out,
              select_streaming_aggregate(db, stmt.table, body.before, std::move(items), body.group_by, body.order_by,
                                            body.distinct, body.limit, body.offset, budget));
    return out;
  }

  if (!body.distinct && body.order_by.empty()) {
    QM_ASSIGN(std::optional<RowsResult> streamed, select_streamed(db, stmt, budget));
    if (streamed) return std::move(*streamed);
  }

  // ORDER BY with a small LIMIT (and no DISTINCT, which needs every row before the limit):
  // only the first offset + limit rows of the sort are kept while reading. The tail below
  // sorts those again, which leaves them as they are. A budget charges every kept row, so a
  // budgeted read keeps the plain path.
  if (!budget && !body.order_by.empty() && !body.distinct && body.limit) {
    const uint64_t k = saturating_add(body.offset, *body.limit);
    if (k > 0 && k <= kTopNRowsKeptWhileReading) {
      QM_ASSIGN(RowsResult source, select_filtered_top_n(db, stmt.table, body.where ? &*body.where : nullptr,
                                                            body.before, body.order_by, k));
      QM_ASSIGN(RowsResult out, project_select(std::move(source.columns), std::move(source.rows), body.projection,
                                               body.order_by, body.distinct, body.limit, body.offset));
      return out;
    }
  }

  QM_ASSIGN(RowsResult source,
            select_filtered_bounded(db, stmt.table, body.where ? &*body.where : nullptr, body.before, budget));
  QM_ASSIGN(RowsResult out, project_select(std::move(source.columns), std::move(source.rows), body.projection,
                                           body.order_by, body.distinct, body.limit, body.offset));
  return out;
}

Result<QueryResult> select_general(Database& db, const query::SelectStmt& stmt, QueryBudget* budget) {
  QM_ASSIGN(RowsResult out, select_join(db, stmt, budget));
  return out;
}

Result<QueryResult> explain(Database& db, const query::ExplainStmt& stmt, QueryBudget* budget) {
  Result<QueryResult> out = explain_statement(db, *stmt.statement);
  // The plan rows are charged as any materialised rows are.
  if (out && budget) {
    if (const auto* plan = std::get_if<RowsResult>(&*out))
      for (const Row& row : plan->rows) QM_TRY(budget->materialize(row));
  }
  return out;
}

}  // namespace qm::db::dispatch
