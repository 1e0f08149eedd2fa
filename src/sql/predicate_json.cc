#include "sql/predicate_json.h"

#include <array>
#include <optional>
#include <utility>

#include "core/value_json.h"

namespace qm::sql {
namespace {

constexpr size_t kMaxDepth = 128;

constexpr std::array<const char*, 8> kOpNames = {"Eq", "Ne", "Lt", "Le", "Gt", "Ge", "Like", "NotLike"};
constexpr std::array<const char*, 6> kVariantNames = {"Compare", "In", "Between", "IsNull", "And", "Or"};

using Fail = std::unexpected<std::string>;

template <size_t N>
std::string unknown_variant(std::string_view name, const std::array<const char*, N>& names) {
  std::string out = "unknown variant `" + std::string(name) + "`, expected one of ";
  for (size_t i = 0; i < N; ++i) {
    if (i) out += ", ";
    out += '`';
    out += names[i];
    out += '`';
  }
  return out;
}


std::expected<CompareOp, std::string> read_op(const JsonNode& n) {
  if (!n.is_string()) return Fail(json_invalid_type(json_type_name(n), "variant identifier"));
  for (size_t i = 0; i < kOpNames.size(); ++i)
    if (n.text == kOpNames[i]) return static_cast<CompareOp>(i);
  return Fail(unknown_variant(n.text, kOpNames));
}

std::expected<std::string, std::string> read_string(const JsonNode& n) { return json_read_string(n); }

std::expected<bool, std::string> read_bool(const JsonNode& n) {
  if (n.type != JsonNode::Type::Bool) return Fail(json_invalid_type(json_type_name(n), "a boolean"));
  return n.boolean;
}

std::expected<std::vector<Value>, std::string> read_values(const JsonNode& n) {
  if (!n.is_array()) return Fail(json_invalid_type(json_type_name(n), "a sequence"));
  std::vector<Value> out;
  out.reserve(n.items.size());
  for (const auto& item : n.items) {
    auto v = value_from_json(item);
    if (!v) return Fail(std::move(v).error());
    out.push_back(std::move(*v));
  }
  return out;
}

// Gathers the fields of a struct variant given as an object (by name, repeats refused,
// unknown names skipped) or as an array (by position, exactly the field count).
std::expected<std::vector<const JsonNode*>, std::string> struct_fields(const JsonNode& body,
                                                                       std::span<const std::string_view> names,
                                                                       std::string_view expected) {
  auto fields = json_struct_fields(body, names, expected);
  if (!fields) return fields;
  if (auto missing = json_first_missing(*fields, names)) return Fail(std::move(*missing));
  return fields;
}

#define QM_JSON_TRY(decl, expr)                          \
  auto QM_CONCAT(jt_, __LINE__) = (expr);                \
  if (!QM_CONCAT(jt_, __LINE__)) return Fail(std::move(QM_CONCAT(jt_, __LINE__)).error()); \
  decl = std::move(*QM_CONCAT(jt_, __LINE__))

std::expected<Predicate, std::string> read_predicate(const JsonNode& node, size_t depth);

std::expected<Predicate, std::string> read_pair(const JsonNode& body, bool is_and, size_t depth) {
  std::string_view expected = is_and ? "tuple variant Predicate::And" : "tuple variant Predicate::Or";
  if (!body.is_array()) return Fail(json_invalid_type(json_type_name(body), expected));
  if (body.items.size() != 2) return Fail(json_invalid_length(body.items.size(), expected, 2));
  QM_JSON_TRY(Predicate left, read_predicate(body.items[0], depth + 2));
  QM_JSON_TRY(Predicate right, read_predicate(body.items[1], depth + 2));
  if (is_and) return Predicate{AndPred{std::move(left), std::move(right)}};
  return Predicate{OrPred{std::move(left), std::move(right)}};
}

// `depth` is the nesting level of `node` itself. Documents from parse_json are already
// bounded; the check keeps a hand-built tree from recursing without end.
std::expected<Predicate, std::string> read_predicate(const JsonNode& node, size_t depth) {
  if (depth > kMaxDepth) return Fail(std::string("recursion limit exceeded"));
  if (node.is_string()) {
    for (size_t i = 0; i < kVariantNames.size(); ++i) {
      if (node.text != kVariantNames[i]) continue;
      bool tuple = i >= 4;
      return Fail("invalid type: unit variant, expected " + std::string(tuple ? "tuple" : "struct") +
                  " variant Predicate::" + kVariantNames[i]);
    }
    return Fail(unknown_variant(node.text, kVariantNames));
  }
  if (!node.is_object()) return Fail(json_invalid_type(json_type_name(node), "enum Predicate"));
  if (node.members.empty()) return Fail(std::string("invalid type: map, expected enum Predicate"));
  if (node.members.size() != 1) return Fail(std::string("invalid length: expected a map with a single key"));
  const auto& [name, body] = node.members[0];
  if (name == "Compare") {
    static constexpr std::array<std::string_view, 3> f = {"column", "op", "value"};
    QM_JSON_TRY(auto fields, struct_fields(body, f, "struct variant Predicate::Compare"));
    QM_JSON_TRY(std::string column, read_string(*fields[0]));
    QM_JSON_TRY(CompareOp op, read_op(*fields[1]));
    QM_JSON_TRY(Value value, value_from_json(*fields[2]));
    return Predicate{ComparePred{std::move(column), op, std::move(value)}};
  }
  if (name == "In") {
    static constexpr std::array<std::string_view, 3> f = {"column", "values", "negated"};
    QM_JSON_TRY(auto fields, struct_fields(body, f, "struct variant Predicate::In"));
    QM_JSON_TRY(std::string column, read_string(*fields[0]));
    QM_JSON_TRY(std::vector<Value> values, read_values(*fields[1]));
    QM_JSON_TRY(bool negated, read_bool(*fields[2]));
    return Predicate{InPred{std::move(column), std::move(values), negated}};
  }
  if (name == "Between") {
    static constexpr std::array<std::string_view, 4> f = {"column", "low", "high", "negated"};
    QM_JSON_TRY(auto fields, struct_fields(body, f, "struct variant Predicate::Between"));
    QM_JSON_TRY(std::string column, read_string(*fields[0]));
    QM_JSON_TRY(Value low, value_from_json(*fields[1]));
    QM_JSON_TRY(Value high, value_from_json(*fields[2]));
    QM_JSON_TRY(bool negated, read_bool(*fields[3]));
    return Predicate{BetweenPred{std::move(column), std::move(low), std::move(high), negated}};
  }
  if (name == "IsNull") {
    static constexpr std::array<std::string_view, 2> f = {"column", "negated"};
    QM_JSON_TRY(auto fields, struct_fields(body, f, "struct variant Predicate::IsNull"));
    QM_JSON_TRY(std::string column, read_string(*fields[0]));
    QM_JSON_TRY(bool negated, read_bool(*fields[1]));
    return Predicate{IsNullPred{std::move(column), negated}};
  }
  if (name == "And") return read_pair(body, true, depth);
  if (name == "Or") return read_pair(body, false, depth);
  return Fail(unknown_variant(name, kVariantNames));
}

size_t value_depth(const Value& v) {
  if (v.is_null()) return 0;
  return v.is_blob() ? 2 : 1;
}

}  // namespace

const char* compare_op_name(CompareOp op) { return kOpNames[static_cast<size_t>(op)]; }

void write_predicate_json(JsonWriter& w, const Predicate& p) {
  std::visit(
      [&](const auto& n) {
        using T = std::decay_t<decltype(n)>;
        w.begin_object();
        if constexpr (std::is_same_v<T, ComparePred>) {
          w.key("Compare").begin_object();
          w.key("column").string(n.column);
          w.key("op").string(compare_op_name(n.op));
          w.key("value");
          write_value_json(w, n.value);
          w.end_object();
        } else if constexpr (std::is_same_v<T, InPred>) {
          w.key("In").begin_object();
          w.key("column").string(n.column);
          w.key("values").begin_array();
          for (const auto& v : n.values) write_value_json(w, v);
          w.end_array();
          w.key("negated").boolean(n.negated);
          w.end_object();
        } else if constexpr (std::is_same_v<T, BetweenPred>) {
          w.key("Between").begin_object();
          w.key("column").string(n.column);
          w.key("low");
          write_value_json(w, n.low);
          w.key("high");
          write_value_json(w, n.high);
          w.key("negated").boolean(n.negated);
          w.end_object();
        } else if constexpr (std::is_same_v<T, IsNullPred>) {
          w.key("IsNull").begin_object();
          w.key("column").string(n.column);
          w.key("negated").boolean(n.negated);
          w.end_object();
        } else {
          w.key(std::is_same_v<T, AndPred> ? "And" : "Or").begin_array();
          write_predicate_json(w, *n.left);
          write_predicate_json(w, *n.right);
          w.end_array();
        }
        w.end_object();
      },
      p.node);
}

std::string predicate_to_json(const Predicate& p) {
  std::string out;
  JsonWriter w(out);
  write_predicate_json(w, p);
  return out;
}

size_t predicate_json_depth(const Predicate& p) {
  return std::visit(
      [](const auto& n) -> size_t {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, ComparePred>) {
          return 2 + value_depth(n.value);
        } else if constexpr (std::is_same_v<T, InPred>) {
          size_t inner = 0;
          for (const auto& v : n.values) inner = std::max(inner, value_depth(v));
          return 3 + inner;
        } else if constexpr (std::is_same_v<T, BetweenPred>) {
          return 2 + std::max(value_depth(n.low), value_depth(n.high));
        } else if constexpr (std::is_same_v<T, IsNullPred>) {
          return 2;
        } else {
          return 2 + std::max(predicate_json_depth(*n.left), predicate_json_depth(*n.right));
        }
      },
      p.node);
}

std::expected<Predicate, std::string> predicate_from_json(const JsonNode& node) { return read_predicate(node, 1); }

std::expected<Predicate, std::string> predicate_from_json_text(std::string_view text) {
  auto doc = parse_json(text, kMaxDepth);
  if (!doc) return Fail(std::move(doc).error());
  return predicate_from_json(*doc);
}

}  // namespace qm::sql
