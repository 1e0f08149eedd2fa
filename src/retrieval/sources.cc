#include "retrieval/sources.h"

#include <algorithm>
#include <unordered_set>

#include "core/json_reader.h"
#include "core/byte_codec.h"
#include "retrieval/definition_json.h"

namespace qm::retrieval {
namespace {

size_t find_column(const RowsResult& rows, std::string_view name) {
  for (size_t i = 0; i < rows.columns.size(); ++i)
    if (rows.columns[i] == name) return i;
  return SIZE_MAX;
}

QmError query_error(std::string msg) { return QmError::query(std::move(msg)); }

}  // namespace

Result<const persistent::CatalogEntry*> named_entry(const persistent::Catalog& catalog, const std::optional<std::string>& name,
                                                    std::string_view table, std::string_view id_column) {
  if (!name) return nullptr;
  if (name->empty() || name->size() > kMaxIdentifierBytes) return fail(query_error("Invalid persistent index name"));
  auto it = catalog.find(*name);
  if (it == catalog.end()) return fail(query_error("retrieval index `" + *name + "` does not exist"));
  const auto& def = it->second.definition();
  if (def.table != table || def.id_column != id_column)
    return fail(query_error("Named retrieval index table/ID definition mismatch"));
  return &it->second;
}

Result<std::vector<int64_t>> selected_ids(const Selection& selection, const persistent::CatalogEntry& entry,
                                          std::span<const std::string> columns) {
  const auto* rows = std::get_if<RowsResult>(&selection.result);
  if (!rows) return fail(query_error("Retrieval requires rows"));
  for (const auto& c : columns)
    if (find_column(*rows, c) == SIZE_MAX) return fail(query_error("Missing retrieval column `" + c + "`"));
  size_t id_at = find_column(*rows, entry.definition().id_column);
  if (id_at == SIZE_MAX) return fail(query_error("Missing ID column"));
  const size_t row_count = selection.ids ? selection.ids->rows : rows->rows.size();
  if (row_count > search::kMaxAllowedIds) return fail(query_error("Retrieval filter-ID limit exceeded"));
  // The integer ids in row order, up to the first cell that is not one.
  std::vector<int64_t> in_order;
  size_t first_non_int = SIZE_MAX;
  if (selection.ids) {
    in_order = selection.ids->ints;
    first_non_int = selection.ids->first_non_int;
  } else {
    in_order.reserve(rows->rows.size());
    for (const Row& row : rows->rows) {
      if (id_at >= row.size() || !row[id_at].is_int()) {
        first_non_int = in_order.size();
        break;
      }
      in_order.push_back(row[id_at].as_int());
    }
  }
  // Fast path: sorted (a table read in chain order mostly is already), checked for repeats,
  // and against the entry's sorted ids in one merge, or one comparison when they are all.
  const std::vector<int64_t>& known = entry.sorted_ids();
  std::vector<int64_t> sorted = in_order;
  if (!std::is_sorted(sorted.begin(), sorted.end())) std::sort(sorted.begin(), sorted.end());
  if (first_non_int == SIZE_MAX && std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) {
    bool ok;
    if (sorted.size() == known.size()) {
      ok = sorted == known;
    } else {
      ok = true;
      auto at = known.begin();
      for (size_t i = 0; ok && i < sorted.size(); ++i) {
        at = std::lower_bound(at, known.end(), sorted[i]);
        ok = at != known.end() && *at == sorted[i];
      }
    }
    if (ok) return sorted;
  }
  // Some row is at fault: find the first, in row order.
  std::unordered_set<int64_t> seen;
  seen.reserve(in_order.size());
  for (int64_t id : in_order) {
    if (!seen.insert(id).second) return fail(query_error("Duplicate retrieval ID"));
    if (!std::binary_search(known.begin(), known.end(), id))
      return fail(persistent::corrupt("current SELECT and index IDs disagree"));
  }
  return fail(query_error("Integer IDs required"));
}

Result<std::vector<search::SearchHit>> text_hits(const persistent::Catalog& catalog, const Selection& selection,
                                                 std::string_view id_column, std::span<const std::string> text_columns,
                                                 std::string_view query, size_t limit, const std::optional<std::string>& index) {
  QM_ASSIGN(const persistent::CatalogEntry* entry, named_entry(catalog, index, selection.table, id_column));
  search::SearchResult<std::vector<search::SearchHit>> hits;
  if (entry) {
    const auto* ft = std::get_if<FullTextKind>(&entry->definition().kind);
    if (!ft || !std::equal(ft->text_columns.begin(), ft->text_columns.end(), text_columns.begin(), text_columns.end()))
      return fail(query_error("Named full-text index column/kind definition mismatch"));
  }
  if (entry && selection.current_rows) {
    QM_ASSIGN(auto ids, selected_ids(selection, *entry, text_columns));
    if (!entry->data().text) return fail(persistent::corrupt("missing admitted text data"));
    hits = entry->data().text->search_filtered(query, limit, ids);
  } else {
    auto adhoc = search::SearchIndex::from_rows(selection.result, id_column, text_columns);
    if (!adhoc) return fail(query_error(search::to_string(adhoc.error())));
    hits = adhoc->search(query, limit);
  }
  if (!hits) return fail(query_error(search::to_string(hits.error())));
  return std::move(*hits);
}

Result<vector::VectorIndex> vector_index(const Selection& selection, std::string_view id_column, std::string_view vector_column,
                                         std::span<const float> query, RetrievalMetric metric) {
  auto budget = [] { return query_error(vector::to_string(vector::VectorError::Budget)); };
  if (query.empty() || query.size() > vector::kMaxDimensions) return fail(budget());
  vector::VectorIndex index(query.size(), persistent::vector_metric(metric));
  if (auto probe = index.search_matching(query, 0, nullptr); !probe) return fail(query_error(vector::to_string(probe.error())));
  const auto* rows = std::get_if<RowsResult>(&selection.result);
  if (!rows) return fail(query_error("Retrieval requires rows"));
  size_t id_at = find_column(*rows, id_column);
  if (id_at == SIZE_MAX) return fail(query_error("Missing ID column"));
  size_t vec_at = find_column(*rows, vector_column);
  if (vec_at == SIZE_MAX) return fail(query_error("Missing vector column"));
  std::vector<float> values;
  for (const Row& row : rows->rows) {
    if (id_at >= row.size() || !row[id_at].is_int()) return fail(query_error("Integer IDs required"));
    int64_t id = row[id_at].as_int();
    if (index.contains(id)) return fail(query_error("Duplicate retrieval ID"));
    if (vec_at >= row.size() || !row[vec_at].is_text()) return fail(query_error("Vectors must be JSON arrays stored in TEXT"));
    std::string_view text = row[vec_at].bytes();
    if (text.size() > 65536) return fail(query_error("Encoded vector exceeds 64 KiB"));
    auto node = parse_json(text, 2);
    if (!node) return fail(query_error(node.error()));
    if (!node->is_array()) return fail(query_error(invalid_type(*node, "a sequence")));
    values.clear();
    for (const auto& item : node->items) {
      switch (item.type) {
        case JsonNode::Type::Int: values.push_back(static_cast<float>(item.int_value)); break;
        case JsonNode::Type::Uint: values.push_back(static_cast<float>(item.uint_value)); break;
        case JsonNode::Type::Float: values.push_back(static_cast<float>(item.float_value)); break;
        default: return fail(query_error(invalid_type(item, "f32")));
      }
    }
    if (auto added = index.upsert(id, values); !added) return fail(query_error(vector::to_string(added.error())));
  }
  return index;
}

Result<std::vector<vector::VectorHit>> vector_hits(const persistent::Catalog& catalog, const Selection& selection,
                                                   std::string_view id_column, std::string_view vector_column,
                                                   std::span<const float> query, RetrievalMetric metric, size_t limit,
                                                   const std::optional<std::string>& index) {
  QM_ASSIGN(const persistent::CatalogEntry* entry, named_entry(catalog, index, selection.table, id_column));
  if (entry) {
    const auto* v = std::get_if<VectorKind>(&entry->definition().kind);
    if (!v || v->vector_column != vector_column || v->dimensions != query.size() || v->metric != metric)
      return fail(query_error("Named vector index column/metric/dimensions definition mismatch"));
  }
  vector::VectorResult<std::vector<vector::VectorHit>> hits;
  if (entry && selection.current_rows) {
    std::string column(vector_column);
    QM_ASSIGN(auto ids, selected_ids(selection, *entry, std::span<const std::string>(&column, 1)));
    if (!entry->data().vector) return fail(persistent::corrupt("missing admitted vector data"));
    hits = entry->data().vector->search_filtered(query, limit, ids);
  } else {
    QM_ASSIGN(auto adhoc, vector_index(selection, id_column, vector_column, query, metric));
    hits = adhoc.search_matching(query, limit, nullptr);
  }
  if (!hits) return fail(query_error(vector::to_string(hits.error())));
  return std::move(*hits);
}

}  // namespace qm::retrieval
