#include "retrieval/request.h"

#include <array>
#include <functional>

#include "retrieval/definition_json.h"

namespace qm::retrieval {
namespace {

using Reader = std::function<JsonResult<void>(const JsonNode&)>;

struct Field {
  std::string_view key;
  bool required;
  Reader read;
};

JsonResult<void> ok() { return {}; }

Reader string_into(std::string& out) {
  return [&out](const JsonNode& n) -> JsonResult<void> {
    auto s = read_string(n);
    if (!s) return std::unexpected(s.error());
    out = std::move(*s);
    return ok();
  };
}

Reader optional_string_into(std::optional<std::string>& out) {
  return [&out](const JsonNode& n) -> JsonResult<void> {
    if (n.is_null()) {
      out.reset();
      return ok();
    }
    auto s = read_string(n);
    if (!s) return std::unexpected(s.error());
    out = std::move(*s);
    return ok();
  };
}

Reader strings_into(std::vector<std::string>& out) {
  return [&out](const JsonNode& n) -> JsonResult<void> {
    if (!n.is_array()) return std::unexpected(invalid_type(n, "a sequence"));
    out.clear();
    for (const auto& item : n.items) {
      auto s = read_string(item);
      if (!s) return std::unexpected(s.error());
      out.push_back(std::move(*s));
    }
    return ok();
  };
}

Reader params_into(std::vector<JsonNode>& out) {
  return [&out](const JsonNode& n) -> JsonResult<void> {
    if (!n.is_array()) return std::unexpected(invalid_type(n, "a sequence"));
    out = n.items;
    return ok();
  };
}

JsonResult<double> read_f64(const JsonNode& n) {
  switch (n.type) {
    case JsonNode::Type::Int: return static_cast<double>(n.int_value);
    case JsonNode::Type::Uint: return static_cast<double>(n.uint_value);
    case JsonNode::Type::Float: return n.float_value;
    default: return std::unexpected(invalid_type(n, "f64"));
  }
}

Reader floats_into(std::vector<float>& out) {
  return [&out](const JsonNode& n) -> JsonResult<void> {
    if (!n.is_array()) return std::unexpected(invalid_type(n, "a sequence"));
    out.clear();
    out.reserve(n.items.size());
    for (const auto& item : n.items) {
      if (!item.is_number()) return std::unexpected(invalid_type(item, "f32"));
      auto v = read_f64(item);
      out.push_back(static_cast<float>(*v));  // nearest binary32
    }
    return ok();
  };
}

Reader f64_into(double& out) {
  return [&out](const JsonNode& n) -> JsonResult<void> {
    auto v = read_f64(n);
    if (!v) return std::unexpected(v.error());
    out = *v;
    return ok();
  };
}

Reader u64_into(uint64_t& out) {
  return [&out](const JsonNode& n) -> JsonResult<void> {
    auto v = read_u64(n);
    if (!v) return std::unexpected(v.error());
    out = *v;
    return ok();
  };
}

Reader metric_into(RetrievalMetric& out) {
  return [&out](const JsonNode& n) -> JsonResult<void> {
    auto v = read_metric(n);
    if (!v) return std::unexpected(v.error());
    out = *v;
    return ok();
  };
}

std::vector<Field> fields_of(FullTextRequest& r) {
  return {{"sql", true, string_into(r.sql)},
          {"params", false, params_into(r.params)},
          {"id_column", true, string_into(r.id_column)},
          {"text_columns", true, strings_into(r.text_columns)},
          {"query", true, string_into(r.query)},
          {"limit", true, u64_into(r.limit)},
          {"index", false, optional_string_into(r.index)}};
}

std::vector<Field> fields_of(VectorRequest& r) {
  return {{"sql", true, string_into(r.sql)},
          {"params", false, params_into(r.params)},
          {"id_column", true, string_into(r.id_column)},
          {"vector_column", true, string_into(r.vector_column)},
          {"query", true, floats_into(r.query)},
          {"metric", true, metric_into(r.metric)},
          {"limit", true, u64_into(r.limit)},
          {"index", false, optional_string_into(r.index)}};
}

std::vector<Field> fields_of(HybridRequest& r) {
  return {{"sql", true, string_into(r.sql)},
          {"params", false, params_into(r.params)},
          {"id_column", true, string_into(r.id_column)},
          {"text_columns", true, strings_into(r.text_columns)},
          {"vector_column", true, string_into(r.vector_column)},
          {"query", true, string_into(r.query)},
          {"vector_query", true, floats_into(r.vector_query)},
          {"metric", true, metric_into(r.metric)},
          {"text_weight", true, f64_into(r.text_weight)},
          {"candidate_limit", true, u64_into(r.candidate_limit)},
          {"limit", true, u64_into(r.limit)},
          {"text_index", false, optional_string_into(r.text_index)},
          {"vector_index", false, optional_string_into(r.vector_index)}};
}

constexpr std::array<std::string_view, 3> kTags = {"hybrid", "full_text", "vector"};
constexpr std::array<std::string_view, 3> kVariantNames = {"Hybrid", "FullText", "Vector"};

JsonResult<size_t> read_tag(const JsonNode& n) {
  if (!n.is_string()) return std::unexpected(invalid_type(n, "variant identifier"));
  for (size_t i = 0; i < kTags.size(); ++i)
    if (n.text == kTags[i]) return i;
  return std::unexpected("unknown variant `" + n.text + "`, expected " + expected_one_of(kTags));
}

JsonResult<void> read_object(const JsonNode& obj, std::vector<Field>& fields) {
  std::vector<bool> seen(fields.size(), false);
  std::vector<std::string_view> keys;
  for (const auto& f : fields) keys.push_back(f.key);
  for (const auto& m : obj.members) {
    if (m.first == "kind") continue;
    size_t i = 0;
    while (i < fields.size() && fields[i].key != m.first) ++i;
    if (i == fields.size()) return std::unexpected("unknown field `" + m.first + "`, expected " + expected_one_of(keys));
    if (seen[i]) return std::unexpected(json_duplicate_field(m.first));
    seen[i] = true;
    if (auto r = fields[i].read(m.second); !r) return r;
  }
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].required && !seen[i]) return std::unexpected(json_missing_field(fields[i].key));
  return ok();
}

JsonResult<void> read_array(const JsonNode& arr, size_t tag, std::vector<Field>& fields) {
  size_t given = arr.items.size() - 1;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i >= given)
      return std::unexpected("invalid length " + std::to_string(i) + ", expected struct variant RetrievalRequest::" +
                             std::string(kVariantNames[tag]) + " with " + std::to_string(fields.size()) + " elements");
    if (auto r = fields[i].read(arr.items[i + 1]); !r) return r;
  }
  if (given > fields.size())
    return std::unexpected("invalid length " + std::to_string(given) + ", expected " + std::to_string(fields.size()) +
                           " elements in sequence");
  return ok();
}

// The readers hold references into the request they fill, so it is built in place.
template <class R>
JsonResult<RetrievalRequest> read_fields(const JsonNode& doc, size_t tag) {
  R request;
  std::vector<Field> fields = fields_of(request);
  auto r = doc.is_object() ? read_object(doc, fields) : read_array(doc, tag, fields);
  if (!r) return std::unexpected(r.error());
  return RetrievalRequest(std::move(request));
}

}  // namespace

JsonResult<RetrievalRequest> read_request(std::string_view text) {
  auto doc = parse_json(text, kRetrievalJsonDepth);
  if (!doc) return std::unexpected(doc.error());
  size_t tag = 0;
  if (doc->is_object()) {
    const JsonNode* kind = nullptr;
    for (const auto& m : doc->members) {
      if (m.first != "kind") continue;
      if (kind) return std::unexpected(json_duplicate_field("kind"));
      kind = &m.second;
      auto t = read_tag(*kind);
      if (!t) return std::unexpected(t.error());
      tag = *t;
    }
    if (!kind) return std::unexpected(json_missing_field("kind"));
  } else if (doc->is_array()) {
    if (doc->items.empty()) return std::unexpected(json_missing_field("kind"));
    auto t = read_tag(doc->items[0]);
    if (!t) return std::unexpected(t.error());
    tag = *t;
  } else {
    return std::unexpected(invalid_type(*doc, "internally tagged enum RetrievalRequest"));
  }
  switch (tag) {
    case 0: return read_fields<HybridRequest>(*doc, tag);
    case 1: return read_fields<FullTextRequest>(*doc, tag);
    default: return read_fields<VectorRequest>(*doc, tag);
  }
}

Result<std::vector<Value>> parameters(std::span<const JsonNode> params) {
  std::vector<Value> out;
  out.reserve(params.size());
  for (const auto& p : params) {
    if (p.is_null()) {
      out.push_back(Value::null());
    } else if (p.type == JsonNode::Type::Bool) {
      out.push_back(Value::integer(p.boolean ? 1 : 0));
    } else if (p.type == JsonNode::Type::Int) {
      out.push_back(Value::integer(p.int_value));
    } else if (p.type == JsonNode::Type::Uint && p.uint_value <= static_cast<uint64_t>(INT64_MAX)) {
      out.push_back(Value::integer(static_cast<int64_t>(p.uint_value)));
    } else if (p.is_string()) {
      out.push_back(Value::text(p.text));
    } else {
      return fail(QmError::query("Retrieval parameters support null, text, bool and signed integers"));
    }
  }
  return out;
}

}  // namespace qm::retrieval
