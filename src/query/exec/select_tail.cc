#include "query/exec/select_tail.h"

#include "query/eval/grouping.h"
#include "query/eval/predicate.h"
#include "query/eval/projection.h"
#include "query/plan/join_plan.h"

namespace qm::db {

Result<RowsResult> select_tail(std::vector<std::string> names, std::vector<Row> rows, const sql::SelectBody& body) {
  if (body.where) {
    QM_TRY(check_predicate_columns(names, *body.where));
    const BoundPredicate bound = BoundPredicate::bind(*body.where, names);
    size_t kept = 0;
    for (Row& row : rows) {
      QM_ASSIGN(Truth t, bound.eval(row));
      if (t != Truth::True) continue;
      if (&rows[kept] != &row) rows[kept] = std::move(row);
      ++kept;
    }
    rows.resize(kept);
  }
  if (is_grouped(body)) {
    QM_ASSIGN(auto items, projection_to_items(body.projection));
    return project_grouped(names, std::move(rows), items, body.group_by, body.having ? &*body.having : nullptr,
                           body.order_by, body.distinct, body.limit, body.offset);
  }
  return project_select(std::move(names), std::move(rows), body.projection, body.order_by, body.distinct, body.limit,
                        body.offset);
}

}  // namespace qm::db
