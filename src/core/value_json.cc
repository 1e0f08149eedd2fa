#include "core/value_json.h"

#include <limits>

namespace qm {

void write_value_json(JsonWriter& w, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null: w.string("Null"); return;
    case Value::Kind::Int: w.begin_object().key("Int").int64(v.as_int()).end_object(); return;
    case Value::Kind::Decimal: w.begin_object().key("Decimal").int128(v.as_decimal()).end_object(); return;
    case Value::Kind::Text: w.begin_object().key("Text").string(v.as_text()).end_object(); return;
    case Value::Kind::Blob:
      w.begin_object().key("Blob").begin_array();
      for (uint8_t b : v.blob_bytes()) w.uint64(b);
      w.end_array().end_object();
      return;
  }
}

std::string value_to_json(const Value& v) {
  std::string out;
  JsonWriter w(out);
  write_value_json(w, v);
  return out;
}

namespace {
const char* kVariants = "expected one of `Null`, `Int`, `Decimal`, `Text`, `Blob`";
}

std::expected<Value, std::string> value_from_json(const JsonNode& node) {
  if (node.is_string()) {
    if (node.text == "Null") return Value::null();
    if (node.text == "Int" || node.text == "Decimal" || node.text == "Text" || node.text == "Blob")
      return std::unexpected("invalid type: unit variant, expected newtype variant");
    return std::unexpected("unknown variant `" + node.text + "`, " + kVariants);
  }
  if (!node.is_object()) return std::unexpected(json_invalid_type(json_type_name(node), "enum Value"));
  if (node.members.size() != 1) {
    if (node.members.empty()) return std::unexpected(std::string("invalid type: map, expected enum Value"));
    return std::unexpected(std::string("invalid length: expected a map with a single key"));
  }
  const auto& [key, payload] = node.members[0];
  if (key == "Null") {
    if (!payload.is_null()) return std::unexpected(json_invalid_type(json_type_name(payload), "unit"));
    return Value::null();
  }
  if (key == "Int") {
    if (payload.type == JsonNode::Type::Int) return Value::integer(payload.int_value);
    if (payload.type == JsonNode::Type::Uint &&
        payload.uint_value <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return Value::integer(static_cast<int64_t>(payload.uint_value));
    if (payload.type == JsonNode::Type::Uint)
      return std::unexpected("invalid value: integer `" + std::to_string(payload.uint_value) + "`, expected i64");
    return std::unexpected(json_invalid_type(json_type_name(payload), "i64"));
  }
  if (key == "Decimal") {
    if (payload.type == JsonNode::Type::Int) return Value::decimal(payload.int_value);
    if (payload.type == JsonNode::Type::Uint) return Value::decimal(static_cast<i128>(payload.uint_value));
    if (payload.type == JsonNode::Type::Float) {
      // Integers beyond 64 bits reach us as floats; their raw text is exact.
      if (auto v = parse_i128(payload.text)) return Value::decimal(*v);
    }
    return std::unexpected(json_invalid_type(json_type_name(payload), "i128"));
  }
  if (key == "Text") {
    if (!payload.is_string()) return std::unexpected(json_invalid_type(json_type_name(payload), "a string"));
    return Value::text(payload.text);
  }
  if (key == "Blob") {
    if (!payload.is_array()) return std::unexpected(json_invalid_type(json_type_name(payload), "a sequence"));
    std::string bytes;
    bytes.reserve(payload.items.size());
    for (const auto& item : payload.items) {
      if (item.type != JsonNode::Type::Uint || item.uint_value > 255) {
        if (item.is_integer())
          return std::unexpected(std::string("invalid value: integer, expected u8"));
        return std::unexpected(json_invalid_type(json_type_name(item), "u8"));
      }
      bytes.push_back(static_cast<char>(item.uint_value));
    }
    return Value::blob(std::move(bytes));
  }
  return std::unexpected("unknown variant `" + key + "`, " + kVariants);
}

}  // namespace qm
