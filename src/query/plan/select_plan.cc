#include "query/plan/select_plan.h"

#include "core/saturating.h"
#include "query/eval/projection.h"
#include "query/plan/join_plan.h"
#include "table/limits.h"

namespace qm::db {

SelectPlan plan_select(const Table* table, const sql::SelectSingleStmt& stmt, bool budgeted) {
  const sql::SelectBody& body = stmt.body;
  SelectPlan plan;
  const bool grouped = is_grouped(body);
  if (count_star_only(body.projection) && !body.where && body.group_by.empty() && !body.having &&
      body.order_by.empty() && !body.limit && body.offset == 0 && !body.distinct) {
    plan.path = SelectPlan::Path::Count;
    return plan;
  }
  if (!grouped && !body.where && !body.distinct && body.order_by.size() == 1 && table &&
      table->indexes.contains(body.order_by.front().column)) {
    plan.path = SelectPlan::Path::Ordered;
    plan.order_key = &body.order_by.front();
    if (body.limit) plan.stop = saturating_add(body.offset, *body.limit);
    return plan;
  }
  if (grouped) {
    plan.path = SelectPlan::Path::Grouped;
    plan.streaming_aggregate = !body.where && !body.having;
    return plan;
  }
  plan.try_streamed = !body.distinct && body.order_by.empty();
  // ORDER BY with a small LIMIT (and no DISTINCT, which needs every row before the limit):
  // only the first offset + limit rows of the sort are kept while reading. A budget charges
  // every kept row, so a budgeted read keeps the plain path.
  if (!budgeted && !body.order_by.empty() && !body.distinct && body.limit) {
    const uint64_t k = saturating_add(body.offset, *body.limit);
    if (k > 0 && k <= kTopNRowsKeptWhileReading) plan.top_n = k;
  }
  return plan;
}

}  // namespace qm::db
