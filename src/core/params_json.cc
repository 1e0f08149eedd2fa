#include "core/params_json.h"

#include <limits>

#include "core/decimal.h"

namespace qm {
namespace {

// A strict scanner for the common shape of parameters: arrays of null, true, false, plain
// integers of at most 18 digits, numbers with a fraction and no exponent, and strings of
// printable ASCII without escapes, separated by JSON white space. Whatever it accepts is
// valid JSON whose values are exactly what the general reader and json_to_value give; on
// anything else it gives up and the caller takes the general path, which also produces
// every error text.
class FastParams {
 public:
  explicit FastParams(std::string_view text) : s_(text) {}

  // `[` values `]`, appending the values to out.
  bool array(std::vector<Value>& out) {
    if (!take('[')) return false;
    skip_ws();
    if (take(']')) return true;
    while (true) {
      if (!value(out)) return false;
      skip_ws();
      if (take(']')) return true;
      if (!take(',')) return false;
      skip_ws();
    }
  }

  // `[` arrays `]`.
  bool array_of_arrays(std::vector<std::vector<Value>>& out) {
    if (!take('[')) return false;
    skip_ws();
    if (take(']')) return true;
    while (true) {
      std::vector<Value>& set = out.emplace_back();
      if (!array(set)) return false;
      skip_ws();
      if (take(']')) return true;
      if (!take(',')) return false;
      skip_ws();
    }
  }

  void skip_ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool at_end() const { return i_ == s_.size(); }

 private:
  bool take(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  static bool digit(char c) { return c >= '0' && c <= '9'; }

  bool value(std::vector<Value>& out) {
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '"') return string(out);
    if (c == 'n') return word("null") && (out.push_back(Value::null()), true);
    if (c == 't') return word("true") && (out.push_back(Value::integer(1)), true);
    if (c == 'f') return word("false") && (out.push_back(Value::integer(0)), true);
    if (c == '-' || digit(c)) return number(out);
    return false;
  }

  bool string(std::vector<Value>& out) {
    const size_t start = ++i_;
    while (i_ < s_.size()) {
      const char c = s_[i_];
      if (c == '"') {
        out.push_back(Value::text(std::string(s_.substr(start, i_ - start))));
        ++i_;
        return true;
      }
      if (c == '\\' || c < 0x20 || c > 0x7E) return false;
      ++i_;
    }
    return false;
  }

  bool number(std::vector<Value>& out) {
    const size_t start = i_;
    const bool negative = take('-');
    const size_t digits = i_;
    while (i_ < s_.size() && digit(s_[i_])) ++i_;
    const size_t n = i_ - digits;
    if (n == 0 || n > 18 || (n > 1 && s_[digits] == '0')) return false;
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) return false;
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      const size_t frac = i_;
      while (i_ < s_.size() && digit(s_[i_])) ++i_;
      if (i_ == frac || (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E'))) return false;
      i128 millionths = 0;
      if (parse_decimal_millionths(s_.substr(start, i_ - start), kJsonDecimalBound, &millionths) != DecimalParse::Ok)
        return false;
      out.push_back(Value::decimal(millionths));
      return true;
    }
    int64_t v = 0;
    for (size_t k = digits; k < i_; ++k) v = v * 10 + (s_[k] - '0');
    out.push_back(Value::integer(negative ? -v : v));
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

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
  {
    std::vector<Value> fast;
    FastParams scan(text);
    scan.skip_ws();
    if (scan.array(fast)) {
      scan.skip_ws();
      if (scan.at_end()) return fast;
    }
  }
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
  {
    std::vector<std::vector<Value>> fast;
    FastParams scan(text);
    scan.skip_ws();
    if (scan.array_of_arrays(fast)) {
      scan.skip_ws();
      if (scan.at_end()) return fast;
    }
  }
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

}  // namespace qm
