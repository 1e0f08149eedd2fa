#include "retrieval/retrieve.h"

#include <cmath>

#include "retrieval/fusion.h"
#include "retrieval/request.h"
#include "retrieval/response.h"

namespace qm::retrieval {
namespace {

bool text_bounds_ok(std::string_view query, size_t columns) {
  return query.size() <= search::kMaxQueryBytes && columns >= 1 && columns <= search::kMaxAdHocColumns;
}

Result<void> check_bounds(const RetrievalRequest& request) {
  if (const auto* r = std::get_if<FullTextRequest>(&request)) {
    if (r->limit > search::kMaxLimit || !text_bounds_ok(r->query, r->text_columns.size()))
      return fail(QmError::query("Invalid full-text bounds"));
  } else if (const auto* r = std::get_if<VectorRequest>(&request)) {
    if (r->limit > vector::kMaxLimit) return fail(QmError::query("At most 100 vector results"));
  } else {
    const auto& h = std::get<HybridRequest>(request);
    bool weight_ok = std::isfinite(h.text_weight) && h.text_weight >= 0.0 && h.text_weight <= 1.0;
    bool limits_ok = h.candidate_limit >= 1 && h.candidate_limit <= search::kMaxLimit && h.limit <= search::kMaxLimit &&
                     h.limit <= h.candidate_limit;
    if (!weight_ok || !limits_ok || !text_bounds_ok(h.query, h.text_columns.size()))
      return fail(QmError::query("Invalid hybrid search bounds or weight"));
  }
  return {};
}

ReadNeeds needs_of(std::string_view id_column, std::span<const std::string> text_columns,
                   const std::string* vector_column, bool ids_only) {
  ReadNeeds needs;
  needs.columns.emplace_back(id_column);
  needs.columns.insert(needs.columns.end(), text_columns.begin(), text_columns.end());
  if (vector_column) needs.columns.push_back(*vector_column);
  needs.ids_only = ids_only;
  return needs;
}

}  // namespace

Result<Selection> snapshot(RetrievalSource& source, std::string_view sql, std::span<const JsonNode> params,
                           const RetrievalControl& control, const ReadNeeds& needs) {
  QM_TRY(control.check());
  if (sql.size() > kMaxRetrievalSqlBytes) return fail(QmError::query("Retrieval SQL exceeds 64 KiB"));
  if (params.size() > kMaxRetrievalParams) return fail(QmError::query("At most 256 retrieval parameters"));
  QM_ASSIGN(std::vector<Value> values, parameters(params));
  if (needs.columns.empty()) return source.select(sql, values, control);
  return source.select_for(sql, values, control, needs);
}

Result<std::string> retrieve_json(std::string_view text, const RetrievalControl& control, RetrievalSource& source) {
  QM_TRY(control.check());
  if (text.size() > kMaxRequestBytes) return fail(QmError::query("Retrieval request exceeds 128 KiB"));
  auto request = read_request(text);
  if (!request) return fail(QmError::query(request.error()));
  QM_TRY(check_bounds(*request));
  const persistent::Catalog& catalog = source.catalog();
  std::string response;
  if (const auto* r = std::get_if<FullTextRequest>(&*request)) {
    const ReadNeeds needs = needs_of(r->id_column, r->text_columns, nullptr, r->index.has_value());
    QM_ASSIGN(Selection sel, snapshot(source, r->sql, r->params, control, needs));
    QM_ASSIGN(auto hits, text_hits(catalog, sel, r->id_column, r->text_columns, r->query, r->limit, r->index));
    response = text_hits_json(hits);
  } else if (const auto* r = std::get_if<VectorRequest>(&*request)) {
    const ReadNeeds needs = needs_of(r->id_column, {}, &r->vector_column, r->index.has_value());
    QM_ASSIGN(Selection sel, snapshot(source, r->sql, r->params, control, needs));
    QM_ASSIGN(auto hits, vector_hits(catalog, sel, r->id_column, r->vector_column, r->query, r->metric, r->limit, r->index));
    response = vector_hits_json(hits);
  } else {
    const auto& h = std::get<HybridRequest>(*request);
    const ReadNeeds needs = needs_of(h.id_column, h.text_columns, &h.vector_column,
                                     h.text_index.has_value() && h.vector_index.has_value());
    QM_ASSIGN(Selection sel, snapshot(source, h.sql, h.params, control, needs));
    QM_ASSIGN(auto text_list, text_hits(catalog, sel, h.id_column, h.text_columns, h.query, h.candidate_limit, h.text_index));
    QM_ASSIGN(auto vector_list, vector_hits(catalog, sel, h.id_column, h.vector_column, h.vector_query, h.metric,
                                            h.candidate_limit, h.vector_index));
    response = fused_hits_json(fuse(text_list, vector_list, h.text_weight, h.limit));
  }
  QM_TRY(control.check());
  return response;
}

}  // namespace qm::retrieval
