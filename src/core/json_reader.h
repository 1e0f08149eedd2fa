// JSON reading: nlohmann's parser drives a SAX handler that builds a small document of
// our own, which keeps what strict readers need and nlohmann's DOM loses: the raw text of
// every non-integer number (exact decimals beyond 64 bits), every occurrence of a repeated
// key in document order, and a nesting-depth limit so hostile input cannot exhaust memory
// or the stack. Errors are the JSON library's own message text.
#pragma once

#include <cstdint>
#include "core/expected.h"
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qm {

struct JsonMember;

struct JsonNode {
  enum class Type : uint8_t { Null, Bool, Int, Uint, Float, String, Array, Object };

  Type type = Type::Null;
  bool boolean = false;
  int64_t int_value = 0;    // Type::Int (negative integers)
  uint64_t uint_value = 0;  // Type::Uint (non-negative integers up to 2^64-1)
  double float_value = 0;   // Type::Float
  std::string text;         // Type::String: the string; Type::Float: the number's raw text
  std::vector<JsonNode> items;                               // Type::Array
  std::vector<JsonMember> members;  // Type::Object, in document order, repeats kept

  bool is_null() const { return type == Type::Null; }
  bool is_number() const { return type == Type::Int || type == Type::Uint || type == Type::Float; }
  bool is_integer() const { return type == Type::Int || type == Type::Uint; }
  bool is_string() const { return type == Type::String; }
  bool is_array() const { return type == Type::Array; }
  bool is_object() const { return type == Type::Object; }

  // First member with this key, or nullptr.
  const JsonNode* find(std::string_view key) const;
  // Number of members with this key.
  size_t count(std::string_view key) const;
};

struct JsonMember {
  JsonMember(std::string k, JsonNode v) : first(std::move(k)), second(std::move(v)) {}
  std::string first;  // the key
  JsonNode second;    // the value
};

inline constexpr size_t kDefaultJsonDepth = 128;

// Parses one JSON document (surrounding whitespace allowed). Arrays and objects nested
// deeper than max_depth are refused.
std::expected<JsonNode, std::string> parse_json(std::string_view text, size_t max_depth = kDefaultJsonDepth);

// Texts of the strict readers, shaped like the JSON library's own.
std::string json_missing_field(std::string_view field);
std::string json_duplicate_field(std::string_view field);
std::string json_invalid_type(std::string_view found, std::string_view expected);
const char* json_type_name(const JsonNode& node);
// "invalid length {got}, expected {expected} with {want} elements".
std::string json_invalid_length(size_t got, std::string_view expected, size_t want);

// The fields of one structure, in the order of `names`: from an object by key (unknown keys
// skipped, a key given twice refused) or from an array of the field values in field order.
// Any other node is the invalid-type text naming `struct_name`. An array of another length
// is the invalid-length text, except that a longer one fails with `longer_array` when that
// is given. A field an object leaves out is null in the result.
std::expected<std::vector<const JsonNode*>, std::string> json_struct_fields(const JsonNode& node,
                                                                           std::span<const std::string_view> names,
                                                                           std::string_view struct_name,
                                                                           std::string_view longer_array = {});
// The missing-field text of the first of `names` whose field is null; none when all are there.
std::optional<std::string> json_first_missing(std::span<const JsonNode* const> fields,
                                              std::span<const std::string_view> names);
// A string field ("invalid type: {found}, expected a string" otherwise).
std::expected<std::string, std::string> json_read_string(const JsonNode& node);

}  // namespace qm
