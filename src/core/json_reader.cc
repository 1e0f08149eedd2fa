#include "core/json_reader.h"

#include <new>
#include <algorithm>

#include <nlohmann/json.hpp>

#include "core/json_sax.h"

namespace qm {
namespace {

class TreeBuilder final : public nlohmann::json_sax<nlohmann::json> {
 public:
  explicit TreeBuilder(size_t max_depth) : max_depth_(max_depth) {}

  bool null() override { return put(JsonNode{}); }
  bool boolean(bool v) override {
    JsonNode n;
    n.type = JsonNode::Type::Bool;
    n.boolean = v;
    return put(std::move(n));
  }
  bool number_integer(number_integer_t v) override {
    JsonNode n;
    n.type = JsonNode::Type::Int;
    n.int_value = v;
    return put(std::move(n));
  }
  bool number_unsigned(number_unsigned_t v) override {
    JsonNode n;
    n.type = JsonNode::Type::Uint;
    n.uint_value = v;
    return put(std::move(n));
  }
  bool number_float(number_float_t v, const string_t& raw) override {
    JsonNode n;
    n.type = JsonNode::Type::Float;
    n.float_value = v;
    n.text = raw;
    return put(std::move(n));
  }
  bool string(string_t& s) override {
    JsonNode n;
    n.type = JsonNode::Type::String;
    n.text = std::move(s);
    return put(std::move(n));
  }
  bool binary(binary_t&) override { return false; }
  bool start_object(std::size_t) override {
    JsonNode n;
    n.type = JsonNode::Type::Object;
    return open(std::move(n));
  }
  bool key(string_t& k) override {
    pending_key_ = std::move(k);
    return true;
  }
  bool end_object() override { return close(); }
  bool start_array(std::size_t) override {
    JsonNode n;
    n.type = JsonNode::Type::Array;
    return open(std::move(n));
  }
  bool end_array() override { return close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
    if (error_.empty()) error_ = ex.what();
    return false;
  }

  std::expected<JsonNode, std::string> finish(bool ok) {
    if (!ok || !done_) {
      if (error_.empty()) error_ = "invalid JSON document";
      return std::unexpected(error_);
    }
    return std::move(root_);
  }

 private:
  bool open(JsonNode n) {
    if (stack_.size() >= max_depth_) {
      error_ = "JSON nesting exceeds the depth limit of " + std::to_string(max_depth_);
      return false;
    }
    stack_.push_back({std::move(n), std::move(pending_key_)});
    return true;
  }
  bool close() {
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    pending_key_ = std::move(f.key);
    return put(std::move(f.node));
  }
  bool put(JsonNode n) {
    if (stack_.empty()) {
      root_ = std::move(n);
      done_ = true;
      return true;
    }
    JsonNode& parent = stack_.back().node;
    if (parent.type == JsonNode::Type::Array) {
      parent.items.push_back(std::move(n));
    } else {
      parent.members.emplace_back(std::move(pending_key_), std::move(n));
    }
    pending_key_.clear();
    return true;
  }

  struct Frame {
    JsonNode node;
    std::string key;  // the key this container will be stored under in its parent
  };
  size_t max_depth_;
  std::vector<Frame> stack_;
  std::string pending_key_;
  JsonNode root_;
  bool done_ = false;
  std::string error_;
};

}  // namespace

const JsonNode* JsonNode::find(std::string_view key) const {
  for (const auto& [k, v] : members)
    if (k == key) return &v;
  return nullptr;
}

size_t JsonNode::count(std::string_view key) const {
  size_t n = 0;
  for (const auto& m : members) n += m.first == key;
  return n;
}

std::expected<JsonNode, std::string> parse_json(std::string_view text, size_t max_depth) {
  TreeBuilder builder(max_depth);
  auto ok = sax_parse_text(text, builder);
  if (!ok) return std::unexpected(std::move(ok.error()));
  return builder.finish(*ok);
}

std::string json_missing_field(std::string_view field) { return "missing field `" + std::string(field) + "`"; }
std::string json_duplicate_field(std::string_view field) { return "duplicate field `" + std::string(field) + "`"; }
std::string json_invalid_type(std::string_view found, std::string_view expected) {
  return "invalid type: " + std::string(found) + ", expected " + std::string(expected);
}

std::string json_invalid_length(size_t got, std::string_view expected, size_t want) {
  return "invalid length " + std::to_string(got) + ", expected " + std::string(expected) + " with " +
         std::to_string(want) + " elements";
}

std::expected<std::vector<const JsonNode*>, std::string> json_struct_fields(const JsonNode& node,
                                                                           std::span<const std::string_view> names,
                                                                           std::string_view struct_name,
                                                                           std::string_view longer_array) {
  std::vector<const JsonNode*> found(names.size(), nullptr);
  if (node.is_object()) {
    for (const auto& [key, value] : node.members) {
      auto it = std::find(names.begin(), names.end(), key);
      if (it == names.end()) continue;
      const auto i = static_cast<size_t>(it - names.begin());
      if (found[i] != nullptr) return std::unexpected(json_duplicate_field(key));
      found[i] = &value;
    }
    return found;
  }
  if (node.is_array()) {
    if (node.items.size() > names.size() && !longer_array.empty())
      return std::unexpected(std::string(longer_array));
    if (node.items.size() != names.size())
      return std::unexpected(json_invalid_length(node.items.size(), struct_name, names.size()));
    for (size_t i = 0; i < names.size(); ++i) found[i] = &node.items[i];
    return found;
  }
  return std::unexpected(json_invalid_type(json_type_name(node), struct_name));
}

std::optional<std::string> json_first_missing(std::span<const JsonNode* const> fields,
                                              std::span<const std::string_view> names) {
  for (size_t i = 0; i < fields.size() && i < names.size(); ++i)
    if (fields[i] == nullptr) return json_missing_field(names[i]);
  return std::nullopt;
}

std::expected<std::string, std::string> json_read_string(const JsonNode& node) {
  if (!node.is_string()) return std::unexpected(json_invalid_type(json_type_name(node), "a string"));
  return node.text;
}

const char* json_type_name(const JsonNode& node) {
  switch (node.type) {
    case JsonNode::Type::Null: return "null";
    case JsonNode::Type::Bool: return "boolean";
    case JsonNode::Type::Int:
    case JsonNode::Type::Uint: return "integer";
    case JsonNode::Type::Float: return "floating point";
    case JsonNode::Type::String: return "string";
    case JsonNode::Type::Array: return "sequence";
    case JsonNode::Type::Object: return "map";
  }
  return "value";
}

}  // namespace qm
