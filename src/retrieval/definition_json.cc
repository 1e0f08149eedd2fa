#include "retrieval/definition_json.h"

#include <array>

namespace qm::retrieval {
namespace {

constexpr std::string_view kSequenceLimit = "persistent retrieval sequence exceeds its limit";

JsonResult<std::string> read_identifier(const JsonNode& node) {
  if (!node.is_string()) return std::unexpected(invalid_type(node, "a nonempty identifier of at most 256 UTF-8 bytes"));
  if (!is_valid_identifier(node.text)) return std::unexpected(std::string("invalid persistent retrieval identifier"));
  return node.text;
}

JsonResult<std::vector<std::string>> read_columns(const JsonNode& node) {
  if (!node.is_array())
    return std::unexpected(invalid_type(node, "a sequence containing at most " + std::to_string(kMaxTextColumns) + " entries"));
  if (node.items.size() > kMaxTextColumns) return std::unexpected(std::string(kSequenceLimit));
  std::vector<std::string> out;
  for (const auto& item : node.items) {
    auto name = read_identifier(item);
    if (!name) return std::unexpected(name.error());
    out.push_back(std::move(*name));
  }
  return out;
}

JsonResult<std::variant<FullTextKind, VectorKind>> read_kind(const JsonNode& node) {
  if (!node.is_object()) return std::unexpected(invalid_type(node, "internally tagged enum RetrievalIndexKind"));
  static constexpr std::array<std::string_view, 2> kTags = {"full_text", "vector"};
  const JsonNode* tag = nullptr;
  for (const auto& m : node.members) {
    if (m.first != "kind") continue;
    if (tag) return std::unexpected(json_duplicate_field("kind"));
    tag = &m.second;
    if (!tag->is_string()) return std::unexpected(invalid_type(*tag, "variant identifier"));
    if (tag->text != kTags[0] && tag->text != kTags[1])
      return std::unexpected("unknown variant `" + tag->text + "`, expected " + expected_one_of(kTags));
  }
  if (!tag) return std::unexpected(json_missing_field("kind"));
  if (tag->text == "full_text") {
    static constexpr std::array<std::string_view, 1> kKeys = {"text_columns"};
    static constexpr std::array<bool, 1> kRequired = {true};
    auto f = match_fields(node, kKeys, "kind");
    if (!f) return std::unexpected(f.error());
    if (auto r = require_fields(*f, kKeys, kRequired); !r) return std::unexpected(r.error());
    auto cols = read_columns(*(*f)[0]);
    if (!cols) return std::unexpected(cols.error());
    return FullTextKind{std::move(*cols)};
  }
  static constexpr std::array<std::string_view, 3> kKeys = {"vector_column", "metric", "dimensions"};
  static constexpr std::array<bool, 3> kRequired = {true, true, true};
  auto f = match_fields(node, kKeys, "kind");
  if (!f) return std::unexpected(f.error());
  if (auto r = require_fields(*f, kKeys, kRequired); !r) return std::unexpected(r.error());
  VectorKind v;
  auto col = read_identifier(*(*f)[0]);
  if (!col) return std::unexpected(col.error());
  v.vector_column = std::move(*col);
  auto metric = read_metric(*(*f)[1]);
  if (!metric) return std::unexpected(metric.error());
  v.metric = *metric;
  auto dims = read_u64(*(*f)[2]);
  if (!dims) return std::unexpected(dims.error());
  v.dimensions = *dims;
  return v;
}

}  // namespace

const char* metric_name(RetrievalMetric m) { return m == RetrievalMetric::Cosine ? "cosine" : "squared_euclidean"; }

JsonResult<RetrievalMetric> read_metric(const JsonNode& node) {
  static constexpr std::array<std::string_view, 2> kNames = {"cosine", "squared_euclidean"};
  if (!node.is_string()) return std::unexpected(invalid_type(node, "variant identifier"));
  if (node.text == kNames[0]) return RetrievalMetric::Cosine;
  if (node.text == kNames[1]) return RetrievalMetric::SquaredEuclidean;
  return std::unexpected("unknown variant `" + node.text + "`, expected " + expected_one_of(kNames));
}

void write_definition(JsonWriter& w, const RetrievalIndexDefinition& d) {
  w.begin_object().key("name").string(d.name).key("table").string(d.table).key("id_column").string(d.id_column);
  w.key("index").begin_object();
  if (const auto* ft = std::get_if<FullTextKind>(&d.kind)) {
    w.key("kind").string("full_text").key("text_columns").begin_array();
    for (const auto& c : ft->text_columns) w.string(c);
    w.end_array();
  } else {
    const auto& v = std::get<VectorKind>(d.kind);
    w.key("kind").string("vector").key("vector_column").string(v.vector_column);
    w.key("metric").string(metric_name(v.metric)).key("dimensions").uint64(v.dimensions);
  }
  w.end_object().end_object();
}

std::string definition_json(const RetrievalIndexDefinition& d) {
  std::string out;
  JsonWriter w(out);
  write_definition(w, d);
  return out;
}

JsonResult<RetrievalIndexDefinition> read_definition(const JsonNode& node) {
  if (!node.is_object()) return std::unexpected(invalid_type(node, "struct RetrievalIndexDefinition"));
  static constexpr std::array<std::string_view, 4> kKeys = {"name", "table", "id_column", "index"};
  static constexpr std::array<bool, 4> kRequired = {true, true, true, true};
  auto f = match_fields(node, kKeys);
  if (!f) return std::unexpected(f.error());
  if (auto r = require_fields(*f, kKeys, kRequired); !r) return std::unexpected(r.error());
  RetrievalIndexDefinition d;
  std::string* names[3] = {&d.name, &d.table, &d.id_column};
  for (size_t i = 0; i < 3; ++i) {
    auto id = read_identifier(*(*f)[i]);
    if (!id) return std::unexpected(id.error());
    *names[i] = std::move(*id);
  }
  auto kind = read_kind(*(*f)[3]);
  if (!kind) return std::unexpected(kind.error());
  d.kind = std::move(*kind);
  return d;
}

JsonResult<RetrievalIndexDefinition> read_definition_text(std::string_view text) {
  auto node = parse_json(text, kRetrievalJsonDepth);
  if (!node) return std::unexpected(node.error());
  return read_definition(*node);
}

}  // namespace qm::retrieval

namespace qm::retrieval {

Result<void> validate_for_create(const RetrievalIndexDefinition& d) {
  QM_TRY(d.validate());
  if (definition_json(d).size() > kMaxDefinitionJsonBytes)
    return fail(QmError::schema("persistent retrieval definition exceeds 8 KiB"));
  return {};
}

}  // namespace qm::retrieval
