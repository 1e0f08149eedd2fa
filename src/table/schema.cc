#include "table/schema.h"

#include <variant>

#include "core/saturating.h"

namespace qm::db {
namespace {

const std::string* leaf_column(const sql::Predicate& p) {
  return std::visit(
      [](const auto& n) -> const std::string* {
        using T = std::decay_t<decltype(n)>;
        if constexpr (std::is_same_v<T, sql::AndPred> || std::is_same_v<T, sql::OrPred>) {
          return nullptr;
        } else {
          return &n.column;
        }
      },
      p.node);
}

}  // namespace

std::optional<std::string> validate_check_shape(const sql::Predicate& p, const std::set<std::string_view>& columns,
                                                uint32_t level, uint64_t& nodes) {
  nodes = saturating_add(nodes, 1);
  if (const auto* in = std::get_if<sql::InPred>(&p.node)) nodes = saturating_add(nodes, in->values.size());
  if (level > kMaxCheckLevels || nodes > kMaxCheckNodes)
    return "CHECK expression exceeds the " + std::to_string(kMaxCheckLevels) + "-level/" +
           std::to_string(kMaxCheckNodes) + "-node limit";
  if (const auto* a = std::get_if<sql::AndPred>(&p.node)) {
    if (auto e = validate_check_shape(*a->left, columns, level + 1, nodes)) return e;
    return validate_check_shape(*a->right, columns, level + 1, nodes);
  }
  if (const auto* o = std::get_if<sql::OrPred>(&p.node)) {
    if (auto e = validate_check_shape(*o->left, columns, level + 1, nodes)) return e;
    return validate_check_shape(*o->right, columns, level + 1, nodes);
  }
  const std::string* column = leaf_column(p);
  if (column && !columns.contains(*column)) return "CHECK references unknown column `" + *column + "`";
  return std::nullopt;
}

Result<void> validate_record_shape(std::span<const Value> row) {
  if (row.size() > kMaxColumns) return fail(QmError::schema("too many columns (max 65535)"));
  uint64_t size = 26;
  for (const auto& v : row) {
    uint64_t add = 1;
    switch (v.kind()) {
      case Value::Kind::Null: add = 1; break;
      case Value::Kind::Int: add = 9; break;
      case Value::Kind::Decimal: add = 17; break;
      case Value::Kind::Text:
      case Value::Kind::Blob: add = v.bytes().size() <= 16 ? 3 + v.bytes().size() : 9; break;
    }
    size = saturating_add(size, add);
  }
  if (size > kRecordCapacity)
    return fail(QmError::schema("record of " + std::to_string(size) + " bytes exceeds page capacity (" +
                                std::to_string(kRecordCapacity) + ")"));
  return {};
}

Result<void> validate_schema_metadata(const SchemaView& schema, bool stored) {
  auto refuse = [&](const std::string& detail) {
    std::string text = "invalid schema for table `" + std::string(schema.table) + "`: " + detail;
    return fail(stored ? QmError::corruption(std::move(text)) : QmError::schema(std::move(text)));
  };
  if (schema.columns.empty()) return refuse("at least one column is required");
  if (schema.columns.size() > kMaxColumns) return refuse("too many columns (max 65535)");
  std::set<std::string_view> names;
  for (const auto& c : schema.columns)
    if (!names.insert(c).second) return refuse("duplicate column `" + c + "`");
  for (const auto& c : schema.unique)
    if (!names.contains(c)) return refuse("UNIQUE/PRIMARY KEY references unknown column `" + c + "`");
  for (const auto& c : schema.not_null)
    if (!names.contains(c)) return refuse("NOT NULL/PRIMARY KEY references unknown column `" + c + "`");
  for (const auto& [c, value] : schema.defaults)
    if (!names.contains(c)) return refuse("DEFAULT references unknown column `" + c + "`");
  uint64_t nodes = 0;
  for (const auto& check : schema.checks)
    if (auto e = validate_check_shape(check, names, 1, nodes)) return refuse(*e);
  return {};
}

}  // namespace qm::db
