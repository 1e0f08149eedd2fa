// A retrieval request against the database: the request's one SELECT runs here through the
// budgeted query path; reading the request, the candidate lists, fusion and the response
// are the retrieval library's. Nothing here writes.
//
// A SELECT of current rows in chain order (no ORDER BY) is read for what the request needs
// alone: the id column and the columns searched ad hoc, or the ids alone when every list
// names an index. Its rows, their order, its errors and its budget charges are those of the
// general path (each kept row is charged whole, from its stored field lengths), so the
// answer is the same; any other shape runs through the general query path.
#include <algorithm>
#include <atomic>
#include <memory>

#include "query/statements/statements.h"

#include "db/database.h"
#include "query/eval/columns.h"
#include "query/exec/filtered_read.h"
#include "table/text.h"
#include "sql/params.h"
#include "sql/parser.h"
#include "retrieval/retrieve.h"

namespace qm::db {
namespace {

bool plain_columns(const sql::SelectBody& body) {
  return std::holds_alternative<sql::ProjectAll>(body.projection) ||
         std::holds_alternative<sql::ProjectColumns>(body.projection);
}

class DatabaseSource final : public retrieval::RetrievalSource {
 public:
  DatabaseSource(Database& db, std::shared_ptr<std::atomic<bool>> cancel) : db_(db), cancel_(std::move(cancel)) {}

  Result<retrieval::Selection> select(std::string_view sql, std::span<const Value> params,
                                      const retrieval::RetrievalControl& control) override {
    return select_for(sql, params, control, retrieval::ReadNeeds{});
  }

  Result<retrieval::Selection> select_for(std::string_view sql, std::span<const Value> params,
                                          const retrieval::RetrievalControl& control,
                                          const retrieval::ReadNeeds& needs) override {
    QM_ASSIGN(std::string bound, sql::bind_params(sql, params));
    QM_ASSIGN(sql::Statement statement, sql::parse(bound));
    const auto* single = std::get_if<sql::SelectSingleStmt>(&statement.node);
    if (!single) return fail(QmError::query("Retrieval requires a single SELECT statement"));
    const sql::SelectBody& body = single->body;
    if (control.pinned_reader && body.before && *body.before > *control.pinned_reader)
      return fail(QmError::transaction("retrieval requested a snapshot newer than its pinned reader"));
    retrieval::Selection selection;
    selection.table = single->table;
    selection.current_rows =
        !body.before && !body.distinct && body.group_by.empty() && !body.having && plain_columns(body);
    const QueryLimits limits{control.limits.max_scan_rows, control.limits.max_bytes, control.limits.max_result_rows,
                             control.limits.deadline};
    if (!needs.columns.empty()) {
      // The text just bound and parsed is the statement the general path would run.
      QueryBudget budget(limits, cancel_);
      QM_TRY(budget.checkpoint());
      QM_ASSIGN(bool narrowed, read_for_retrieval(db_, *single, needs, budget, selection));
      if (narrowed) return selection;
    }
    QM_ASSIGN(selection.result, query_with_limits_cancellable(db_, sql, params, limits, cancel_));
    if (!std::holds_alternative<RowsResult>(selection.result))
      return fail(QmError::query("Retrieval requires rows"));
    return selection;
  }

  const persistent::Catalog& catalog() const override { return db_.catalog().retrieval(); }

 private:
  Database& db_;
  std::shared_ptr<std::atomic<bool>> cancel_;
};

}  // namespace

Result<bool> read_for_retrieval(Database& db, const sql::SelectSingleStmt& select, const retrieval::ReadNeeds& needs,
                                QueryBudget& budget, retrieval::Selection& out) {
  const sql::SelectBody& body = select.body;
  // The streamed shape of the general path: current rows in chain order.
  if (!out.current_rows || !body.order_by.empty() || needs.columns.empty()) return false;
  QM_TRY(db.refuse_unreadable());
  Database::WorkspaceAccess access;
  if (db.directory() && !db.in_transaction()) {
    QM_ASSIGN(access, db.enter_workspace(/*write=*/false));
  }
  const Table* table = db.catalog().find(select.table);
  if (!table) return false;
  // The select list's names and the table positions they read.
  std::vector<std::string> names;
  std::vector<size_t> positions;
  if (std::holds_alternative<sql::ProjectAll>(body.projection)) {
    names = table->columns;
    for (size_t i = 0; i < names.size(); ++i) positions.push_back(i);
  } else {
    for (const std::string& c : std::get<sql::ProjectColumns>(body.projection).columns) {
      auto pos = projection_col_pos(table->columns, c);
      if (!pos) return false;  // the general path reports it
      names.push_back(c);
      positions.push_back(*pos);
    }
  }
  RowsResult rows;
  std::vector<uint32_t> wanted;
  for (const std::string& need : needs.columns) {
    if (std::find(rows.columns.begin(), rows.columns.end(), need) != rows.columns.end()) continue;
    auto at = std::find(names.begin(), names.end(), need);
    if (at == names.end()) continue;
    rows.columns.push_back(need);
    wanted.push_back(static_cast<uint32_t>(positions[static_cast<size_t>(at - names.begin())]));
  }
  const bool ids_only = needs.ids_only && !rows.columns.empty() && rows.columns.front() == needs.columns.front();
  if (ids_only) wanted.resize(1);
  retrieval::Selection::IdColumn ids;
  const uint64_t first = body.offset;
  const uint64_t end = body.limit ? saturating_add(first, *body.limit) : UINT64_MAX;
  uint64_t seen = 0;
  // Under a budget the read goes on to the end, charging every row, as the general path does.
  QM_TRY(read_filtered(db, *table, body.where ? &*body.where : nullptr, db.clock(), &budget,
                       [&](const RecordVersion& v) -> Result<bool> {
                         if (seen >= first && seen < end) {
                           if (ids_only) {
                             const Value& id = v.values[wanted[0]];
                             if (ids.first_non_int == SIZE_MAX) {
                               if (id.is_int()) ids.ints.push_back(id.as_int());
                               else ids.first_non_int = ids.rows;
                             }
                             ++ids.rows;
                           } else {
                             Row& row = rows.rows.emplace_back();
                             row.reserve(wanted.size());
                             for (uint32_t p : wanted) row.push_back(v.values[p]);
                           }
                         }
                         ++seen;
                         return true;
                       },
                       nullptr, &wanted));
  QM_TRY(budget.checkpoint());
  const size_t count = ids_only ? ids.rows : rows.rows.size();
  if (count > budget.max_result_rows)
    return fail(QmError::resource_limit(str("result has more than ", budget.max_result_rows, " rows; add or lower LIMIT")));
  out.result = std::move(rows);
  if (ids_only) out.ids = std::move(ids);
  return true;
}

Result<std::string> retrieve_json_controlled(Database& db, std::string_view request, const QueryLimits& limits,
                                             std::shared_ptr<std::atomic<bool>> cancel,
                                             std::optional<uint64_t> pinned_reader) {
  const retrieval::RetrievalLimits caller{limits.max_scan_rows, limits.max_bytes, limits.max_result_rows,
                                          limits.deadline};
  const auto control = retrieval::RetrievalControl::make(caller, cancel, pinned_reader);
  DatabaseSource source(db, std::move(cancel));
  return retrieval::retrieve_json(request, control, source);
}

}  // namespace qm::db
