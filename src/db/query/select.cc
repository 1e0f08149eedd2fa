// SELECT over one table: the choice of row path, in a fixed order (COUNT(*) over envelopes,
// an ordered index read, the grouped paths, the filtered read) and the projection tail.
// Every path reads at the statement's snapshot: BEFORE n when given, else the clock.
#include <algorithm>

#include "db/database.h"
#include "db/exec/grouping.h"
#include "db/exec/projection.h"
#include "db/exec/streaming_aggregate.h"
#include "db/query/chain_scan.h"
#include "db/query/dispatch_internal.h"

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

uint64_t saturating_add(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

// One pass over the table folding every visible row into its group; only groups are kept.
Result<RowsResult> select_streaming_aggregate(Database& db, std::string_view table_name,
                                              std::optional<uint64_t> snapshot, std::vector<query::SelectItem> items,
                                              std::span<const std::string> group_by,
                                              std::span<const query::OrderBy> order_by, bool distinct,
                                              std::optional<uint64_t> limit, uint64_t offset, QueryBudget* budget) {
  auto it = db.tables.find(table_name);
  if (it == db.tables.end()) return fail(QmError::table_not_found(std::string(table_name)));
  const Table& table = it->second;
  QM_ASSIGN(auto groups,
            aggregate::StreamingGroups::prepare(table.columns, std::move(items), group_by, order_by, budget));
  const uint64_t at = snapshot.value_or(db.clock);
  QM_TRY(scan(db.cache, table, db.cas,
              [&](const RecordVersion& v) { return groups.step(budget, at, v.created_tx, v.deleted_tx, v.values); }));
  return std::move(groups).finish(budget, order_by, distinct, limit, offset);
}

}  // namespace

Result<QueryResult> select_single(Database& db, const query::SelectSingleStmt& stmt, QueryBudget* budget) {
  const query::SelectBody& body = stmt.body;
  const bool grouped = is_grouped(body);

  if (auto count = count_star_only(body.projection); count && !body.where && body.group_by.empty() && !body.having &&
                                                     body.order_by.empty() && !body.limit && body.offset == 0 &&
                                                     !body.distinct) {
    QM_ASSIGN(uint64_t n, db.count_visible(stmt.table, body.before, budget));
    RowsResult out;
    out.columns.push_back(count->alias.value_or("count"));
    out.rows.push_back(Row{Value::integer(n > INT64_MAX ? INT64_MAX : static_cast<int64_t>(n))});
    return out;
  }

  if (!grouped && !body.where && !body.distinct && body.order_by.size() == 1) {
    const query::OrderBy& key = body.order_by.front();
    if (db.has_index(stmt.table, key.column)) {
      std::optional<uint64_t> stop;
      if (body.limit) stop = saturating_add(body.offset, *body.limit);
      QM_ASSIGN(RowsResult source,
                db.select_ordered_by_index(stmt.table, key.column, key.descending, body.before, stop, budget));
      QM_ASSIGN(RowsResult out, project_select(std::move(source.columns), std::move(source.rows), body.projection,
                                               body.order_by, body.distinct, body.limit, body.offset));
      return out;
    }
  }

  if (grouped) {
    if (body.where || body.having) {
      QM_ASSIGN(RowsResult source,
                db.select_filtered_bounded(stmt.table, body.where ? &*body.where : nullptr, body.before, budget));
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

  QM_ASSIGN(RowsResult source,
            db.select_filtered_bounded(stmt.table, body.where ? &*body.where : nullptr, body.before, budget));
  QM_ASSIGN(RowsResult out, project_select(std::move(source.columns), std::move(source.rows), body.projection,
                                           body.order_by, body.distinct, body.limit, body.offset));
  return out;
}

Result<QueryResult> select_general(Database&, const query::SelectStmt&, QueryBudget*) {
  return fail(QmError::query("SELECT with a table alias or JOIN is not supported by this build"));
}

Result<QueryResult> explain(Database&, const query::ExplainStmt&, QueryBudget*) {
  return fail(QmError::query("EXPLAIN is not supported by this build"));
}

}  // namespace qm::db::dispatch
