// A retrieval request against the database: the request's one SELECT runs here through the
// budgeted query path; reading the request, the candidate lists, fusion and the response
// are the retrieval library's. Nothing here writes.
#include <atomic>
#include <memory>

#include "query/statements/statements.h"

#include "db/database.h"
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
