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

  // The outer `[` of an array of arrays; true when that array is empty (`[]`).
  bool open_outer(bool& empty) {
    skip_ws();
    if (!take('[')) return false;
    skip_ws();
    empty = take(']');
    return true;
  }

  // One inner array into out, then the `,` before the next one or the outer `]`, which sets
  // last.
  bool inner(std::vector<Value>& out, bool& last) {
    if (!array(out)) return false;
    skip_ws();
    if (take(']')) {
      last = true;
      return true;
    }
    if (!take(',')) return false;
    skip_ws();
    last = false;
    return true;
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

namespace {

// Sets of the fast shape, read again from the text as the batch asks for them. The check at
// construction read them all once, so reading them again cannot fail.
class TextParamSets final : public ParamSets {
 public:
  // Null unless the whole text has the fast shape.
  static std::unique_ptr<TextParamSets> check(std::string_view text) {
    auto sets = std::unique_ptr<TextParamSets>(new TextParamSets(text));
    bool last = false;
    if (!sets->scan_.open_outer(last)) return nullptr;
    std::vector<Value> scratch;
    while (!last) {
      scratch.clear();
      if (!sets->scan_.inner(scratch, last)) return nullptr;
      sets->add_length(scratch.size());
    }
    sets->scan_.skip_ws();
    if (!sets->scan_.at_end()) return nullptr;
    sets->scan_ = FastParams(text);
    (void)sets->scan_.open_outer(last);
    return sets;
  }

  size_t size() const override { return count_; }
  size_t length(size_t i) const override { return lengths_.empty() ? uniform_ : lengths_[i]; }
  std::span<const Value> next() override {
    row_.clear();
    bool last = false;
    (void)scan_.inner(row_, last);
    return row_;
  }

 private:
  explicit TextParamSets(std::string_view text) : scan_(text) {}

  // Lengths are kept one per set only once two sets differ.
  void add_length(size_t n) {
    if (count_ == 0) uniform_ = n;
    if (lengths_.empty() && n != uniform_) lengths_.assign(count_, uniform_);
    if (!lengths_.empty()) lengths_.push_back(n);
    ++count_;
  }

  FastParams scan_;
  size_t count_ = 0;
  size_t uniform_ = 0;
  std::vector<size_t> lengths_;
  std::vector<Value> row_;
};

// Sets converted whole, from the general reader.
class HeldParamSets final : public ParamSets {
 public:
  explicit HeldParamSets(std::vector<std::vector<Value>> sets) : sets_(std::move(sets)), view_(sets_) {}
  size_t size() const override { return view_.size(); }
  size_t length(size_t i) const override { return view_.length(i); }
  std::span<const Value> next() override { return view_.next(); }

 private:
  std::vector<std::vector<Value>> sets_;
  ParamSetSpan view_;
};

Result<std::vector<std::vector<Value>>> general_param_sets(std::string_view text) {
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

}  // namespace

Result<std::unique_ptr<ParamSets>> read_param_sets(std::string_view text) {
  if (auto fast = TextParamSets::check(text)) return std::unique_ptr<ParamSets>(std::move(fast));
  QM_ASSIGN(std::vector<std::vector<Value>> sets, general_param_sets(text));
  return std::unique_ptr<ParamSets>(std::make_unique<HeldParamSets>(std::move(sets)));
}

Result<std::vector<std::vector<Value>>> json_param_sets(std::string_view text) {
  QM_ASSIGN(std::unique_ptr<ParamSets> reader, read_param_sets(text));
  std::vector<std::vector<Value>> sets(reader->size());
  for (auto& set : sets) {
    const std::span<const Value> values = reader->next();
    set.assign(values.begin(), values.end());
  }
  return sets;
}

}  // namespace qm
