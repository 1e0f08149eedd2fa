#include "ffi/params.h"

#include <limits>

#include "core/decimal.h"

namespace qm::ffi {

std::expected<Value, std::string> json_to_value(const JsonNode& node) {
  switch (node.type) {
    case JsonNode::Type::Null: return Value::null();
    case JsonNode::Type::Bool: return Value::integer(node.boolean ? 1 : 0);
    case JsonNode::Type::Int: return Value::integer(node.int_value);
    case JsonNode::Type::Uint:
      if (node.uint_value > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return std::unexpected(std::string("integer parameter exceeds the i64 range"));
      return Value::integer(static_cast<int64_t>(node.uint_value));
    case JsonNode::Type::Float: {
      i128 millionths = 0;
      if (parse_decimal_millionths(node.text, kJsonDecimalBound, &millionths) != DecimalParse::Ok)
        return std::unexpected(std::string("numeric parameter out of range"));
      return Value::decimal(millionths);
    }
    case JsonNode::Type::String: return Value::text(node.text);
    case JsonNode::Type::Array:
    case JsonNode::Type::Object:
      return std::unexpected(std::string("array and object parameters are not supported"));
  }
  return std::unexpected(std::string("unsupported parameter"));
}

std::expected<std::vector<Value>, std::string> json_params_to_values(std::string_view context,
                                                                     std::string_view text) {
  auto doc = parse_json(text);
  if (!doc) return std::unexpected(std::string(context) + ": invalid params JSON: " + doc.error());
  if (!doc->is_array()) return std::unexpected(std::string(context) + ": params must be a JSON array");
  std::vector<Value> out;
  out.reserve(doc->items.size());
  for (const auto& item : doc->items) {
    auto v = json_to_value(item);
    if (!v) return std::unexpected(std::string(context) + ": " + v.error());
    out.push_back(std::move(*v));
  }
  return out;
}

Result<std::vector<std::vector<Value>>> json_param_sets(std::string_view text) {
  auto doc = parse_json(text);
  if (!doc) return fail(QmError::manifest(doc.error()));
  if (!doc->is_array()) return fail(QmError::manifest(json_invalid_type(json_type_name(*doc), "a sequence")));
  std::vector<std::vector<Value>> sets;
  sets.reserve(doc->items.size());
  for (const auto& set : doc->items) {
    if (!set.is_array()) return fail(QmError::manifest(json_invalid_type(json_type_name(set), "a sequence")));
    std::vector<Value> values;
    values.reserve(set.items.size());
    for (const auto& item : set.items) {
      auto v = json_to_value(item);
      if (!v) return fail(QmError::query(v.error()));
      values.push_back(std::move(*v));
    }
    sets.push_back(std::move(values));
  }
  return sets;
}

}  // namespace qm::ffi
