// SELECT over one table: the row path its SelectPlan chose (query/plan/select_plan.h), then
// the projection tail. Every path reads at the statement's snapshot: BEFORE n when given,
// else the clock.
#include "query/exec/executor.h"
#include "query/eval/grouping.h"
#include "query/eval/projection.h"
#include "query/statements/dispatch_internal.h"
#include "query/plan/explain_plan.h"
#include "query/plan/select_plan.h"

namespace qm::db::dispatch {

Result<QueryResult> select_single(Database& db, const sql::SelectSingleStmt& stmt, QueryBudget* budget) {
  const sql::SelectBody& body = stmt.body;
  const SelectPlan plan = plan_select(db.catalog().find(stmt.table), stmt, budget != nullptr);
  const sql::Predicate* where = body.where ? &*body.where : nullptr;
  switch (plan.path) {
    case SelectPlan::Path::Count: {
      QM_ASSIGN(uint64_t n, count_visible(db, stmt.table, body.before, budget));
      RowsResult out;
      out.columns.push_back(count_star_only(body.projection)->alias.value_or("count"));
      out.rows.push_back(Row{Value::integer(n > INT64_MAX ? INT64_MAX : static_cast<int64_t>(n))});
      return out;
    }
    case SelectPlan::Path::Ordered: {
      QM_ASSIGN(RowsResult source, select_ordered_by_index(db, stmt.table, plan.order_key->column,
                                                           plan.order_key->descending, body.before, plan.stop, budget));
      QM_ASSIGN(RowsResult out, project_select(std::move(source.columns), std::move(source.rows), body.projection,
                                               body.order_by, body.distinct, body.limit, body.offset));
      return out;
    }
    case SelectPlan::Path::Grouped: {
      QM_ASSIGN(auto items, projection_to_items(body.projection));
      if (plan.streaming_aggregate) {
        QM_ASSIGN(RowsResult out,
                  select_streaming_aggregate(db, stmt.table, body.before, std::move(items), body.group_by,
                                             body.order_by, body.distinct, body.limit, body.offset, budget));
        return out;
      }
      QM_ASSIGN(RowsResult source, select_filtered_bounded(db, stmt.table, where, body.before, budget));
      QM_ASSIGN(RowsResult out, project_grouped(source.columns, std::move(source.rows), items, body.group_by,
                                                body.having ? &*body.having : nullptr, body.order_by, body.distinct,
                                                body.limit, body.offset));
      return out;
    }
    case SelectPlan::Path::Rows:
      break;
  }
  if (plan.try_streamed) {
    QM_ASSIGN(std::optional<RowsResult> streamed, select_streamed(db, stmt, budget));
    if (streamed) return std::move(*streamed);
  }
  // The top-N read returns its rows in sort order; the tail sorts them again, which leaves
  // them as they are.
  QM_ASSIGN(RowsResult source, plan.top_n
                                   ? select_filtered_top_n(db, stmt.table, where, body.before, body.order_by, *plan.top_n)
                                   : select_filtered_bounded(db, stmt.table, where, body.before, budget));
  QM_ASSIGN(RowsResult out, project_select(std::move(source.columns), std::move(source.rows), body.projection,
                                           body.order_by, body.distinct, body.limit, body.offset));
  return out;
}

Result<QueryResult> select_general(Database& db, const sql::SelectStmt& stmt, QueryBudget* budget) {
  QM_ASSIGN(RowsResult out, select_join(db, stmt, budget));
  return out;
}

Result<QueryResult> explain(Database& db, const sql::ExplainStmt& stmt, QueryBudget* budget) {
  Result<QueryResult> out = explain_statement(db, *stmt.statement);
  // The plan rows are charged as any materialised rows are.
  if (out && budget) {
    if (const auto* plan = std::get_if<RowsResult>(&*out))
      for (const Row& row : plan->rows) QM_TRY(budget->materialize(row));
  }
  return out;
}

}  // namespace qm::db::dispatch
