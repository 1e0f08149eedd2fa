#include "query/plan/explain_plan.h"


#include <string>
#include <vector>

#include "db/database.h"
#include "query/eval/explain.h"
#include "query/eval/grouping.h"
#include "query/eval/predicate.h"
#include "query/eval/projection.h"
#include "query/plan/join_plan.h"
#include "query/plan/select_plan.h"

namespace qm::db {
namespace {

using explain::PlanStep;

std::string joined(const std::vector<std::string>& parts, const char* separator) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out += separator;
    out += parts[i];
  }
  return out;
}

std::string relation(const std::string& table, const std::string& qualifier) { return table + " AS " + qualifier; }

auto index_lookup_on(const Table& table) {
  return [&table](const std::string& column) { return table.indexes.contains(column); };
}


// Validates the projection, grouping and ordering over no rows, as execution would, and
// appends the output steps, DISTINCT, OFFSET and LIMIT.
Result<void> output_stage(std::vector<PlanStep>& steps, const std::vector<std::string>& names,
                          const sql::SelectBody& body) {
  QM_TRY(explain::check_projection(names, body.projection));
  if (is_grouped(body)) {
    QM_ASSIGN(auto items, projection_to_items(body.projection));
    QM_TRY(project_grouped(names, {}, items, body.group_by, body.having ? &*body.having : nullptr, body.order_by,
                           body.distinct, body.limit, body.offset));
    steps.push_back({"aggregate", body.group_by.empty() ? "whole input" : "group by " + joined(body.group_by, ", ")});
    steps.push_back({"project", "select group output columns"});
    if (body.having) steps.push_back({"filter groups", "having"});
    if (!body.order_by.empty()) steps.push_back({"sort", explain::sort_detail(body.order_by)});
  } else {
    QM_TRY(project_select(names, {}, body.projection, body.order_by, body.distinct, body.limit, body.offset));
    if (!body.order_by.empty()) {
      steps.push_back({body.limit && !body.distinct ? "top-N sort" : "sort", explain::sort_detail(body.order_by)});
    }
    steps.push_back({"project", "select output columns"});
  }
  if (body.distinct) steps.push_back({"distinct", "deduplicate output rows"});
  explain::append_limit(steps, body.limit, body.offset);
  return {};
}

PlanStep snapshot_step(const sql::SelectBody& body, uint64_t clock) {
  return {"snapshot", "transaction " + std::to_string(body.before.value_or(clock))};
}

const PlanStep kFilter{"filter", "evaluate WHERE with SQL NULL semantics"};

Result<RowsResult> explain_single(const TableMap& tables, uint64_t clock, const sql::SelectSingleStmt& stmt) {
  const sql::SelectBody& body = stmt.body;
  auto it = tables.find(stmt.table);
  if (it == tables.end()) return fail(QmError::table_not_found(stmt.table));
  const Table& table = it->second;
  QM_TRY(explain::check_projection(table.columns, body.projection));
  if (body.where) QM_TRY(check_predicate_columns(table.columns, *body.where));

  std::vector<PlanStep> steps;
  steps.push_back(snapshot_step(body, clock));

  const SelectPlan plan = plan_select(&table, stmt, /*budgeted=*/false);
  if (plan.path == SelectPlan::Path::Count) {
    steps.push_back({"count envelopes", stmt.table + ": MVCC visibility only; row bodies are not decoded"});
    return explain::plan_result(std::move(steps));
  }

  if (plan.path == SelectPlan::Path::Ordered) {
    const sql::OrderBy& key = *plan.order_key;
    QM_TRY(project_select(table.columns, {}, body.projection, body.order_by, body.distinct, body.limit, body.offset));
    const std::string stop = plan.stop ? std::to_string(*plan.stop) : "none";
    steps.push_back({"ordered index scan", stmt.table + "." + key.column + (key.descending ? " DESC" : " ASC") +
                                               "; early stop " + stop});
    steps.push_back({"project", "select output columns"});
    explain::append_limit(steps, body.limit, body.offset);
    return explain::plan_result(std::move(steps));
  }

  std::optional<explain::IndexAccess> access;
  if (body.where) access = explain::index_access(*body.where, index_lookup_on(table));
  if (access) {
    steps.push_back({access->operation, stmt.table + "." + access->column + "; recheck full predicate and MVCC visibility"});
  } else {
    steps.push_back({"table scan", stmt.table + ": scan row versions and check MVCC visibility"});
  }
  if (body.where) steps.push_back(kFilter);
  QM_TRY(output_stage(steps, table.columns, body));
  return explain::plan_result(std::move(steps));
}

Result<RowsResult> explain_general(const TableMap& tables, uint64_t clock, const sql::SelectStmt& stmt) {
  const sql::SelectBody& body = stmt.body;
  QM_ASSIGN(JoinPlan plan, plan_join(tables, stmt));

  std::vector<PlanStep> steps;
  steps.push_back(snapshot_step(body, clock));

  const std::string& from_qualifier = stmt.from.qualifier();
  std::optional<explain::IndexAccess> access;
  if (plan.source) access = explain::index_access(*plan.source, index_lookup_on(*plan.driving));
  steps.push_back({access ? access->operation : "table scan", relation(stmt.from.name, from_qualifier)});
  if (plan.source) steps.push_back({"source filter", "apply driving-relation predicates before joining"});

  for (const JoinStep& join : plan.joins) {
    const sql::JoinClause& clause = *join.clause;
    const bool left = clause.kind == sql::JoinKind::Left;
    const std::string on = clause.left_column + " = " + clause.right_column;
    if (join.indexed) {
      steps.push_back({left ? "adaptive indexed left join" : "adaptive indexed inner join",
                       on + "; probe " + clause.qualifier() + "." + join.right_column() +
                           " once per distinct left key when cheaper, otherwise build the right input"});
    } else {
      steps.push_back({"table scan", relation(clause.table, clause.qualifier())});
      steps.push_back({left ? "left equality join" : "inner equality join", on + "; build ordered map of right input"});
    }
  }
  if (body.where) steps.push_back(kFilter);
  QM_TRY(output_stage(steps, plan.names, body));
  return explain::plan_result(std::move(steps));
}

}  // namespace

Result<RowsResult> explain_select(const TableMap& tables, uint64_t clock, const sql::Statement& inner) {
  if (const auto* single = std::get_if<sql::SelectSingleStmt>(&inner.node)) return explain_single(tables, clock, *single);
  if (const auto* general = std::get_if<sql::SelectStmt>(&inner.node)) return explain_general(tables, clock, *general);
  return fail(QmError::query("EXPLAIN requires a SELECT statement"));
}

Result<QueryResult> explain_statement(const Database& db, const sql::Statement& inner) {
  QM_ASSIGN(RowsResult rows, explain_select(db.catalog().tables(), db.clock(), inner));
  return QueryResult{std::move(rows)};
}

}  // namespace qm::db
