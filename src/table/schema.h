// Schema validation shared by CREATE TABLE and the catalog rebuild at open: column list,
// constraint columns, defaults and the size and columns of CHECK predicates. The same faults
// are Schema errors for a new table and Corruption for a stored one, with the same text
// "invalid schema for table `{}`: {}", so nothing CREATE TABLE accepts can fail the next open.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/value.h"
#include "table/limits.h"
#include "sql/statement.h"

namespace qm::db {


// Checks one CHECK predicate at `level` (1 for the top node) with a node counter shared by all
// CHECKs of the table: the level and node limits, then every column named must be one of
// `columns`. Returns the plain message of the first fault.
std::optional<std::string> validate_check_shape(const sql::Predicate& p, const std::set<std::string_view>& columns,
                                                uint32_t level, uint64_t& nodes);

// Refuses, before anything is encoded, a row that cannot be one record on one empty row page:
// Schema "too many columns (max 65535)" or "record of {} bytes exceeds page capacity (4064)"
// (the estimated encoded size: 26, plus per value 1 Null, 9 Int, 17 Decimal, 3 + n for a Text
// or Blob of at most 16 bytes, 9 for a longer one).
Result<void> validate_record_shape(std::span<const Value> row);

struct SchemaView {
  std::string_view table;
  const std::vector<std::string>& columns;
  const std::vector<std::string>& unique;
  const std::vector<std::string>& not_null;
  const std::map<std::string, Value>& defaults;
  const std::vector<sql::Predicate>& checks;
};

// The checks in order: column count, duplicate columns, UNIQUE and NOT NULL columns, DEFAULT
// columns, CHECK shapes. `stored` selects Corruption (catalog read at open) over Schema.
Result<void> validate_schema_metadata(const SchemaView& schema, bool stored);

}  // namespace qm::db
