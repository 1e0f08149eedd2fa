// INSERT row completion.
#include "query/statements/insert_values.h"

#include <set>

#include "table/text.h"

namespace qm::db {
namespace {

Value default_of(const Table& table, const std::string& column) {
  auto it = table.defaults.find(column);
  return it == table.defaults.end() ? Value::null() : it->second;
}

Value resolve(const Table& table, const std::string& column, const sql::InsertValue& v) {
  if (auto* literal = std::get_if<Value>(&v)) return *literal;
  return default_of(table, column);
}

}  // namespace

Result<Row> normalize_insert_values(std::string_view table_name, const Table& table,
                                    const std::optional<std::vector<std::string>>& targets,
                                    std::span<const sql::InsertValue> values) {
  Row row;
  if (!targets && values.empty()) {
    // INSERT ... DEFAULT VALUES: every column takes its default.
    row.reserve(table.columns.size());
    for (const std::string& column : table.columns) row.push_back(default_of(table, column));
    return row;
  }
  if (!targets) {
    if (values.size() != table.columns.size())
      return fail(QmError::schema(
          str("table `", table_name, "` expects ", table.columns.size(), " columns, got ", values.size())));
    row.reserve(values.size());
    for (size_t i = 0; i < values.size(); ++i) row.push_back(resolve(table, table.columns[i], values[i]));
    return row;
  }
  if (values.size() != targets->size())
    return fail(QmError::schema(
        str("INSERT target list has ", targets->size(), " columns but row has ", values.size(), " values")));
  row.reserve(table.columns.size());
  for (const std::string& column : table.columns) row.push_back(default_of(table, column));
  std::set<std::string_view> seen;
  for (size_t i = 0; i < targets->size(); ++i) {
    const std::string& name = (*targets)[i];
    if (!seen.insert(name).second) return fail(QmError::schema(str("duplicate INSERT target column `", name, "`")));
    auto pos = table.column_position(name);
    if (!pos) return fail(QmError::schema(str("no column `", name, "`")));
    row[*pos] = resolve(table, name, values[i]);
  }
  return row;
}

}  // namespace qm::db
