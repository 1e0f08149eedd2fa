#include "retrieval/json_fields.h"

#include "core/json_writer.h"

namespace qm::retrieval {

std::string expected_one_of(std::span<const std::string_view> names) {
  std::string out;
  auto quoted = [&out](std::string_view n) {
    out.push_back('`');
    out.append(n);
    out.push_back('`');
  };
  if (names.empty()) return "there are no fields";
  if (names.size() == 2) {
    quoted(names[0]);
    out.append(" or ");
    quoted(names[1]);
    return out;
  }
  if (names.size() > 2) out.append("one of ");
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out.append(", ");
    quoted(names[i]);
  }
  return out;
}

std::string unexpected_value(const JsonNode& node) {
  switch (node.type) {
    case JsonNode::Type::Null: return "null";
    case JsonNode::Type::Bool: return std::string("boolean `") + (node.boolean ? "true" : "false") + "`";
    case JsonNode::Type::Int: return "integer `" + std::to_string(node.int_value) + "`";
    case JsonNode::Type::Uint: return "integer `" + std::to_string(node.uint_value) + "`";
    case JsonNode::Type::Float: return "floating point `" + node.text + "`";
    case JsonNode::Type::String: {
      std::string out = "string ";
      append_json_string(out, node.text);
      return out;
    }
    case JsonNode::Type::Array: return "sequence";
    case JsonNode::Type::Object: return "map";
  }
  return "value";
}

std::string invalid_type(const JsonNode& node, std::string_view expected) {
  return "invalid type: " + unexpected_value(node) + ", expected " + std::string(expected);
}

JsonResult<std::vector<const JsonNode*>> match_fields(const JsonNode& obj, std::span<const std::string_view> keys,
                                                      std::string_view skip) {
  std::vector<const JsonNode*> fields(keys.size(), nullptr);
  for (const auto& m : obj.members) {
    if (!skip.empty() && m.first == skip) continue;
    size_t i = 0;
    while (i < keys.size() && keys[i] != m.first) ++i;
    if (i == keys.size()) return std::unexpected("unknown field `" + m.first + "`, expected " + expected_one_of(keys));
    if (fields[i]) return std::unexpected(json_duplicate_field(m.first));
    fields[i] = &m.second;
  }
  return fields;
}

JsonResult<void> require_fields(const std::vector<const JsonNode*>& fields, std::span<const std::string_view> keys,
                                std::span<const bool> required) {
  for (size_t i = 0; i < keys.size(); ++i)
    if (required[i] && !fields[i]) return std::unexpected(json_missing_field(keys[i]));
  return {};
}

JsonResult<std::string> read_string(const JsonNode& node) {
  if (!node.is_string()) return std::unexpected(invalid_type(node, "a string"));
  return node.text;
}

JsonResult<uint64_t> read_u64(const JsonNode& node) {
  if (node.type == JsonNode::Type::Uint) return node.uint_value;
  if (node.type == JsonNode::Type::Int) return std::unexpected("invalid value: " + unexpected_value(node) + ", expected u64");
  return std::unexpected(invalid_type(node, "u64"));
}

}  // namespace qm::retrieval
